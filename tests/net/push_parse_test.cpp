// The push client's part parser on byte buffers, without a connection: the parts of a stream
// must not depend on how it is cut into receives, no count may be negative or reach past the
// received bytes, and well-formed streams give exactly the parts that were put in. Also the
// boundary marker and the two hexadecimal helpers.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "foundation/memory_stream.h"
#include "net/http/http_push_client.h"

namespace {

class Parser : public QNetwork::QProtocol::HTTP::CQHttpPushClient {
public:
    using CQHttpPushClient::HexStringToUInt;
    using CQHttpPushClient::StringRaw2Raw;

    explicit Parser(const std::string& boundary) { SetBoundary(boundary); }
    long long Buffered() const { return m_msRecv.GetLength(); }
    std::string Marker() const { return {m_msBoundary.ToChar(), size_t(m_msBoundary.GetLength())}; }

    // The parts of stream fed in pieces ending at the given cut offsets.
    std::vector<std::string> Run(const std::string& boundary, const std::string& stream,
                                 const std::vector<size_t>& cuts) {
        SetBoundary(boundary);
        parts.clear();
        size_t from = 0;
        for (size_t to : cuts) {
            Feed(stream, from, to);
            from = to;
        }
        Feed(stream, from, stream.size());
        return parts;
    }

    std::vector<std::string> parts;

protected:
    void CheckContent(int count) override {
        // A negative count, or one past the bytes received, would make a host read outside the
        // stream.
        ASSERT_GE(count, 0);
        ASSERT_LE(count, m_msRecv.GetLength());
        parts.emplace_back(m_msRecv.ToChar(), size_t(count));
    }

private:
    void Feed(const std::string& s, size_t from, size_t to) {
        Parse(reinterpret_cast<const unsigned char*>(s.data()) + from, int(to - from));
    }
};

struct Stream {
    std::string boundary;
    std::string bytes;
    std::vector<std::string> parts;  // what a well-formed stream holds
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
        std::string body = Body(rng, rng() % 40);
        const bool clean = body.find(marker) == std::string::npos;
        st.bytes += marker + "\r\nContent-Type: image/jpeg\r\n";
        switch (rng() % 6) {
            case 0:  // length given: the part is complete at the length, whatever follows
                st.bytes += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
                if (!clean) st.wellFormed = false;
                break;
            case 1:  // ffmpeg's spelling
                st.bytes += "Content-length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
                if (!clean) st.wellFormed = false;
                break;
            case 2:  // no length: ends at the next marker, without the line end before it
            case 3:
                st.bytes += "\r\n" + body;
                if (!clean || body.find("--") != std::string::npos ||
                    (!body.empty() && body.back() == '-') || p + 1 == parts)
                    st.wellFormed = false;  // the last part has no marker after it
                break;
            case 4:  // announced too long: cut short by the next marker
                st.bytes +=
                    "Content-Length: " + std::to_string(body.size() + 100) + "\r\n\r\n" + body;
                if (!clean || body.find("--") != std::string::npos || p + 1 == parts ||
                    (!body.empty() && body.back() == '-'))
                    st.wellFormed = false;
                break;
            default:
                if (rng() % 2) {  // a negative length counts as none
                    st.bytes += "Content-Length: -7\r\n\r\n" + body;
                    if (!clean || p + 1 == parts) st.wellFormed = false;
                } else {  // an unreadable one reads as 0: an empty part, the body skipped
                    st.bytes += "Content-Length: x\r\n\r\n" + body;
                    if (!clean) st.wellFormed = false;
                    body.clear();
                }
                break;
        }
        // A body ending in "\r" would merge with the "\r\n" before the marker.
        if (!body.empty() && body.back() == '\r') st.wellFormed = false;
        st.parts.push_back(body);
        st.bytes += "\r\n";
    }
    if (rng() % 2) st.bytes += marker + "--\r\n";
    return st;
}

std::string Mutate(std::mt19937& rng, std::string s) {
    const int edits = 1 + int(rng() % 4);
    for (int e = 0; e < edits && !s.empty(); ++e) {
        const size_t at = rng() % s.size();
        switch (rng() % 4) {
            case 0:
                s[at] = char(rng() % 256);
                break;
            case 1:
                s.erase(at, 1 + rng() % 8);
                break;
            case 2:
                s.insert(at, rng() % 2 ? "\r\n--ab\r\n" : "\r\n\r\n");
                break;
            default:
                s.insert(at, s.substr(rng() % s.size(), rng() % 16));
                break;
        }
    }
    return s;
}

}  // namespace

