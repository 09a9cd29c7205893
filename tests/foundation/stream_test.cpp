// Memory stream, byte array, binary reader and file stream.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "foundation/binary_reader.h"
#include "foundation/byte_array.h"
#include "foundation/file_stream.h"
#include "foundation/memory_stream.h"
#include "platform/files.h"
#include "varnel/varnel.h"

using QIO::CQMemoryStream;

namespace {

std::vector<std::string> g_lines;  // the traces of the case under way (one thread only)

struct TraceCapture {
    TraceCapture() {
        g_lines.clear();
        varnel_set_trace_sink([](const char* line, void*) { g_lines.emplace_back(line); }, nullptr);
    }
    ~TraceCapture() { varnel_set_trace_sink(nullptr, nullptr); }
};

bool AllZero(const unsigned char* p, size_t n) {
    return std::all_of(p, p + n, [](unsigned char c) { return c == 0; });
}

}  // namespace

TEST(MemoryStream, GrowsByTheDoublingRuleWithOneTracePerGrowth) {
    TraceCapture capture;
    CQMemoryStream s;
    unsigned char data[64];
    for (int i = 0; i < 64; ++i) data[i] = static_cast<unsigned char>(i + 1);
    // bytes written -> capacity (2 x the length, down to a multiple of 4, plus 4) and traces;
    // exactly up to the capacity does not grow.
    const std::tuple<int, uint32_t, size_t> steps[] = {{10, 24, 1}, {14, 24, 1}, {1, 52, 2}};
    int length = 0;
    for (const auto& [n, capacity, traces] : steps) {
        EXPECT_EQ(s.WriteBytes(data + length, n), 0);
        length += n;
        EXPECT_EQ(s.GetCapacity(), capacity);
        EXPECT_EQ(g_lines.size(), traces);
    }
    EXPECT_EQ(s.GetLength(), 25);
    EXPECT_EQ(g_lines[0].substr(23), " else if(size1 >= this->m_BufSize)\r\n");
    EXPECT_EQ(g_lines[0].substr(4, 1) + g_lines[0].substr(19, 1), "/.");  // the time stamp
    EXPECT_EQ(std::memcmp(s.ToUChar(), data, 25), 0);
    EXPECT_TRUE(AllZero(s.ToUChar() + 25, 52 - 25));

    // A negative size is traced and copies nothing; a negative read returns its size.
    s.WriteBytes(data, -5);
    EXPECT_EQ(g_lines.back().substr(23), " if(size < 0)\r\n");
    EXPECT_EQ(s.GetLength(), 25);
    EXPECT_EQ(s.ReadBytes(data, -3), -3);
    // The stream's own bytes may be written into it, also when that makes it grow.
    s.WriteBytes(s.ToUChar(), 25);
    EXPECT_EQ(s.GetLength(), 50);
    EXPECT_EQ(std::memcmp(s.ToUChar() + 25, data, 25), 0);

    // A write that would take the stream past what its 32-bit sizes and int counts describe is
    // refused before a byte is read, where doubling would have grown a buffer short of it.
    CQMemoryStream big;
    big.WriteBytes(data, 0x7FFFFFFF);
    EXPECT_EQ(big.GetLength() + big.GetCapacity(), 0u);
    EXPECT_NE(g_lines.back().find("write refused"), std::string::npos);
}

