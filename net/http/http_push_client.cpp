#include "net/http/http_push_client.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "foundation/reaper.h"
#include "foundation/string.h"
#include "net/http/url.h"
#include "net/iocp.h"
#include "platform/completion_port.h"
#include "platform/socket.h"
#include "platform/trace.h"

namespace QNetwork::QProtocol::HTTP {
namespace {

constexpr int kBufferSize = 8192;
// Parse takes its bytes a slice at a time, so one large count holds no more than a slice
// beyond the part limit.
constexpr int kSliceBytes = 64 * 1024;
// A receive stream that grew past this for a large part gives the memory back once the part
// has gone.
constexpr uint32_t kShrinkAbove = 1024 * 1024;

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Marks the thread as inside a hook or event of a client, on the stack of the call that runs
// them. A Close from there must neither wait for that call nor clear the handler list being
// walked, and a delete from there marks the scope gone, so the call returns without touching
// the client again.
class InsideHooks {
public:
    explicit InsideHooks(const CQHttpPushClient* client) : m_pClient(client), m_pOuter(t_pScope) {
        t_pScope = this;
    }
    ~InsideHooks() { t_pScope = m_pOuter; }
    InsideHooks(const InsideHooks&) = delete;
    InsideHooks& operator=(const InsideHooks&) = delete;

