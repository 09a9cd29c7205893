// The HTTP client and memory stream that the stream source builds on.
//
// While the network and foundation layers are being written beside this folder, a minimal
// stand-in keeps the stream source compiling; it goes away as soon as the real headers exist.
#pragma once

#if __has_include("foundation/CQMemoryStream.h")
#include "foundation/CQMemoryStream.h"
#else
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace QIO {
// Stand-in: growable byte buffer with a read position, appended at the end.
class CQMemoryStream {
public:
    CQMemoryStream() = default;
    explicit CQMemoryStream(uint32_t capacity)
        : m_pBuffer(new unsigned char[capacity]()), m_nCapacity(capacity) {}
    long long GetPosition() const { return m_nPosition; }
    void SetPosition(long long pos) {
        m_nPosition = static_cast<uint32_t>(pos > m_nLength ? m_nLength : pos);
    }
    long long GetLength() const { return m_nLength; }
    uint32_t GetCapacity() const { return m_nCapacity; }
    int WriteBytes(unsigned char* data, int size) {
        if (size < 0) return 0;
        if (m_nPosition + static_cast<uint32_t>(size) > m_nCapacity) {
            const uint32_t cap = (2 * (m_nPosition + size)) / 4 * 4 + 4;
            std::unique_ptr<unsigned char[]> grown(new unsigned char[cap]());
            if (m_nPosition) std::memcpy(grown.get(), m_pBuffer.get(), m_nPosition);
            m_pBuffer = std::move(grown);
            m_nCapacity = cap;
        }
        if (size) std::memcpy(m_pBuffer.get() + m_nPosition, data, size);
        m_nPosition += size;
        if (m_nPosition > m_nLength) m_nLength = m_nPosition;
        return 0;
    }
    int ReadBytes(void* dst, int size) {
        const int n =
            m_nPosition + size > m_nLength ? static_cast<int>(m_nLength - m_nPosition) : size;
        if (n < 1) return n;
        std::memcpy(dst, m_pBuffer.get() + m_nPosition, n);
        m_nPosition += n;
        return n;
    }
    void Clear() {
        m_nPosition = m_nLength = 0;
        if (m_pBuffer) std::memset(m_pBuffer.get(), 0, m_nCapacity);
    }
    bool Remove(int offset, int count) {
        const uint32_t end = offset + count;
        if (end > m_nCapacity) return true;
        std::memmove(m_pBuffer.get() + offset, m_pBuffer.get() + end, m_nLength - end);
        std::memset(m_pBuffer.get() + m_nLength - count, 0, count);
        m_nLength -= count;
        if (m_nPosition > m_nLength) m_nPosition = m_nLength;
        return true;
    }
    unsigned char* ToUChar() { return m_pBuffer.get(); }

private:
    std::unique_ptr<unsigned char[]> m_pBuffer;
    uint32_t m_nCapacity = 0;
    uint32_t m_nPosition = 0;
    uint32_t m_nLength = 0;
};
}  // namespace QIO
#endif

#if __has_include("net/http/CQHttpClient.h")
#include "net/http/CQHttpClient.h"
#define VARNEL_SOURCE_REAL_CLIENT 1
#else
namespace QNetwork::QProtocol::HTTP {
// Stand-in: opens nothing; tests drive the hooks directly.
class CQHttpClient {
public:
    CQHttpClient() = default;
    virtual ~CQHttpClient() = default;
    CQHttpClient(const CQHttpClient&) = delete;
    CQHttpClient& operator=(const CQHttpClient&) = delete;
    virtual bool Close() { return true; }
    bool Open(const char*) { return true; }

protected:
    virtual bool RecvEnd() { return true; }
    virtual void CheckContent(unsigned char*, int) {}
};
}  // namespace QNetwork::QProtocol::HTTP
#define VARNEL_SOURCE_REAL_CLIENT 0
#endif
