#include "session.h"

#include <chrono>
#include <cstdarg>
#include <cstring>
#include <thread>

#include "calendar.h"
#include "feed.h"
#include "foundation/base64.h"
#include "foundation/md5.h"
#include "platform/server.h"
#include "query.h"

namespace recorder {
namespace {

using Algorithm::Md5::MD5;
using Clock = std::chrono::steady_clock;
constexpr size_t kMaxHead = 16 * 1024;
constexpr int kHeadTimeoutMs = 10000;
constexpr int kLingerMs = 5000;  // after the end, for the client to close first

double Seconds(Clock::time_point t) {
    return std::chrono::duration<double>(t.time_since_epoch()).count();
}

bool SendAll(platform::SOCKET s, const void* data, size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        const int n = platform::SendSocket(s, p, static_cast<int>(std::min<size_t>(size, 1 << 20)));
        if (n <= 0) return false;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

void Put32(uint8_t* at, int32_t v) {
    const uint32_t u = static_cast<uint32_t>(v);
    for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(u >> (8 * i));
}
void Put64(uint8_t* at, int64_t v) {
    const uint64_t u = static_cast<uint64_t>(v);
    for (int i = 0; i < 8; ++i) at[i] = static_cast<uint8_t>(u >> (8 * i));
}

// The 72-byte record header; padding and the fields a client does not interpret stay zero.
void Header(uint8_t (&h)[72], int kind, const std::string& codec, int64_t time, int duration,
            int audioTime, int32_t length, bool key, int orientation, int channel) {
    std::memset(h, 0, sizeof h);
    Put32(h + 0, kind);
    std::memcpy(h + 4, codec.data(), std::min<size_t>(codec.size(), 7));
    Put64(h + 16, time);
    Put32(h + 24, duration);
    Put32(h + 28, audioTime);
    Put32(h + 32, length);
    Put32(h + 36, key ? 1 : 0);
    Put32(h + 60, orientation);
    Put32(h + 64, channel);
}

void Reply(platform::SOCKET s, int status, const char* reason, const std::string& extra,
           const std::string& body) {
    std::string text =
        "HTTP/1.1 " + std::to_string(status) + " " + reason + "\r\n" + extra +
        "Content-Type: text/plain\r\nContent-Length: " + std::to_string(body.size()) +
        "\r\nConnection: close\r\n\r\n" + body;
    SendAll(s, text.data(), text.size());
}

// Digest parameters name="value" (or unquoted), separated by commas.
std::map<std::string, std::string> DigestParameters(const std::string& text) {
    std::map<std::string, std::string> out;
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && (text[i] == ' ' || text[i] == ',')) ++i;
        const size_t eq = text.find('=', i);
        if (eq == std::string::npos) break;
        const std::string name = text.substr(i, eq - i);
        i = eq + 1;
        std::string value;
        if (i < text.size() && text[i] == '"') {
            const size_t close = text.find('"', i + 1);
            if (close == std::string::npos) break;
            value = text.substr(i + 1, close - i - 1);
            i = close + 1;
        } else {
            const size_t comma = text.find(',', i);
            value = text.substr(i, comma == std::string::npos ? std::string::npos : comma - i);
            i = comma == std::string::npos ? text.size() : comma;
        }
        out[name] = value;
    }
    return out;
}

class Session {
public:
    Session(Server& server, platform::SOCKET s, int id) : m_server(server), m_s(s), m_id(id) {}
    void Run();

private:
    bool ReadHead(std::string& head);
    bool Authorized(const HttpRequest& request);
    void Stream(const PlaybackQuery& q, Feed& feed);
    // Takes whatever command lines have come; false when the client has gone.
    bool PollCommands(int waitMs);
    // Waits ms milliseconds, taking command lines meanwhile; false when the client has gone.
    bool Stall(int ms);
    void Command(const std::string& line);
    bool SendRecord(const FeedItem& item, int64_t origin);
    void End();