TEST(CQHttpPushClientParse, PartsDoNotDependOnTheCutsOfRandomAndMutatedStreams) {
    std::mt19937 rng(20240917);
    Parser parser("");
    int checkedAgainstInput = 0;
    for (int round = 0; round < 400; ++round) {
        Stream st = Generate(rng);
        if (round % 2 == 1) {
            st.bytes = Mutate(rng, st.bytes);
            st.wellFormed = false;
        }
        const std::vector<std::string> whole = parser.Run(st.boundary, st.bytes, {});
        if (st.wellFormed) {
            // The last part of a stream without a closing marker is complete only when it
            // carries its length; compare what the input guarantees.
            ASSERT_EQ(whole, st.parts) << "round " << round;
            ++checkedAgainstInput;
        }
        for (size_t cut = 0; cut <= st.bytes.size(); ++cut)
            ASSERT_EQ(parser.Run(st.boundary, st.bytes, {cut}), whole)
                << "round " << round << " cut " << cut;
        std::vector<size_t> bytewise;
        for (size_t i = 1; i < st.bytes.size(); ++i) bytewise.push_back(i);
        ASSERT_EQ(parser.Run(st.boundary, st.bytes, bytewise), whole) << "round " << round;
        if (HasFatalFailure()) return;
    }
    EXPECT_GT(checkedAgainstInput, 20);  // the oracle did check something
}

TEST(CQHttpPushClientParse, EdgeCases) {
    Parser p("");
    // Split over two receives: one part, after the second.
    const std::string s = "--ab\r\nContent-Length: 5\r\n\r\nhello\r\n";
    EXPECT_EQ(p.Run("ab", s, {s.find("hel") + 2}), std::vector<std::string>{"hello"});
    // A marker before the announced length ends the part with the bytes before its line.
    EXPECT_EQ(
        p.Run("ab", "--ab\r\nContent-Length: 10\r\n\r\nhey\r\n--ab\r\nContent-Length: 2\r\n\r\nok",
              {}),
        (std::vector<std::string>{"hey", "ok"}));
    // A header still open when a new boundary line comes is dropped; the new part counts.
    EXPECT_EQ(p.Run("ab", "--ab\r\nContent-Len\r\n--ab\r\nContent-Length: 2\r\n\r\nok", {}),
              std::vector<std::string>{"ok"});
    // A part of length 0 is a part.
    EXPECT_EQ(
        p.Run("ab", "--ab\r\nContent-Length: 0\r\n\r\n\r\n--ab\r\nContent-Length: 1\r\n\r\nz", {}),
        (std::vector<std::string>{"", "z"}));
    // Without a complete part nothing reaches the hook, and the unread bytes do not grow.
    EXPECT_TRUE(p.Run("ab", std::string(100000, 'x') + "--a", {50000}).empty());
    EXPECT_EQ(p.Buffered(), 3);  // only what may begin a marker is kept
}

TEST(CQHttpPushClientParse, BoundaryMarkerDropsEveryDash) {
    EXPECT_EQ(Parser("--abc").Marker(), "--abc");
    EXPECT_EQ(Parser("a-b").Marker(), "--ab");
    EXPECT_EQ(Parser("ffmpeg").Marker(), "--ffmpeg");
    EXPECT_EQ(Parser("").Marker(), "--");
}

TEST(CQHttpPushClientParse, HexHelpers) {
    EXPECT_EQ(Parser::HexStringToUInt("1f"), 31u);
    EXPECT_EQ(Parser::HexStringToUInt("1F"), 31u);
    EXPECT_EQ(Parser::HexStringToUInt(""), 0u);
    EXPECT_EQ(Parser::HexStringToUInt("123456789"), 0x23456789u);  // wraps past 32 bits
    QIO::CQMemoryStream out;
    EXPECT_TRUE(Parser::StringRaw2Raw("0A0B", out));
    ASSERT_EQ(out.GetLength(), 2);
    EXPECT_EQ(out.ToUChar()[0], 10);
    EXPECT_EQ(out.ToUChar()[1], 11);
    EXPECT_TRUE(Parser::StringRaw2Raw("", out));
    EXPECT_EQ(out.GetLength(), 2);

    // Anything else ends the process with status -1 (255 as the parent sees it).
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(Parser::HexStringToUInt("1g"), testing::ExitedWithCode(255), "");
    EXPECT_EXIT(Parser::StringRaw2Raw("0a", out), testing::ExitedWithCode(255), "");
    EXPECT_EXIT(Parser::StringRaw2Raw("0A0", out), testing::ExitedWithCode(255), "");
}
