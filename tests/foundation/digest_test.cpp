// MD5 and Base64, checked against the md5sum and base64 programs as independent peers.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "foundation/base64.h"
#include "foundation/md5.h"

namespace fs = std::filesystem;
using Algorithm::Md5::MD5;

namespace {

std::string RunCommand(const std::string& command) {
    FILE* p = popen(command.c_str(), "r");
    std::string out;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    EXPECT_EQ(pclose(p), 0) << command;
    return out;
}

struct TempDir {
    fs::path path;
    TempDir() {
        path =
            fs::temp_directory_path() / ("varnel_digest_" + std::to_string(std::random_device{}()));
        fs::create_directories(path);
    }
    ~TempDir() { fs::remove_all(path); }
};

std::string RandomBytes(std::mt19937& rng, size_t n) {
    std::string s(n, '\0');
    for (char& c : s) c = static_cast<char>(rng());
    return s;
}

void WriteFile(const fs::path& p, const std::string& bytes) {
    std::ofstream(p, std::ios::binary)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace

TEST(Md5, Rfc1321Suite) {
    const std::pair<const char*, const char*> suite[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const auto& [text, hex] : suite) {
        MD5 md5{std::string(text)};
        EXPECT_EQ(md5.toString(), hex) << text;
        const uint8_t* first = md5.digest();
        EXPECT_EQ(md5.digest(), first);  // stored, not recomputed
        EXPECT_EQ(md5.toString(), hex);
        // The same message fed in pieces of every size gives the same digest.
        MD5 pieces;
        for (const char* p = text; *p; ++p) pieces.update(p, 1);
        EXPECT_EQ(pieces.toString(), hex);
        pieces.reset();
        pieces.update(std::string(text));
        EXPECT_EQ(pieces.toString(), hex);
    }
}

TEST(Md5, FileStreamOverloadAndRandomBuffersMatchMd5sum) {
    TempDir dir;
    std::mt19937 rng(7);
    const std::string big = RandomBytes(rng, 3 * 1024 + 5);
    WriteFile(dir.path / "big", big);
    std::ifstream in(dir.path / "big", std::ios::binary);
    MD5 fromFile(in);
    EXPECT_FALSE(in.is_open());
    EXPECT_EQ(fromFile.toString(), MD5(big.data(), big.size()).toString());

    std::vector<size_t> lengths = {0, 1, 55, 56, 57, 63, 64, 65, 127, 128, 129, 5000};
    while (lengths.size() < 300) lengths.push_back(rng() % 5001);
    std::vector<std::string> expected;
    std::string command = "cd " + dir.path.string() + " && md5sum";
    for (size_t i = 0; i < lengths.size(); ++i) {
        const std::string bytes = RandomBytes(rng, lengths[i]);
        WriteFile(dir.path / std::to_string(i), bytes);
        expected.push_back(MD5(bytes).toString());
        command += " " + std::to_string(i);
    }
    std::istringstream out(RunCommand(command));
    for (size_t i = 0; i < lengths.size(); ++i) {
        std::string hex, name;
        ASSERT_TRUE(out >> hex >> name);
        EXPECT_EQ(hex, expected[i]) << "length " << lengths[i];
    }
}

TEST(Base64, RandomBuffersMatchTheBase64ProgramAndDecodeBack) {
    TempDir dir;
    std::mt19937 rng(11);
    std::string command =
        "cd " + dir.path.string() + " && for f in $(seq 0 300); do base64 -w0 $f; echo; done";
    std::vector<std::string> inputs;
    for (int n = 0; n <= 300; ++n) {
        inputs.push_back(RandomBytes(rng, static_cast<size_t>(n)));
        WriteFile(dir.path / std::to_string(n), inputs.back());
    }
    std::istringstream out(RunCommand(command));
    for (const std::string& in : inputs) {
        std::string line;
        ASSERT_TRUE(std::getline(out, line));
        const std::string encoded = Base64Encode(reinterpret_cast<const unsigned char*>(in.data()),
                                                 static_cast<unsigned>(in.size()));
        EXPECT_EQ(encoded, line) << "length " << in.size();
        EXPECT_EQ(Base64Decode(encoded), in) << "length " << in.size();
        EXPECT_EQ(encoded.find('='),
                  in.size() % 3 == 0 ? std::string::npos : encoded.size() - (3 - in.size() % 3));
    }
}

TEST(Base64, DecodeStopsAtPaddingOrTheFirstNonDigit) {
    const std::pair<std::string, std::string> cases[] = {
        {"", ""},
        {"=QUJD", ""},
        {"QUJD", "ABC"},
        {"QU JD", "A"},    // two digits before the blank give one byte
        {"QUI", "AB"},     // an incomplete group of three gives two bytes
        {"QUJDR", "ABC"},  // a single leftover digit gives nothing
        {"QUJDRA==QUJD", "ABCD"},
        {"QUJD\nQUJD", "ABC"},
        {"QU*JD", "A"},
    };
    for (const auto& [text, bytes] : cases) EXPECT_EQ(Base64Decode(text), bytes) << text;
    EXPECT_TRUE(IsBase64Digit('+') && IsBase64Digit('/') && IsBase64Digit('z'));
    EXPECT_FALSE(IsBase64Digit('=') || IsBase64Digit('-') || IsBase64Digit(0x80));
}
