// Shared pieces of the stream source tests: frame record bodies, a source whose protected
// parts the tests drive directly, and a temporary save folder per test.
#pragma once

#include <algorithm>

#include "source/CQMyFile.h"
#include "tests/net/net_test_util.h"

namespace srctest {

// 2019-07-04 07:30:56.000 as a frame time (100 ns units from 0001-01-01), computed with
// python3's datetime module.
constexpr int64_t kT0 = 636978222560000000;
constexpr int64_t kMs = 10000;
constexpr auto kFwd = MediaElementOrientations_Forward;
constexpr auto kRew = MediaElementOrientations_Rewind;

struct Rec {
    int32_t kind = 1;
    int64_t time = kT0;
    int32_t duration = 40, key = 0, length = 0, orientation = 1, channel = 0;
    uint8_t seed = 0;  // payload bytes are derived from it
};

inline Rec Key(int64_t time, int32_t length, uint8_t seed = 1) {
    return Rec{1, time, 40, 1, length, 1, 0, seed};
}
inline Rec P(int64_t time, int32_t length, uint8_t seed = 2) {
    return Rec{1, time, 40, 0, length, 1, 0, seed};
}

// The 72 header bytes as 32-bit words: kind, codec (8 bytes), padding (carried, never read),
// time (8 bytes), duration, audio time, length, key flag, five unknown words, orientation,
// channel and a last unknown word.
inline std::vector<uint8_t> Header(const Rec& r) {
    const auto low = static_cast<int32_t>(r.time), high = static_cast<int32_t>(r.time >> 32);
    const auto audio = static_cast<int32_t>(r.time / kMs % 100000);
    const int32_t words[] = {r.kind,        0,          0,          0x0C0C0C0C, low,
                             high,          r.duration, audio,      r.length,   r.key,
                             0x11111111,    0x22222222, 0x33333333, 0x44444444, 0x55555555,
                             r.orientation, r.channel,  0x44444444};
    static_assert(sizeof words == VARNEL_FRAME_HEADER_SIZE);
    std::vector<uint8_t> h(sizeof words);
    std::memcpy(h.data(), words, sizeof words);
    std::memcpy(&h[4], "h264", 4);
    return h;
}

inline std::vector<uint8_t> Payload(const Rec& r) {
    std::vector<uint8_t> p(std::max(r.length, 0));
    for (size_t i = 0; i < p.size(); ++i) p[i] = static_cast<uint8_t>(r.seed * 31 + i * 7);
    return p;
}

inline std::vector<uint8_t> Body(const std::vector<Rec>& recs) {
    std::vector<uint8_t> b;
    for (const Rec& r : recs)
        for (const auto& part : {Header(r), Payload(r)})
            b.insert(b.end(), part.begin(), part.end());
    return b;
}

inline std::vector<uint8_t> ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// A fresh folder under the system's temporary folder, removed with everything in it.
struct TempFolder : nettest::TempDir {
    // Names of the files in it, sorted.
    std::vector<std::string> Files() const {
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(path))
            names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
};

// The source with its receiving side and buffers reachable from the tests.
class TestSource : public CQMyFile {
public:
    using CQMyFile::CheckContent, CQMyFile::RecvEnd;
    using CQMyFile::m_listAhead, CQMyFile::m_listBehind, CQMyFile::m_listPending;
    using CQMyFile::m_mapGOP;