TEST(MemoryStream, ReadRemoveClearAndSetLength) {
    CQMemoryStream s(16);
    unsigned char data[12], out[16] = {};
    for (int i = 0; i < 12; ++i) data[i] = static_cast<unsigned char>(0xA0 + i);
    s.WriteBytes(data, 12);
    EXPECT_EQ(s.GetCapacity(), 16u);
    s.SetPosition(0);
    EXPECT_EQ(s.ReadBytes(out, 5), 5);
    EXPECT_EQ(s.ReadBytes(out + 5, 100), 7);  // only what remains
    EXPECT_EQ(s.ReadBytes(out, 1), 0);        // at the end
    EXPECT_EQ(std::memcmp(out, data, 12), 0);
    s.SetPosition(1000);
    EXPECT_EQ(s.GetPosition(), 12);

    s.Remove(0, 5);
    EXPECT_EQ(s.GetLength(), 7);
    EXPECT_EQ(s.GetPosition(), 7);
    EXPECT_EQ(std::memcmp(s.ToUChar(), data + 5, 7), 0);
    EXPECT_TRUE(AllZero(s.ToUChar() + 7, 16 - 7));
    s.Remove(0, 100);  // beyond the capacity: the buffer is zeroed, the length stays
    EXPECT_TRUE(AllZero(s.ToUChar(), 16));
    EXPECT_EQ(s.GetLength(), 7);
    s.SetLength(0);
    s.WriteBytes(data, 4);
    s.Remove(0, 10);  // more than the data, within the capacity: nothing is left
    EXPECT_EQ(s.GetLength(), 0);
    EXPECT_TRUE(AllZero(s.ToUChar(), 16));

    s.WriteBytes(data, 8);
    s.SetLength(3);
    EXPECT_EQ(s.GetPosition(), 3);
    EXPECT_EQ(s.ToUChar()[5], data[5]);  // bytes past the length are kept until cleared
    s.SetLength(1000);                   // never past the capacity, so reads stay in the buffer
    EXPECT_EQ(s.GetLength(), 16);
    s.Clear();
    EXPECT_EQ(s.GetLength(), 0);
    EXPECT_TRUE(AllZero(s.ToUChar(), 16));
    int copied = 0;
    s.CopyTo(out, 4, &copied);
    EXPECT_EQ(copied, 4);
}

TEST(MemoryStream, RandomAppendsAndFrontRemovalsKeepTheData) {
    std::mt19937 rng(3);
    CQMemoryStream s;
    std::string model;
    unsigned char chunk[3000];
    for (int round = 0; round < 2000; ++round) {
        const int n = static_cast<int>(rng() % sizeof chunk);
        for (int i = 0; i < n; ++i) chunk[i] = static_cast<unsigned char>(rng());
        s.SetPosition(s.GetLength());
        s.WriteBytes(chunk, n);
        model.append(reinterpret_cast<char*>(chunk), static_cast<size_t>(n));
        const auto take = static_cast<uint32_t>(model.empty() ? 0 : rng() % (model.size() + 1));
        s.Remove(0, take);
        model.erase(0, take);
        ASSERT_EQ(static_cast<size_t>(s.GetLength()), model.size());
        ASSERT_EQ(std::memcmp(s.ToUChar(), model.data(), model.size()), 0);
    }
}

TEST(ByteArray, GrowsWithZerosAndNeverShrinks) {
    QSystem::CQByteArray a(5);
    EXPECT_TRUE(AllZero(a, 5));
    a.Clear(0x11);
    a(3);
    EXPECT_EQ(a.GetLength(), 5);
    a(8);
    EXPECT_EQ(a.GetLength(), 8);
    EXPECT_EQ(a[4], 0x11);
    EXPECT_TRUE(AllZero(a + 5, 3));
    QSystem::CQByteArray empty(-4);
    EXPECT_EQ(empty.GetLength(), 0);
    EXPECT_EQ(static_cast<unsigned char*>(empty), nullptr);
}

TEST(BinaryReader, LittleEndianOrReversedValues) {
    auto stream = std::make_shared<CQMemoryStream>(32);
    unsigned char bytes[] =
        "\x01\x02\x01\x02\x01\x02\x03\x04\x05\x06\x01\x02\x03\x04\x05\x06\x07\x08hi";
    stream->WriteBytes(bytes, 20);
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
    EXPECT_EQ(f.WriteBytes(data, 10), 10);
    EXPECT_EQ(f.GetLength(), 10);
    f.Seek(-4, QIO::SeekOrigin_End);
    char out[8] = {};
    EXPECT_EQ(f.ReadBytes(out, 8), 4);
    EXPECT_STREQ(out, "6789");
    f.Close();
    EXPECT_FALSE(f.IsOpen());
    EXPECT_FALSE(CQFileStream().Open(L"file_stream_test/none.bin"));  // an existing file only
    std::filesystem::remove_all(folder);
}
