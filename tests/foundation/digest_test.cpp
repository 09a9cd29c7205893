// MD5 and Base64, checked against python's hashlib and base64 as independent peers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "foundation/base64.h"
#include "foundation/md5.h"
#include "tests/net/net_test_util.h"

using Algorithm::Md5::MD5;

static std::string Encode(const std::string& s) {
    return Base64Encode(reinterpret_cast<const unsigned char*>(s.data()), unsigned(s.size()));
}

// Random buffers of every length around the 64-byte MD5 blocks and the 3-byte Base64 groups,
// each with its digest and encoding from python; the MD5 is fed in random pieces by one reused
// object.
TEST(Md5, AndBase64MatchPythonOnRandomBuffers) {
    const nettest::TempDir dir;
    std::mt19937 rng(7);
    std::vector<std::string> inputs;
    for (size_t n = 0; n < 400; ++n) {
        inputs.emplace_back(n < 300 ? n : rng() % 5001, '\0');
        for (char& c : inputs.back()) c = char(rng());
        std::ofstream(dir / std::to_string(n), std::ios::binary) << inputs.back();
    }
    const std::string command =
        "cd " + dir.path.string() +
        " && python3 -c 'import base64, hashlib, sys\n"
        "for f in sys.argv[1:]: d = open(f, \"rb\").read(); "
        "print(hashlib.md5(d).hexdigest() + base64.b64encode(d).decode())' $(seq 0 399)";
    FILE* p = popen(command.c_str(), "r");
    std::string text(4 << 20, '\0');
    text.resize(std::fread(text.data(), 1, text.size(), p));
    EXPECT_EQ(pclose(p), 0);
    std::istringstream out(text);
    MD5 md5;
    for (const std::string& in : inputs) {
        std::string line;
        ASSERT_TRUE(std::getline(out, line));
        const std::string hex = line.substr(0, 32);
        line.erase(0, 32);
        md5.reset();
        for (size_t at = 0, n; at < in.size(); at += n)
            md5.update(&in[at], n = std::min<size_t>(rng() % 130, in.size() - at));
        // The digest is kept, not finished twice.
        EXPECT_EQ(md5.toString() + md5.toString() + " " + Encode(in), hex + hex + " " + line)
            << "length " << in.size();
        EXPECT_EQ(Base64Decode(line), in) << "length " << in.size();
    }
    std::ifstream file(dir / "399", std::ios::binary);
    EXPECT_EQ(MD5(file).toString(), MD5(inputs.back()).toString());
    EXPECT_FALSE(file.is_open());
}
