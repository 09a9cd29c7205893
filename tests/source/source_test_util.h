// Shared pieces of the stream source tests: frame record bodies, a source whose protected
// parts the tests drive directly, and a temporary save folder per test.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "source/CQMyFile.h"

namespace srctest {

// 2019-07-04 07:30:56.000 as a frame time (100 ns units from 0001-01-01), computed with
// python3's datetime module.
constexpr int64_t kT0 = 636978222560000000;
constexpr int64_t kMs = 10000;

struct Rec {
    int32_t kind = 1;
    int64_t time = kT0;
    int32_t duration = 40;
    int32_t key = 0;
    int32_t length = 0;
    int32_t orientation = 1;
    int32_t channel = 0;
    uint8_t seed = 0;  // payload bytes are derived from it
};

inline Rec Key(int64_t time, int32_t length, uint8_t seed = 1) {
    return Rec{1, time, 40, 1, length, 1, 0, seed};
}
inline Rec P(int64_t time, int32_t length, uint8_t seed = 2) {
    return Rec{1, time, 40, 0, length, 1, 0, seed};
}
inline Rec Audio(int64_t time, int32_t length, uint8_t seed = 3) {
    return Rec{2, time, 0, 0, length, 1, 0, seed};
}
inline Rec End(int32_t kind) {
    return Rec{kind, kT0, 0, 0, 0, 1, 0, 0};
}

inline std::vector<uint8_t> Header(const Rec& r) {
    std::vector<uint8_t> h(VARNEL_FRAME_HEADER_SIZE);
    auto put32 = [&](size_t at, int32_t v) { std::memcpy(&h[at], &v, 4); };
    put32(0, r.kind);
    std::memcpy(&h[4], "h264", 4);
    put32(12, 0x0C0C0C0C);  // padding must be carried, never read
    std::memcpy(&h[16], &r.time, 8);
    put32(24, r.duration);
    put32(28, static_cast<int32_t>(r.time / kMs % 100000));
    put32(32, r.length);
    put32(36, r.key);
    for (int i = 0; i < 5; ++i) put32(40 + 4 * i, 0x11111111 * (i + 1));
    put32(60, r.orientation);
    put32(64, r.channel);
    put32(68, 0x44444444);
    return h;
}

inline std::vector<uint8_t> Payload(const Rec& r) {
    std::vector<uint8_t> p(r.length > 0 ? r.length : 0);
    for (size_t i = 0; i < p.size(); ++i) p[i] = static_cast<uint8_t>(r.seed * 31 + i * 7);
    return p;
}

inline std::vector<uint8_t> Body(const std::vector<Rec>& recs) {
    std::vector<uint8_t> b;
    for (const Rec& r : recs) {
        auto h = Header(r);
        auto p = Payload(r);
        b.insert(b.end(), h.begin(), h.end());
        b.insert(b.end(), p.begin(), p.end());
    }
    return b;
}

inline std::vector<uint8_t> ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
}