    static bool Inside(const CQHttpPushClient* client) {
        for (const InsideHooks* s = t_pScope; s != nullptr; s = s->m_pOuter)
            if (s->m_pClient == client) return true;
        return false;
    }
    static void MarkGone(const CQHttpPushClient* client) {
        for (InsideHooks* s = t_pScope; s != nullptr; s = s->m_pOuter)
            if (s->m_pClient == client) s->m_bGone = true;
    }
    // The client of the innermost scope was deleted by its hook (false outside any scope).
    static bool Gone() { return t_pScope != nullptr && t_pScope->m_bGone; }

private:
    static thread_local InsideHooks* t_pScope;
    const CQHttpPushClient* m_pClient;
    InsideHooks* m_pOuter;
    bool m_bGone = false;
};

thread_local InsideHooks* InsideHooks::t_pScope = nullptr;

// 1: pattern at i; 0: not; -1: the bytes end while they still agree with the pattern, so only
// more bytes can tell. Deciding only on bytes that are there is what makes the parts the same
// however the stream is cut.
int MatchAt(const unsigned char* s, int length, int i, const unsigned char* pattern, int n) {
    for (int k = 0; k < n; ++k) {
        if (i + k >= length) return -1;
        if (s[i + k] != pattern[k]) return 0;
    }
    return 1;
}

const unsigned char kHeadEnd[] = {'\r', '\n', '\r', '\n'};

int HexDigit(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

[[noreturn]] void BadHexCharacter(char c) {
    std::printf("Unrecognised hex character \"%c\"\n", c);
    std::fflush(stdout);
    std::exit(-1);
}

bool EqualIgnoringCase(const std::string& a, const char* b) {
    const size_t n = std::strlen(b);
    if (a.size() != n) return false;
    for (size_t i = 0; i < n; ++i) {
        const auto lower = [](unsigned char c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; };
        if (lower(static_cast<unsigned char>(a[i])) != lower(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

// The name under which the table holds a field: exactly as asked when it is there, else the
// first name equal to it in another case; empty when there is none.
std::string FieldName(const CQHttpResponse& r, const char* name) {
    const CQHttpResponse::HeaderTable& table = r.GetHeaderTable();
    if (table.count(name) > 0) return name;
    for (const auto& [field, value] : table)
        if (EqualIgnoringCase(field, name)) return field;
    return {};
}

}  // namespace

CQHttpPushClient::CQHttpPushClient()
    : m_pRecvBuffer(std::make_unique<unsigned char[]>(kBufferSize)),
      m_nRecvBufferSize(kBufferSize),
      m_pRecvArgs(std::make_unique<CQSocketAsyncEventArgs>()) {
    m_pRecvArgs->SetBuffer(m_pRecvBuffer.get(), m_nRecvBufferSize);
    SetBoundary("");
}

CQHttpPushClient::~CQHttpPushClient() {
    Shut();
    if (!InsideHooks::Inside(this)) return;
    // Deleted from its own hook: the call that runs the hook returns without touching the
    // client, but the completion worker still walks the receive record's handler list and
    // reads its buffer, so the reaper frees them once that call is over.
    InsideHooks::MarkGone(this);
    std::shared_ptr<CQSocketAsyncEventArgs> args(std::move(m_pRecvArgs));
    std::shared_ptr<unsigned char[]> buffer(std::move(m_pRecvBuffer));
    foundation::ReleaseLater([args, buffer] { args->ClearAll(); });
}

void CQHttpPushClient::SetMaxPartBytes(int32_t bytes) {
    m_nMaxPartBytes = std::clamp<int32_t>(bytes, 1, kLargestMaxPartBytes);
}

void CQHttpPushClient::SetIdleLimit(int milliseconds) {
    m_nIdleLimitMs = std::max(milliseconds, 0);
}

void CQHttpPushClient::BuildRequest() {}

void CQHttpPushClient::CheckContent(int) {}

bool CQHttpPushClient::Open(const char* url) {
    platform::OutputDebugStringA("-----CQHttpPushClient::Open-----\r\n");
    if (InsideHooks::Inside(this)) {
        // Open waits for the receive handler that this very hook runs in: refused, see the
        // header.
        platform::OutputDebugStringA("CQHttpPushClient: Open refused inside the client's hook\r\n");
        return false;
    }
    Shut();  // one connection and one receive handler at a time
    {
        std::lock_guard<std::mutex> lock(m_csSocket);
        m_bOpening = true;
        m_bClosing = false;
    }
    m_pRecvArgs->Add(
        [this](void* sender, const CQSocketAsyncEventArgs& args) { RecvAsync(sender, args); });

    CQURL u;
    u.Parse(url);
    auto buffer = std::make_unique<unsigned char[]>(kBufferSize);  // zero-filled
    int n = 0;
    int h = -1;
    const auto request = [&] {
        {
            // A Close that has begun took the socket away: a new one made now would be left
            // for nobody to close.
            std::lock_guard<std::mutex> lock(m_csSocket);
            if (m_bClosing) return false;
            m_Socket.Close();
            m_Socket.OpenTCP();
        }
        if (!m_Socket.ConnectWithin(u.GetIP(), u.GetPort(), kConnectTimeoutMs)) return false;
        std::string text;
        m_Request.Build(u, text);
        m_Socket.Send(text.data(), static_cast<int>(text.size()));
        std::memset(buffer.get(), 0, kBufferSize);
        n = 0;
        h = -1;
        // Until the empty line, however the server cuts its head into segments: a boundary
        // read from half a head would be lost, and the marker become a bare "--". Bounded: a
        // server that accepts and never answers would otherwise hold Open for good.
        const int64_t deadline = NowMs() + kHeadTimeoutMs;
        while (h < 0 && n < kBufferSize && NowMs() < deadline &&
               m_Socket.WaitReadable(static_cast<int>(deadline - NowMs())) == 1) {
            const int got = m_Socket.Receive(buffer.get() + n, kBufferSize - n);
            if (got < 1) break;
            n += got;
            h = m_Response.Parse(buffer.get(), n);
        }
        return true;
    };
    if (request() && h >= 0 && m_Response.GetResponseCode() == 401) {
        m_Response.GetAuthenticate(m_Request.GetRealm(), m_Request.GetNonce());
        request();  // once: a second 401 is taken as it comes
    }

    CQHttpResponse::contenttype type;
    m_Response.GetContentType(type);
    SetBoundary(type.boundary);
    std::string coding;
    const std::string codingName = FieldName(m_Response, "Transfer-Encoding");
    m_bChunked = h >= 0 && !codingName.empty() &&
                 m_Response.GetHeader(codingName.c_str(), coding) &&
                 QSystem::CQString::ToUpper(coding).find("CHUNKED") != std::string::npos;
    m_nChunkState = Chunk_Size;
    m_uChunkLeft = 0;
    m_bChunkDigits = m_bChunkExtension = false;
    if (h >= 0 && n > h) {
        InsideHooks inside(this);
        Feed(buffer.get() + h, n - h);
        if (InsideHooks::Gone()) return true;
    }

    std::memset(m_pRecvBuffer.get(), 0, static_cast<size_t>(m_nRecvBufferSize));
    bool armed = false;
    {
        std::lock_guard<std::mutex> lock(m_csSocket);
        const platform::SOCKET s = m_Socket.GetSocket();
        if (!m_bClosing && s != platform::INVALID_SOCKET) {
            // Tied here, once the head has been read with blocking receives, because the
            // client is the one that knows when its socket turns asynchronous; a host tying
            // it itself would have to know the socket and the moment.
            CQIOCP::GetInstance().Add(s);
            m_bStalled = false;
            m_bReceiving = true;
            m_nLastReceiveMs = NowMs();
            m_Socket.ReceiveAsync(*m_pRecvArgs);
            armed = true;
        }
    }
    // Before Open counts as done, so that a Close waiting for it also stops the watch.
    const int idle = m_nIdleLimitMs;
    if (armed && idle > 0) {
        const auto period = static_cast<uint32_t>(std::clamp(idle / 4, 10, 1000));
        m_IdleTimer.Create([this, idle] { WatchIdle(idle); }, period, period);
    }
    {
        std::lock_guard<std::mutex> lock(m_csSocket);
        m_bOpening = false;
    }
    m_cvOpen.notify_all();
    platform::OutputDebugStringA("-----CQHttpPushClient::Open\r\n");
    return true;
}

void CQHttpPushClient::Close() {
    platform::OutputDebugStringA("-----CQHttpPushClient::Close-----\r\n");
    Shut();
    platform::OutputDebugStringA("-----CQHttpPushClient::Close\r\n");
}

void CQHttpPushClient::Shut() {
    m_IdleTimer.Delete();
    const auto shutSocket = [this] {
        std::lock_guard<std::mutex> lock(m_csSocket);
        m_bClosing = true;
        m_Socket.Shuntdown(ShuntdownTyps_Both);
        m_Socket.Close();  // a pending receive completes now and finds m_bClosing set
    };
    shutSocket();
    if (InsideHooks::Inside(this)) return;  // see the header: the current hook call is left to end
    {
        // Wakes an Open under way (its connect or head wait fails), then lets it finish: it
        // starts nothing once it sees m_bClosing. An Open that began after the first shut
        // reset the flag, so shut once more after it.
        std::unique_lock<std::mutex> lock(m_csSocket);
        m_cvOpen.wait(lock, [this] { return !m_bOpening; });
    }
    m_IdleTimer.Delete();  // an Open that ended meanwhile may have started it
    shutSocket();
    // Waits for a handler call under way on a worker and drops completions still queued.
    m_pRecvArgs->ClearAll();
}

void CQHttpPushClient::WatchIdle(int limitMs) {
    if (!m_bReceiving || NowMs() - m_nLastReceiveMs < limitMs || m_bStalled.exchange(true)) return;
    platform::TraceF("CQHttpPushClient: no data for %d ms, connection closed\r\n", limitMs);
    // The pending receive completes with nothing, and RecvAsync reports the stall.
    std::lock_guard<std::mutex> lock(m_csSocket);
    m_Socket.Shuntdown(ShuntdownTyps_Both);
}

void CQHttpPushClient::RecvAsync(void*, const CQSocketAsyncEventArgs& args) {
    if (m_bClosing) return;
    InsideHooks inside(this);
    int error = 0;
    if (args.m_BytesTransferred == 0) {
        error = m_bStalled ? kStalledError : static_cast<int>(args.m_Error);
    } else {
        m_nLastReceiveMs = NowMs();
        Feed(reinterpret_cast<const unsigned char*>(args.m_Buffer.buf),
             static_cast<int>(args.m_BytesTransferred));
        if (InsideHooks::Gone()) return;
        std::memset(m_pRecvBuffer.get(), 0, static_cast<size_t>(m_nRecvBufferSize));
        std::lock_guard<std::mutex> lock(m_csSocket);
        if (m_bClosing || m_Socket.GetSocket() == platform::INVALID_SOCKET) return;
        if (m_Socket.ReceiveAsync(*m_pRecvArgs) == 0) return;
        error = platform::WSAGetLastError();
        if (error == platform::WSA_IO_PENDING) return;
        // Not started, so no completion will come: the connection has ended all the same.
    }
    m_bReceiving = false;
    if (m_bClosing) return;
    // Raised from a copy of the handler list: a handler may delete the client, list and all.
    ClosedEvent closed(m_Closed);
    closed.RaisEvent(this, error);
}

void CQHttpPushClient::Feed(const unsigned char* data, int count) {
    if (!m_bChunked) {
        Parse(data, count);
        return;
    }
    // "<hex size>[;extension]\r\n<data>\r\n" ... "0\r\n" trailers "\r\n". Lenient: junk on a
    // size line is read as an extension, a line without digits is skipped.
    for (int i = 0; i < count && !m_bClosing;) {
        switch (m_nChunkState) {
            case Chunk_Size: {
                const unsigned char c = data[i++];
                const int digit = HexDigit(c);
                if (c == '\n') {
                    if (m_bChunkDigits)
                        m_nChunkState = m_uChunkLeft > 0 ? Chunk_Data : Chunk_Trailer;
                    m_bChunkDigits = m_bChunkExtension = false;
                } else if (digit >= 0 && !m_bChunkExtension) {
                    m_uChunkLeft = std::min<uint32_t>(m_uChunkLeft, 0x07FFFFFF) * 16 +
                                   static_cast<uint32_t>(digit);
                    m_bChunkDigits = true;
                } else if (c != '\r') {
                    m_bChunkExtension = true;
                }
                break;
            }
            case Chunk_Data: {
                const int n = static_cast<int>(
                    std::min<uint32_t>(m_uChunkLeft, static_cast<uint32_t>(count - i)));
                Parse(data + i, n);
                if (InsideHooks::Gone()) return;
                i += n;
                m_uChunkLeft -= static_cast<uint32_t>(n);
                if (m_uChunkLeft == 0) m_nChunkState = Chunk_DataEnd;
                break;
            }
            case Chunk_DataEnd:  // the "\r\n" after a chunk's data
                if (data[i++] == '\n') m_nChunkState = Chunk_Size;
                break;
            default:  // after the last chunk: trailers, nothing of the body
                i = count;
                break;
        }
    }
}

void CQHttpPushClient::SetBoundary(const std::string& boundary) {
    std::string marker = "--" + QSystem::CQString::Replace(boundary, "-", "");
    m_msBoundary.Clear();
    m_msBoundary.WriteBytes(reinterpret_cast<unsigned char*>(marker.data()),
                            static_cast<int>(marker.size()));
    m_msRecv.Clear();
    m_nParseState = ParseState_Seek;
    m_nScanPos = 0;
    m_nPartLength = -1;
}

int32_t CQHttpPushClient::PartLength() const {
    const std::string name = FieldName(m_PartHeader, "Content-Length");
    int32_t length = -1;
    if (name.empty() || !m_PartHeader.GetHeader(name.c_str(), length) || length < 0) return -1;
    return length;
}

void CQHttpPushClient::Parse(const unsigned char* data, int count) {
    int done = 0;
    do {
        const int n = std::clamp(count - done, 0, kSliceBytes);
        if (n > 0) {
            m_msRecv.SetPosition(m_msRecv.GetLength());
            m_msRecv.WriteBytes(const_cast<unsigned char*>(data + done), n);
        }
        done += n;
        if (!ParseBuffered()) return;
    } while (done < count && !m_bClosing);
}

void CQHttpPushClient::Drop(int32_t count, const char* why) {
    platform::TraceF(
        "CQHttpPushClient: part dropped (%s, the limit is %d bytes); looking for the next "
        "boundary\r\n",
        why, static_cast<int>(m_nMaxPartBytes));
    m_msRecv.Remove(0, static_cast<uint32_t>(count));
    m_nParseState = ParseState_Seek;
    m_nScanPos = 0;
    Consumed();
}

void CQHttpPushClient::Consumed() {
    if (m_msRecv.GetCapacity() > kShrinkAbove && m_msRecv.GetLength() < m_msRecv.GetCapacity() / 4)
        m_msRecv.ShrinkToFit();
}

bool CQHttpPushClient::ParseBuffered() {
    const unsigned char* marker = m_msBoundary.ToUChar();
    const int m = static_cast<int>(m_msBoundary.GetLength());
    // A part's header block and its bytes must fit in this; past it they are dropped. Tested
    // as the scan passes each offset, so the same bytes drop the same parts however cut.
    const int32_t limit = m_nMaxPartBytes;
    while (!m_bClosing) {
        const unsigned char* s = m_msRecv.ToUChar();
        const int length = static_cast<int>(m_msRecv.GetLength());
        int i = m_nScanPos;
        if (m_nParseState == ParseState_Seek) {
            int found = 0;
            for (; i < length && (found = MatchAt(s, length, i, marker, m)) == 0; ++i) {
            }
            // What lies before a marker (or before the bytes that may begin one) is never
            // part of a part: drop it, so that the stream does not grow with junk.
            m_msRecv.Remove(0, static_cast<uint32_t>(i));
            m_nScanPos = 0;
            if (found != 1) return true;
            m_nParseState = ParseState_Header;
            continue;
        }
        if (m_nParseState == ParseState_Header) {
            int end = 0;
            int next = 0;
            for (; i < length && i <= limit; ++i) {
                if ((end = MatchAt(s, length, i, kHeadEnd, 4)) == 1) break;
                // A new boundary line: a marker at the start of a line past the first one.
                next = i >= m && s[i - 2] == '\r' && s[i - 1] == '\n'
                           ? MatchAt(s, length, i, marker, m)
                           : 0;
                if (next != 0 || end != 0) break;
            }
            if (end == 1) {
                const int h = i + 4;
                m_PartHeader.Parse(s, h);
                m_nPartLength = PartLength();
                m_msRecv.Remove(0, static_cast<uint32_t>(h));
                m_nParseState = ParseState_Part;
                m_nScanPos = 0;
                if (m_nPartLength > limit) Drop(0, "its length is over the limit");
                continue;
            }
            if (next == 1) {
                platform::OutputDebugStringA("CQHttpPushClient: part header cut short\r\n");
                m_msRecv.Remove(0, static_cast<uint32_t>(i));
                m_nScanPos = 0;
                continue;
            }
            if (i > limit) {
                Drop(i, "no end of its header block");
                continue;
            }
            m_nScanPos = i;  // only more bytes can tell
            return true;
        }
        // Inside a part.
        int found = 0;
        for (; (m_nPartLength < 0 || i < m_nPartLength) && i < length && i <= limit; ++i) {
            if ((found = MatchAt(s, length, i, marker, m)) != 0) break;
        }
        if (found == 1) {  // a marker before the announced length, or the end of a part without
            int count = i;
            if (count >= 2 && s[count - 2] == '\r' && s[count - 1] == '\n') count -= 2;
            if (m_nPartLength >= 0) platform::OutputDebugStringA("\r\n");  // ended early
            CheckContent(count);
            if (InsideHooks::Gone()) return false;
            m_msRecv.Remove(0, static_cast<uint32_t>(i));
            m_nParseState = ParseState_Header;
            m_nScanPos = 0;
            Consumed();
            continue;
        }
        if (found == 0 && m_nPartLength >= 0 && i >= m_nPartLength) {
            CheckContent(m_nPartLength);
            if (InsideHooks::Gone()) return false;
            m_msRecv.Remove(0, static_cast<uint32_t>(m_nPartLength));
            m_nParseState = ParseState_Seek;
            m_nScanPos = 0;
            Consumed();
            continue;
        }
        if (found == 0 && i > limit) {
            Drop(i, "no length and no boundary within the limit");
            continue;
        }
        m_nScanPos = i;
        return true;
    }
    return true;
}

uint32_t CQHttpPushClient::HexStringToUInt(const char* text) {
    uint32_t value = 0;
    for (const char* p = text; *p != '\0'; ++p) {
        const int digit = HexDigit(static_cast<unsigned char>(*p));
        if (digit < 0) BadHexCharacter(*p);
        value = value * 16 + static_cast<uint32_t>(digit);
    }
    return value;
}

bool CQHttpPushClient::StringRaw2Raw(const char* text, QIO::CQMemoryStream& stream) {
    const auto digit = [](char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        BadHexCharacter(c);  // lower case too: no upper-casing here
    };
    for (const char* p = text; *p != '\0'; p += 2) {
        unsigned char byte = static_cast<unsigned char>(digit(p[0]) * 16 + digit(p[1]));
        stream.WriteBytes(&byte, 1);
    }
    return true;
}

}  // namespace QNetwork::QProtocol::HTTP