    Server& m_server;
    platform::SOCKET m_s;
    int m_id;
    std::string m_pending;  // bytes of command lines not yet ended by a line feed
    Feed* m_feed = nullptr;
    bool m_paused = false, m_keyOnly = false, m_noAudio = false;
    int m_records = 0;
    long long m_body = 0;
    bool m_broken = false;                     // a fault has ended the answer
    int64_t m_rangeBegin = 0, m_rangeEnd = 0;  // of the request
    bool m_restarted = false;  // a seek: the record held back belongs to the old order
};

bool Session::ReadHead(std::string& head) {
    std::string data;
    const auto deadline = Clock::now() + std::chrono::milliseconds(kHeadTimeoutMs);
    while (Clock::now() < deadline && !m_server.stopping) {
        const size_t end = data.find("\r\n\r\n");
        if (end != std::string::npos) {
            head = data.substr(0, end);
            m_pending = data.substr(end + 4);  // command lines may follow at once
            return true;
        }
        if (data.size() > kMaxHead) return false;
        if (platform::WaitReadable(m_s, 100) <= 0) continue;
        char buffer[4096];
        const int n = platform::RecvAvailable(m_s, buffer, sizeof buffer);
        if (n == 0) return false;
        if (n < 0) {
            if (platform::WouldBlock(platform::WSAGetLastError())) continue;
            return false;
        }
        data.append(buffer, static_cast<size_t>(n));
    }
    return false;
}

bool Session::Authorized(const HttpRequest& request) {
    const Options& o = m_server.options;
    if (o.auth == AuthKind::None) return true;
    const auto given = request.Field("Authorization");
    std::string why = "no Authorization";
    if (given && o.auth == AuthKind::Basic && given->rfind("Basic ", 0) == 0) {
        if (Base64Decode(given->substr(6)) == o.user + ":" + o.password) {
            m_server.log.Line("auth %d ok basic %s", m_id, o.user.c_str());
            return true;
        }
        why = "wrong account or password";
    } else if (given && o.auth == AuthKind::Digest && given->rfind("Digest ", 0) == 0) {
        auto p = DigestParameters(given->substr(7));
        const std::string ha1 = MD5(p["username"] + ":" + p["realm"] + ":" + o.password).toString();
        const std::string ha2 = MD5(request.method + ":" + p["uri"]).toString();
        const std::string want = MD5(ha1 + ":" + p["nonce"] + ":" + ha2).toString();
        if (p["username"] != o.user || p["realm"] != o.realm)
            why = "wrong account or realm";
        else if (p["nonce"] != m_server.nonce)
            why = "stale nonce";
        else if (PercentDecode(p["uri"]) != PercentDecode(request.target))
            why = "uri parameter is not the request's";
        else if (p["response"] != want)
            why = "wrong response";
        else {
            m_server.log.Line("auth %d ok digest %s", m_id, o.user.c_str());
            return true;
        }
    } else if (given) {
        why = "wrong scheme";
    }
    m_server.log.Line("auth %d denied: %s", m_id, why.c_str());
    const std::string challenge = o.auth == AuthKind::Basic
                                      ? "WWW-Authenticate: Basic realm=\"" + o.realm + "\"\r\n"
                                      : "WWW-Authenticate: Digest realm=\"" + o.realm +
                                            "\", nonce=\"" + m_server.nonce + "\"\r\n";
    Reply(m_s, 401, "Unauthorized", challenge, "");
    return false;
}

void Session::Run() {
    Log& log = m_server.log;
    log.Line("connection %d", m_id);
    std::string head;
    if (!ReadHead(head)) {
        log.Line("closed %d: no request", m_id);
        return;
    }
    const auto request = ParseHead(head);
    if (!request) {
        log.Line("bad request %d: not HTTP", m_id);
        Reply(m_s, 400, "Bad Request", "", "not an HTTP request\n");
        return;
    }
    log.Line("request %d %s %s", m_id, request->method.c_str(), request->target.c_str());
    if (request->method != "GET") {
        Reply(m_s, 400, "Bad Request", "", "only GET is served\n");
        log.Line("bad request %d: method %s", m_id, request->method.c_str());
        return;
    }
    if (!Authorized(*request)) return;
    if (m_server.options.noAnswer) {
        log.Line("fault %d: no answer", m_id);
        while (PollCommands(100)) {
        }
        log.Line("closed %d by the client", m_id);
        return;
    }
    int status = 400;
    std::string reason;
    const auto q = ParsePlayback(request->target, &status, &reason);
    if (!q) {
        log.Line("bad request %d: %d %s", m_id, status, reason.c_str());
        Reply(m_s, status, status == 404 ? "Not Found" : "Bad Request", "", reason + "\n");
        return;
    }
    Feed feed;
    std::string channels;
    for (int channel : q->channels) {
        std::shared_ptr<const Recording> rec;
        try {
            rec = m_server.catalogue.Find(channel, q->fos ? q->fosId : 0);
        } catch (const std::exception& e) {
            log.Line("bad recording %d: %s", m_id, e.what());
            Reply(m_s, 500, "Internal Server Error", "", std::string(e.what()) + "\n");
            return;
        }
        if (!rec) {
            const std::string why = "no recording for channel " + std::to_string(channel) +
                                    (q->fos ? " fos " + std::to_string(q->fosId) : "");
            log.Line("bad request %d: 404 %s", m_id, why.c_str());
            Reply(m_s, 404, "Not Found", "", why + "\n");
            return;
        }
        feed.Add(rec, channel);
        channels += (channels.empty() ? "" : ".") + std::to_string(channel);
    }
    log.Line(
        "play %d %s channels=%s fos=%d subkey=%d resolution=%d %s - %s %s keyonly=%d "
        "noaudio=%d",
        m_id, q->endpoint.c_str(), channels.c_str(), q->fosId, q->subKey, q->resolution,
        TimeText(q->begin).c_str(), TimeText(q->end).c_str(), q->forward ? "Forward" : "Rewind",
        q->keyOnly ? 1 : 0, q->noAudio ? 1 : 0);
    const std::string ok =
        "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nConnection: close\r\n\r\n";
    if (!SendAll(m_s, ok.data(), ok.size())) return;
    m_rangeBegin = q->begin;
    m_rangeEnd = q->end;
    feed.Start(q->begin, q->end, q->forward);
    Stream(*q, feed);
}

bool Session::PollCommands(int waitMs) {
    if (platform::WaitReadable(m_s, waitMs) <= 0) return !m_server.stopping;
    char buffer[2048];
    for (;;) {
        const int n = platform::RecvAvailable(m_s, buffer, sizeof buffer);
        if (n == 0) return false;
        if (n < 0) {
            if (platform::WouldBlock(platform::WSAGetLastError())) break;
            return false;
        }
        m_pending.append(buffer, static_cast<size_t>(n));
        if (m_pending.size() > 64 * 1024) m_pending.clear();  // no line is this long
    }
    size_t nl;
    while ((nl = m_pending.find('\n')) != std::string::npos) {
        std::string line = m_pending.substr(0, nl);
        m_pending.erase(0, nl + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) Command(line);
    }
    return !m_server.stopping;
}

void Session::Command(const std::string& line) {
    m_server.log.Line("command %d %s", m_id, line.c_str());
    std::map<std::string, std::string> pairs;
    size_t start = 0;
    while (start <= line.size()) {
        size_t end = line.find(',', start);
        if (end == std::string::npos) end = line.size();
        const std::string pair = line.substr(start, end - start);
        const size_t eq = pair.find('=');
        if (eq != std::string::npos) pairs[pair.substr(0, eq)] = pair.substr(eq + 1);
        start = end + 1;
    }
    if (pairs.count("Type")) {
        const std::string& type = pairs["Type"];
        if (type != "Play" && type != "Pause") {
            m_server.log.Line("ignored %d: type %s", m_id, type.c_str());
            return;
        }
        m_paused = type == "Pause";
        if (pairs.count("OnlyeKyFrame")) m_keyOnly = pairs["OnlyeKyFrame"] == "1";
        if (pairs.count("NOAudio")) m_noAudio = pairs["NOAudio"] == "1";
    } else if (pairs.count("IsSeek") && pairs["IsSeek"] == "True" && m_feed != nullptr) {
        const auto at = ParseTime(pairs["SeekTime"]);
        if (!at) {
            m_server.log.Line("ignored %d: bad seek time", m_id);
            return;
        }
        const bool forward = pairs["Orientation"] != "Rewind";
        // Within the range of the request, not of the last seek: a seek back to the start
        // and then forward again goes on to the end of the range.
        const int64_t begin = forward ? *at : m_rangeBegin;
        const int64_t end = forward ? m_rangeEnd : *at;
        m_server.log.Line("seek %d %s %s", m_id, TimeText(*at).c_str(),
                          forward ? "Forward" : "Rewind");
        m_feed->Start(begin, end, forward);
        m_restarted = true;
    } else {
        m_server.log.Line("ignored %d", m_id);
    }
}

bool Session::Stall(int ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    while (Clock::now() < deadline)
        if (!PollCommands(std::min<int>(100, ms))) return false;
    return true;
}

bool Session::SendRecord(const FeedItem& item, int64_t origin) {
    const Options& o = m_server.options;
    const MediaFrame& f = *item.frame;
    ++m_records;
    if (o.stallRecord == m_records) {
        m_server.log.Line("fault %d: stall %d ms before record %d", m_id, o.stallMs, m_records);
        if (!Stall(o.stallMs)) return false;
    }
    const int audioTime = f.kind == 2 ? static_cast<int>((f.time - origin) / kTicksPerMs) : 0;
    int32_t length = static_cast<int32_t>(f.data->size());
    const bool bad = o.badLength == m_records;
    uint8_t h[72];
    Header(h, f.kind, f.kind == 1 ? f.codec : "", f.time, item.durationMs, audioTime,
           bad ? -1000 : length, f.kind == 1 && f.key, item.orientation, item.channel);
    std::string record(reinterpret_cast<const char*>(h), sizeof h);
    if (!bad) record.append(reinterpret_cast<const char*>(f.data->data()), f.data->size());
    size_t size = record.size();
    if (o.cutRecord == m_records) size /= 2;
    if (o.closeAfter > 0 && m_body + static_cast<long long>(size) > o.closeAfter)
        size = static_cast<size_t>(o.closeAfter - m_body);
    if (size < record.size()) m_broken = true;
    if (bad) m_broken = true;
    if (o.stallInRecord == m_records && !m_broken) {
        const size_t half = size / 2;
        if (!SendAll(m_s, record.data(), half)) return false;
        m_server.log.Line("fault %d: stall %d ms in record %d", m_id, o.stallInMs, m_records);
        if (!Stall(o.stallInMs)) return false;
        if (!SendAll(m_s, record.data() + half, size - half)) return false;
    } else if (!SendAll(m_s, record.data(), size)) {
        return false;
    }
    m_body += static_cast<long long>(size);
    if (m_broken) {
        m_server.log.Line("fault %d: closed in record %d after %lld bytes", m_id, m_records,
                          m_body);
        return false;
    }
    return true;
}

void Session::Stream(const PlaybackQuery& q, Feed& feed) {
    m_feed = &feed;
    m_keyOnly = q.keyOnly;
    m_noAudio = q.noAudio;
    const double pace = m_server.options.pace;
    Clock::time_point base = Clock::now();
    double playedMs = 0;  // video play time sent, for the pacing
    int64_t origin = -1;
    FeedItem item;
    bool have = false;
    for (;;) {
        if (!PollCommands(0)) {
            m_server.log.Line("closed %d by the client after %d records", m_id, m_records);
            return;
        }
        if (m_restarted) {
            m_restarted = false;
            have = false;
        }
        if (m_paused) {
            const auto pausedAt = Clock::now();
            while (m_paused)
                if (!PollCommands(100)) {
                    m_server.log.Line("closed %d by the client while paused", m_id);
                    return;
                }
            base += Clock::now() - pausedAt;  // paced time does not run while paused
            continue;
        }
        if (!have) {
            have = feed.Next(m_keyOnly, m_noAudio, item);
            if (!have) break;
        }
        if (pace > 0) {
            const auto due =
                base + std::chrono::microseconds(static_cast<long long>(playedMs * 1000.0 / pace));
            const auto now = Clock::now();
            if (now < due) {
                const int wait = static_cast<int>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(due - now).count());
                if (!PollCommands(std::max(1, std::min(wait, 50)))) return;
                continue;  // commands first, then the record when it is due
            }
        }
        if (origin < 0) origin = item.frame->time;
        if (!SendRecord(item, origin)) {
            if (!m_broken)
                m_server.log.Line("closed %d by the client after %d records", m_id, m_records);
            return;
        }
        have = false;
        if (item.frame->kind == 1) playedMs += item.durationMs;
    }
    End();
}