// Names of the plain files in a folder, sorted.
inline std::vector<std::string> ListFolder(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(folder)) {
        names.push_back(e.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

// A fresh folder under the system's temporary folder, removed with everything in it.
class TempFolder {
public:
    TempFolder() {
        std::random_device rd;
        const auto base = std::filesystem::temp_directory_path();
        for (;;) {
            path_ = (base / ("varnel_source_" + std::to_string(rd()))).string();
            if (std::filesystem::create_directory(path_)) break;
        }
    }
    ~TempFolder() { std::filesystem::remove_all(path_); }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// The source with its receiving side and buffers reachable from the tests.
class TestSource : public CQMyFile {
public:
    using CQMyFile::CheckContent;
    using CQMyFile::RecvEnd;

    // What OpenURL does to the feed state, without a connection.
    void BeginFeed() {
        m_nPlayDataState = PlayDataStates_Opened;
        m_bEnd = false;
        m_bRecvEnd = false;
    }
    // Hands bytes [from, to) of body to the parser, as the receive thread would.
    void Feed(const std::vector<uint8_t>& body, size_t from, size_t to) {
        if (to <= from) return;
        buffer_.resize(to - from);  // the hook gets a writable receive buffer
        std::memcpy(buffer_.data(), body.data() + from, to - from);
        CheckContent(buffer_.data(), static_cast<int>(to - from));
    }
    void Feed(const std::vector<uint8_t>& body) { Feed(body, 0, body.size()); }
    size_t Ahead() {
        std::lock_guard<platform::CriticalSection> lock(m_csFrame);
        return m_listAhead.size();
    }
    size_t Behind() {
        std::lock_guard<platform::CriticalSection> lock(m_csFrame);
        return m_listBehind.size();
    }
    size_t Pending() {
        std::lock_guard<platform::CriticalSection> lock(m_csFrame);
        return m_listPending.size();
    }
    size_t Indexed() {
        std::lock_guard<platform::CriticalSection> lock(m_csFrame);
        return m_mapGOP.size();
    }
    int ParseState() const { return m_nParseState; }
    long long Unparsed() { return m_msRecv.GetLength() - m_msRecv.GetPosition(); }
    long long PayloadHeld() { return m_msPayload.GetLength(); }
    const std::list<GOPPtr>& AheadList() const { return m_listAhead; }
    const std::list<GOPPtr>& BehindList() const { return m_listBehind; }
    const std::list<RecordPtr>& PendingList() const { return m_listPending; }
    const GOPMap& Index() const { return m_mapGOP; }
    // Index position of the on-file cursor (Indexed() at the end).
    size_t CursorIndex() const {
        return static_cast<size_t>(
            std::distance(m_mapGOP.begin(), static_cast<GOPMap::const_iterator>(m_itGOP)));
    }

private:
    std::vector<uint8_t> buffer_;
};

// Every record handed to the intake so far, in order, as header bytes and payload bytes: the
// listed groups' records read back from their files, then the pending ones from memory.
struct Seen {
    std::vector<uint8_t> header;
    std::vector<uint8_t> payload;
    bool operator==(const Seen&) const = default;
};

inline std::vector<Seen> Snapshot(TestSource& src) {
    std::vector<Seen> out;
    auto fromFile = [&](const frameheader1& f) {
        Seen s;
        s.header.assign(reinterpret_cast<const uint8_t*>(&f),
                        reinterpret_cast<const uint8_t*>(&f) + VARNEL_FRAME_HEADER_SIZE);
        auto file = ReadAll(f.filePath);
        if (f.payloadPos + f.length <= static_cast<int64_t>(file.size())) {
            s.payload.assign(file.begin() + f.payloadPos, file.begin() + f.payloadPos + f.length);
        }
        out.push_back(s);
    };
    for (const auto& g : src.AheadList()) {
        CQMyFile_GOP& group = *g;
        frameheader1 f;
        group.Reset();
        for (size_t i = 0; i < group.size(); ++i) {
            group.GetNexFrame(f);
            fromFile(f);
        }
        group.Reset();
    }
    for (const auto& r : src.PendingList()) {
        Seen s;
        s.header.assign(reinterpret_cast<const uint8_t*>(r.get()),
                        reinterpret_cast<const uint8_t*>(r.get()) + VARNEL_FRAME_HEADER_SIZE);
        if (r->length > 0) s.payload.assign(r->payload, r->payload + r->length);
        out.push_back(s);
    }
    return out;
}

inline std::vector<Seen> Expected(const std::vector<Rec>& recs) {
    std::vector<Seen> out;
    for (const Rec& r : recs) out.push_back(Seen{Header(r), Payload(r)});
    return out;
}

// n groups of one key frame and (frames - 1) P frames, 40 ms apart, followed by one closing
// key frame so that all n groups are finished.
inline std::vector<Rec> Groups(int n, int frames, int64_t start = kT0, int step = 1) {
    std::vector<Rec> recs;
    for (int g = 0; g < n; ++g) {
        const int64_t t = start + static_cast<int64_t>(g) * step * frames * 40 * kMs;
        recs.push_back(Key(t, 100 + g, static_cast<uint8_t>(g)));
        for (int i = 1; i < frames; ++i) {
            recs.push_back(P(t + i * 40 * kMs, 20 + i, static_cast<uint8_t>(g + i)));
        }
    }
    recs.push_back(Key(start + static_cast<int64_t>(n) * step * frames * 40 * kMs, 10, 99));
    return recs;
}

}  // namespace srctest

namespace srctest {

// Collects the library's trace lines while it lives.
class TraceCapture {
public:
    TraceCapture() { varnel_set_trace_sink(&TraceCapture::Sink, this); }
    ~TraceCapture() { varnel_set_trace_sink(nullptr, nullptr); }
    TraceCapture(const TraceCapture&) = delete;
    TraceCapture& operator=(const TraceCapture&) = delete;
    std::vector<std::string> Lines() {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }
    bool Has(const std::string& line) {
        auto all = Lines();
        return std::find(all.begin(), all.end(), line) != all.end();
    }

private:
    static void Sink(const char* line, void* user) {
        auto* self = static_cast<TraceCapture*>(user);
        std::lock_guard<std::mutex> lock(self->mutex_);
        self->lines_.emplace_back(line);
    }
    std::mutex mutex_;
    std::vector<std::string> lines_;
};

}  // namespace srctest