    // What OpenURL does to the feed state, without a connection.
    void BeginFeed() {
        m_nPlayDataState = PlayDataStates_Opened;
        m_bEnd = false;
        m_bRecvEnd = false;
    }
    // Hands bytes [from, to) of body to the parser, as the receive thread would.
    void Feed(const std::vector<uint8_t>& body, size_t from, size_t to) {
        if (to <= from) return;
        buffer_.assign(body.begin() + from, body.begin() + to);  // a writable receive buffer
        CheckContent(buffer_.data(), static_cast<int>(to - from));
    }
    void Feed(const std::vector<uint8_t>& body) { Feed(body, 0, body.size()); }
    // Groups ahead of the reader, groups behind it and records pending, in one look.
    std::vector<size_t> Lists() {
        std::lock_guard<platform::CriticalSection> lock(m_csFrame);
        return {m_listAhead.size(), m_listBehind.size(), m_listPending.size()};
    }
    size_t Ahead() { return Lists()[0]; }
    size_t Pending() { return Lists()[2]; }
    int ParseState() const { return m_nParseState; }
    long long Unparsed() { return m_msRecv.GetLength() - m_msRecv.GetPosition(); }
    long long PayloadHeld() { return m_msPayload.GetLength(); }
    // Start times of the groups of a list.
    static std::vector<int64_t> Starts(const std::list<GOPPtr>& groups) {
        std::vector<int64_t> times;
        for (const auto& g : groups) times.push_back(g->front()->frameTime);
        return times;
    }
    // Index position of the on-file cursor (the index size at the end).
    size_t CursorIndex() const {
        return static_cast<size_t>(
            std::distance(m_mapGOP.begin(), static_cast<GOPMap::const_iterator>(m_itGOP)));
    }

private:
    std::vector<uint8_t> buffer_;
};

using Sizes = std::vector<size_t>;

// A record as its header bytes followed by its payload bytes.
using Seen = std::vector<uint8_t>;

inline Seen SeenOf(const frameheader1& f, const unsigned char* payload) {
    const auto* h = reinterpret_cast<const uint8_t*>(&f);
    Seen s(h, h + VARNEL_FRAME_HEADER_SIZE);
    if (payload != nullptr && f.length > 0) s.insert(s.end(), payload, payload + f.length);
    return s;
}

// The records of a group read back from its file, each where its header says.
inline std::vector<Seen> ReadBack(CQMyFile_GOP& group) {
    std::vector<Seen> out;
    std::string path;
    std::vector<uint8_t> file;
    group.Reset();
    for (size_t i = 0; i < group.size(); ++i) {
        frameheader1 f;
        group.GetNexFrame(f);
        EXPECT_EQ(f.payload, nullptr);  // the copy is released once written
        if (path != f.filePath) file = ReadAll(path = f.filePath);
        const bool inFile = f.payloadPos + f.length <= static_cast<int64_t>(file.size());
        out.push_back(SeenOf(f, inFile ? file.data() + f.payloadPos : nullptr));
    }
    group.Reset();
    return out;
}

// Every record handed to the intake so far, in order: the listed groups' records read back
// from their files, then the pending ones from memory.
inline std::vector<Seen> Snapshot(TestSource& src) {
    std::vector<Seen> out;
    for (const auto& g : src.m_listAhead)
        for (auto& seen : ReadBack(*g)) out.push_back(std::move(seen));
    for (const auto& r : src.m_listPending) out.push_back(SeenOf(*r, r->payload));
    return out;
}

inline std::vector<Seen> Expected(const std::vector<Rec>& recs, size_t from = 0,
                                  size_t to = SIZE_MAX) {
    std::vector<Seen> out;
    for (size_t i = from; i < std::min(to, recs.size()); ++i) out.push_back(Body({recs[i]}));
    return out;
}

// n groups of one key frame and (frames - 1) P frames, 40 ms apart, followed by one closing
// key frame so that all n groups are finished.
inline std::vector<Rec> Groups(int n, int frames, int64_t start = kT0, int step = 1) {
    std::vector<Rec> recs;
    for (int g = 0; g < n; ++g) {
        const int64_t t = start + static_cast<int64_t>(g) * step * frames * 40 * kMs;
        recs.push_back(Key(t, 100 + g, static_cast<uint8_t>(g)));
        for (int i = 1; i < frames; ++i)
            recs.push_back(P(t + i * 40 * kMs, 20 + i, static_cast<uint8_t>(g + i)));
    }
    recs.push_back(Key(start + static_cast<int64_t>(n) * step * frames * 40 * kMs, 10, 99));
    return recs;
}

// A source fed by the test itself into a fresh save folder, which its Close must leave empty.
struct Fixture {
    explicit Fixture(bool onFile = false) {
        src.SetSaveFolder(dir.path.c_str());
        src.SetOnFile(onFile);
        src.BeginFeed();
    }
    // The same, fed with these records at once.
    explicit Fixture(const std::vector<Rec>& fed, bool onFile = false) : Fixture(onFile) {
        src.Feed(Body(fed));
    }
    ~Fixture() {
        src.Close();
        EXPECT_TRUE(dir.Files().empty());
    }
    // Takes the next frame; a record left as it was reads 0x5A in every byte.
    frameheader1 Next(MediaElementOrientations o = kFwd, bool key = false) {
        frameheader1 f;
        std::memset(&f, 0x5A, sizeof f);
        data = nullptr;
        key ? src.GetNextFrame_Key(&f, data, o) : src.GetNextFrame(&f, data, o);
        return f;
    }
    // The time of the next frame without taking it; 0x33 in every byte when none waits.
    int64_t Peek() {
        frameheader1 f;
        std::memset(&f, 0x33, sizeof f);
        src.GetNextFrameHeader(&f);
        return f.frameTime;
    }
    // The next n frames as they were handed out.
    std::vector<Seen> Read(size_t n, MediaElementOrientations o = kFwd, bool key = false) {
        std::vector<Seen> out;
        while (n-- > 0) {
            const frameheader1 f = Next(o, key);
            out.push_back(SeenOf(f, data));
        }
        return out;
    }
    TempFolder dir;
    TestSource src;
    unsigned char* data = nullptr;
};

}  // namespace srctest