void Session::End() {
    const Options& o = m_server.options;
    if (o.end != EndKind::Close) {
        const int kind = o.end == EndKind::Mark129 ? 129 : 255;
        uint8_t h[72];
        Header(h, kind, "", 0, 0, 0, 0, false, 0, 0);
        if (!SendAll(m_s, h, sizeof h)) return;
        m_server.log.Line("end %d: record %d after %d records", m_id, kind, m_records);
    } else {
        m_server.log.Line("end %d: closing after %d records", m_id, m_records);
        return;
    }
    // The client closes when it has all it wants; its last command lines are still logged.
    const auto deadline = Clock::now() + std::chrono::milliseconds(kLingerMs);
    while (Clock::now() < deadline)
        if (!PollCommands(100)) break;
}

}  // namespace

Log::Log(const std::string& path) : m_start(Seconds(Clock::now())) {
    if (path.empty()) {
        m_file = stderr;
    } else {
        m_file = std::fopen(path.c_str(), "a");
        m_own = true;
    }
}

Log::~Log() {
    if (m_own && m_file != nullptr) std::fclose(m_file);
}

void Log::Line(const char* format, ...) {
    if (m_file == nullptr) return;
    std::lock_guard<std::mutex> lock(m_lock);
    std::fprintf(m_file, "%.3f ", Seconds(Clock::now()) - m_start);
    va_list ap;
    va_start(ap, format);
    std::vfprintf(m_file, format, ap);
    va_end(ap);
    std::fputc('\n', m_file);
    std::fflush(m_file);
}

void ServeConnection(Server& server, platform::SOCKET s, int id) {
    Session(server, s, id).Run();
}

}  // namespace recorder
