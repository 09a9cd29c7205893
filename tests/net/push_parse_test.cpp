// The push client's part parser on byte buffers, without a connection: the parts of a stream
// must not depend on how it is cut into receives, no count may be negative or reach past the
// received bytes, well-formed streams give exactly the parts that were put in, and parts over
// the part limit are dropped, said so in a trace, with the parser's memory within the limit.
// Also the two hexadecimal helpers.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <string>
#include <vector>

#include "foundation/memory_stream.h"
#include "tests/net/part_parser.h"
#include "varnel/varnel.h"

using parttest::Parser;

namespace {

constexpr int32_t kLimit = 160;  // over every good part the generator makes

struct Stream {
    std::string boundary;
    std::string bytes;
    std::vector<std::string> parts;  // what a well-formed stream holds
    int dropped = 0;                 // parts over the limit
    bool wellFormed = true;
};

// Part bodies drawn from bytes that make markers, line ends and header ends likely.
std::string Body(std::mt19937& rng, size_t n) {
    static const std::string alphabet = "-\r\nabcAB0:";
    std::string s;
    for (size_t i = 0; i < n; ++i) s += alphabet[rng() % alphabet.size()];
    return s;
}

Stream Generate(std::mt19937& rng) {
    Stream st;
    st.boundary = (rng() % 3 == 0) ? "--ab" : "ab";  // marker "--ab" either way
    const std::string marker = "--ab";
    if (rng() % 3 == 0) st.bytes += "preamble\r\n";
    const int parts = 1 + int(rng() % 5);
    for (int p = 0; p < parts; ++p) {
        // Parts the parser skips or drops before a good one: a header cut short by the next
        // boundary line, and three shapes over the part limit (no end of the header block, no
        // length and no marker, a huge length), each dropped with a trace.
        const unsigned odd = rng() % 16;
        if (odd == 0) st.bytes += marker + "\r\nContent-Len\r\n";
        if (odd >= 1 && odd <= 3) {
            const char* const shapes[] = {"\r\nX-Junk: ", "\r\n\r\n",
                                          "\r\nContent-Length: 2000000000\r\n\r\n"};
            std::string filler(kLimit + 1 + rng() % 16, 'x');
            for (char& c : filler) c = "xyz\n-"[rng() % 5];  // no marker, no empty line
            st.bytes += marker + shapes[odd - 1] + filler;
            ++st.dropped;
        }
        const std::string body = Body(rng, rng() % 40);
        const bool clean = body.find(marker) == std::string::npos, last = p + 1 == parts;
        // A part that ends at the next marker needs one after it, and nothing in its body that
        // may begin one.
        const bool endsAtMarker = clean && body.find("--") == std::string::npos &&
                                  (body.empty() || body.back() != '-') && !last;
        const std::string n = std::to_string(body.size());
        // header line -> whether the part comes out as it was put in
        const std::pair<std::string, bool> headers[] = {
            {"Content-Length: " + n + "\r\n", clean},  // complete at the length, whatever follows
            {"Content-length: " + n + "\r\n", clean},  // also in ffmpeg's spelling
            {"", endsAtMarker},  // no length: ends at the next marker, without the "\r\n" before it
            {"Content-Length: " + std::to_string(body.size() + 100) + "\r\n",
             endsAtMarker},                              // too long: cut by the next marker
            {"Content-Length: -7\r\n", clean && !last},  // a negative length counts as none
            {"Content-Length: x\r\n", clean},  // reads as 0: an empty part, the body skipped
        };
        const auto& [header, good] = headers[rng() % 6];
        st.bytes += marker + "\r\nContent-Type: image/jpeg\r\n" + header + "\r\n" + body + "\r\n";
        // A body ending in "\r" would merge with the "\r\n" before the marker.
        st.wellFormed &= good && (body.empty() || body.back() != '\r');
        st.parts.push_back(header == headers[5].first ? "" : body);
    }
    if (rng() % 2) st.bytes += marker + "--\r\n";
    return st;
}

std::string Mutate(std::mt19937& rng, std::string s) {
    for (unsigned edits = 1 + rng() % 4; edits > 0 && !s.empty(); --edits) {
        const size_t at = rng() % s.size();
        const unsigned kind = rng() % 4;
        if (kind == 0) s[at] = char(rng() % 256);
        if (kind == 1) s.erase(at, 1 + rng() % 8);
        if (kind == 2) s.insert(at, rng() % 2 ? "\r\n--ab\r\n" : "\r\n\r\n");
        if (kind == 3) s.insert(at, s.substr(rng() % s.size(), rng() % 16));
    }
    return s;
}

}  // namespace

TEST(CQHttpPushClientParse, PartsDoNotDependOnTheCutsOfRandomAndMutatedStreams) {
    static std::atomic<int> drops{0};
    varnel_set_trace_sink(
        [](const char* line, void*) {
            drops += std::string(line).starts_with("CQHttpPushClient: part dropped");
        },
        nullptr);
    std::mt19937 rng(20240917);
    Parser parser;
    int checkedAgainstInput = 0, checkedDrops = 0;
    for (int round = 0; round < 400; ++round) {
        Stream st = Generate(rng);
        if (round % 2 == 1) {
            st.bytes = Mutate(rng, st.bytes);
            st.wellFormed = false;
        }
        drops = 0;
        const std::vector<std::string> whole = parser.Run(st.boundary, kLimit, st.bytes, {});
        if (st.wellFormed) {
            // The last part of a stream without a closing marker is complete only when it
            // carries its length; compare what the input guarantees.
            ASSERT_EQ(whole, st.parts) << "round " << round;
            ASSERT_EQ(drops, st.dropped) << "round " << round;
            ++checkedAgainstInput;
            checkedDrops += st.dropped;
        }
        for (size_t cut = 0; cut <= st.bytes.size(); ++cut)
            ASSERT_EQ(parser.Run(st.boundary, kLimit, st.bytes, {cut}), whole)
                << "round " << round << " cut " << cut;
        const std::vector<size_t> bytewise(st.bytes.size(), 1);
        ASSERT_EQ(parser.Run(st.boundary, kLimit, st.bytes, bytewise), whole) << "round " << round;
    }
    varnel_set_trace_sink(nullptr, nullptr);
    EXPECT_GT(checkedAgainstInput, 20);  // the oracle did check something
    EXPECT_GT(checkedDrops, 10);
}

// Helpers the library does not call: one table for the value, one string of bytes, and the end
// of the process (status -1, 255 as the parent sees it) at a character that is no digit.
TEST(CQHttpPushClientParse, HexHelpers) {
    // hex -> value: both cases, empty, and wrapping past 32 bits
    for (const auto& [hex, value] : std::vector<std::pair<const char*, uint32_t>>{
             {"1f", 31}, {"1F", 31}, {"", 0}, {"123456789", 0x23456789u}})
        EXPECT_EQ(Parser::HexStringToUInt(hex), value) << hex;
    QIO::CQMemoryStream out;
    EXPECT_TRUE(Parser::StringRaw2Raw("0A0B", out));
    EXPECT_EQ(std::string(out.ToChar(), size_t(out.GetLength())), "\x0A\x0B");
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(Parser::StringRaw2Raw("0a", out), testing::ExitedWithCode(255), "");
}
