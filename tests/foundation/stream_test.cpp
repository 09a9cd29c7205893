// Memory stream, byte array, binary reader and file stream.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "foundation/binary_reader.h"
#include "foundation/file_stream.h"
#include "foundation/memory_stream.h"
#include "platform/files.h"
#include "varnel/varnel.h"

using QIO::CQMemoryStream;

namespace {

// The first n bytes of the stream's buffer, within or past its length.
std::string Bytes(const CQMemoryStream& s, size_t n) {
    return std::string(s.ToChar(), n);
}

}  // namespace

TEST(MemoryStream, GrowsByTheDoublingRuleWithOneTracePerGrowth) {
    std::vector<std::string> lines;
    varnel_set_trace_sink(
        [](const char* l, void* u) { static_cast<std::vector<std::string>*>(u)->emplace_back(l); },
        &lines);
    CQMemoryStream s;
    std::string data(64, '\0');
    for (int i = 0; i < 64; ++i) data[size_t(i)] = char(i + 1);
    auto* bytes = reinterpret_cast<unsigned char*>(data.data());
    // bytes written -> capacity (2 x the length, down to a multiple of 4, plus 4) and traces;
    // exactly up to the capacity does not grow.
    const std::tuple<int, uint32_t, size_t> steps[] = {{10, 24, 1}, {14, 24, 1}, {1, 52, 2}};
    int length = 0;
    for (const auto& [n, capacity, traces] : steps) {
        EXPECT_EQ(s.WriteBytes(bytes + length, n), 0);
        length += n;
        EXPECT_EQ(std::to_string(s.GetCapacity()) + " " + std::to_string(lines.size()),
                  std::to_string(capacity) + " " + std::to_string(traces));
    }
    EXPECT_EQ(s.GetLength(), 25);
    EXPECT_EQ(lines[0].substr(23), " else if(size1 >= this->m_BufSize)\r\n");
    EXPECT_EQ(lines[0].substr(4, 1) + lines[0].substr(19, 1), "/.");  // the time stamp
    EXPECT_EQ(Bytes(s, 52), data.substr(0, 25) + std::string(27, '\0'));
    // A negative size is traced and copies nothing; a negative read returns its size.
    s.WriteBytes(bytes, -5);
    EXPECT_EQ(lines.back().substr(23), " if(size < 0)\r\n");
    EXPECT_EQ(s.GetLength() + s.ReadBytes(bytes, -3), 22);
    // The stream's own bytes may be written into it, also when that makes it grow.
    s.WriteBytes(s.ToUChar(), 25);
    EXPECT_EQ(Bytes(s, size_t(s.GetLength())), data.substr(0, 25) + data.substr(0, 25));
    // A write that would take the stream past what its 32-bit sizes and int counts describe is
    // refused before a byte is read, where doubling would have grown a buffer short of it.
    CQMemoryStream big;
    big.WriteBytes(bytes, 0x7FFFFFFF);
    EXPECT_EQ(big.GetLength() + big.GetCapacity(), 0u);
    EXPECT_NE(lines.back().find("write refused"), std::string::npos);
    varnel_set_trace_sink(nullptr, nullptr);
}

TEST(MemoryStream, ReadRemoveClearAndSetLength) {
    CQMemoryStream s(16);
    std::string data = "ABCDEFGHIJKL", out(16, '\0');
    auto* bytes = reinterpret_cast<unsigned char*>(data.data());
    s.WriteBytes(bytes, 12);
    EXPECT_EQ(s.GetCapacity(), 16u);
    s.SetPosition(0);
    // 5, then only what remains, then nothing at the end (braced: evaluated in order)
    EXPECT_EQ((std::vector<int>{s.ReadBytes(out.data(), 5), s.ReadBytes(&out[5], 100),
                                s.ReadBytes(out.data(), 1)}),
              (std::vector<int>{5, 7, 0}));
    EXPECT_EQ(out.substr(0, 12), data);
    s.SetPosition(1000);
    EXPECT_EQ(s.GetPosition(), 12);
    s.Remove(0, 5);
    EXPECT_EQ(s.GetLength() + s.GetPosition(), 14);
    EXPECT_EQ(Bytes(s, 16), "FGHIJKL" + std::string(9, '\0'));
    s.Remove(0, 100);  // beyond the capacity: the buffer is zeroed, the length stays
    EXPECT_EQ(Bytes(s, 16) + std::to_string(s.GetLength()), std::string(16, '\0') + "7");
    s.SetLength(0);
    s.WriteBytes(bytes, 4);
    s.Remove(0, 10);  // more than the data, within the capacity: nothing is left
    EXPECT_EQ(Bytes(s, 16) + std::to_string(s.GetLength()), std::string(16, '\0') + "0");
    s.WriteBytes(bytes, 8);
    s.SetLength(3);
    EXPECT_EQ(s.GetPosition(), 3);
    EXPECT_EQ(Bytes(s, 8), "ABCDEFGH");  // bytes past the length are kept until cleared
    s.SetLength(1000);                   // never past the capacity, so reads stay in the buffer
    EXPECT_EQ(s.GetLength(), 16);
    s.Clear();
    EXPECT_EQ(Bytes(s, 16) + std::to_string(s.GetLength()), std::string(16, '\0') + "0");
    int copied = 0;
    s.CopyTo(bytes, 4, &copied);
    EXPECT_EQ(copied, 4);
}

// Classes the library does not use: one check of each method's result.
TEST(BinaryReader, LittleEndianOrReversedValuesThroughItsByteArray) {
    QSystem::CQByteArray a(5);
    a.Clear(0x11);
    a(3);  // never shrinks; grows with zeros
    a(8);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(static_cast<unsigned char*>(a)), 8),
              std::string(5, 0x11) + std::string(3, '\0'));
    EXPECT_EQ(QSystem::CQByteArray(-4).GetLength(), 0);
    auto stream = std::make_shared<CQMemoryStream>(32);
    std::string bytes =
        "\x01\x02\x01\x02\x01\x02\x03\x04\x05\x06\x01\x02\x03\x04\x05\x06\x07\x08hi";
    stream->WriteBytes(reinterpret_cast<unsigned char*>(bytes.data()), 20);
    stream->SetPosition(0);
    QIO::CQBinaryReader reader;
    reader.Open(stream);
    EXPECT_EQ(reader.ReadUShort(), 0x0201);
    reader.SetReverse(true);
    EXPECT_EQ(reader.ReadUShort(), 0x0102);
    reader.SetReverse(false);
    EXPECT_EQ(reader.ReadUint48(), 0x060504030201ULL);
    EXPECT_EQ(reader.ReadUint64(), 0x0807060504030201ULL);
    EXPECT_STREQ(reinterpret_cast<const char*>(reader.ReaderString(2)), "hi");
    EXPECT_EQ(reader.ReadUInt(), 0u);  // past the end: zeros, not stale bytes
}

TEST(FileStream, RelativePathsLiveBesideTheExecutableInCreatedFolders) {
    using QIO::QFile::CQFileStream;
    const std::string folder = platform::ModuleDirectory() + "file_stream_test";
    std::filesystem::remove_all(folder);
    CQFileStream f;
    ASSERT_TRUE(f.Open(L"file_stream_test/a/b/\u00e9t\u00e9.bin", CQFileStream::FileMode_Create,
                       CQFileStream::Access_ReadWrite));
    EXPECT_EQ(platform::WideToUtf8(f.GetFileName().c_str()), folder + "/a/b/\xc3\xa9t\xc3\xa9.bin");
    unsigned char data[] = "0123456789";
    EXPECT_EQ(f.WriteBytes(data, 10) + f.GetLength(), 20);
    f.Seek(-4, QIO::SeekOrigin_End);
    char out[8] = {};
    EXPECT_EQ(f.ReadBytes(out, 8), 4);
    EXPECT_STREQ(out, "6789");
    EXPECT_TRUE(f.Close() && !f.IsOpen());
    EXPECT_FALSE(CQFileStream().Open(L"file_stream_test/none.bin"));  // an existing file only
    std::filesystem::remove_all(folder);
}
