#include "foundation/memory_stream.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

#include "platform/files.h"
#include "platform/trace.h"
#include "platform/wintime.h"

namespace QIO {
namespace {

void TraceWithLocalTime(const char* what) {
    platform::SYSTEMTIME t{};
    platform::GetLocalTime(&t);
    platform::TraceF("%04d/%02d/%02d %02d:%02d:%02d.%03d %s\r\n", t.wYear, t.wMonth, t.wDay,
                     t.wHour, t.wMinute, t.wSecond, t.wMilliseconds, what);
}

bool WriteFile(const char* path, const unsigned char* data, size_t n) {
    FILE* f = std::fopen(path, "wb");
    if (f == nullptr) return false;
    const bool ok = n == 0 || std::fwrite(data, 1, n, f) == n;
    return std::fclose(f) == 0 && ok;
}

}  // namespace

CQMemoryStream::CQMemoryStream(uint32_t capacity)
    : m_pBuffer(capacity ? new unsigned char[capacity]() : nullptr), m_BufSize(capacity) {}

CQMemoryStream::~CQMemoryStream() {
    delete[] m_pBuffer;
}

CQMemoryStream* CQMemoryStream::FromByte(uint32_t n) {
    return new CQMemoryStream(n);
}
CQMemoryStream* CQMemoryStream::FromKB(uint32_t n) {
    return new CQMemoryStream(n * 1024);
}
CQMemoryStream* CQMemoryStream::FromMB(uint32_t n) {
    return new CQMemoryStream(n * 1048576);
}

CQMemoryStream* CQMemoryStream::FromDisk(const char* path) {
    FILE* f = path ? std::fopen(path, "rb") : nullptr;
    if (f == nullptr) return nullptr;
    std::fseek(f, 0, SEEK_END);
    const long size = std::ftell(f);
    std::fseek(f, 0, SEEK_SET);
    if (size < 0 || size >= 0xFFFFFFFFL) {
        std::fclose(f);
        return nullptr;
    }
    auto stream = std::make_unique<CQMemoryStream>(static_cast<uint32_t>(size) + 1);
    const size_t got = std::fread(stream->m_pBuffer, 1, static_cast<size_t>(size), f);
    std::fclose(f);
    stream->m_uLength = static_cast<uint32_t>(got);
    return stream.release();
}

CQMemoryStream* CQMemoryStream::FromDisk(const wchar_t* path) {
    return FromDisk(platform::WideToUtf8(path).c_str());
}

void CQMemoryStream::SetPosition(long long position) {
    if (position < 0) position = 0;
    m_uPosition = position > m_uLength ? m_uLength : static_cast<uint32_t>(position);
}

int CQMemoryStream::ReadBytes(void* buffer, int count) {
    const int64_t n = static_cast<int64_t>(m_uPosition) + count > m_uLength
                          ? static_cast<int64_t>(m_uLength) - m_uPosition
                          : count;
    if (n < 1) return static_cast<int>(n);
    std::memcpy(buffer, m_pBuffer + m_uPosition, static_cast<size_t>(n));
    m_uPosition += static_cast<uint32_t>(n);
    return static_cast<int>(n);
}

int CQMemoryStream::WriteBytes(unsigned char* buffer, int count) {
    if (count < 0) {
        TraceWithLocalTime("if(size < 0)");
        return 0;
    }
    const uint64_t end = static_cast<uint64_t>(m_uPosition) + static_cast<uint32_t>(count);
    if (end > kMaxCapacity) {
        // Positions, lengths and the capacity are 32-bit, and counts are ints: a stream past
        // this size could not describe itself, and its growth would wrap to a small buffer.
        TraceWithLocalTime("CQMemoryStream: write refused, the stream would pass 2 GiB");
        return 0;
    }
    if (end > m_BufSize) {
        Grow(static_cast<uint32_t>(std::min<uint64_t>(2 * end, kMaxCapacity)), buffer, count);
        TraceWithLocalTime("else if(size1 >= this->m_BufSize)");
    } else if (count > 0) {
        std::memmove(m_pBuffer + m_uPosition, buffer, static_cast<size_t>(count));
    }
    m_uPosition += static_cast<uint32_t>(count);
    if (m_uPosition > m_uLength) m_uLength = m_uPosition;
    return 0;
}

void CQMemoryStream::Grow(uint32_t n, const unsigned char* data, int count) {
    const uint32_t capacity = (n & ~3u) + 4;
    auto grown = std::make_unique<unsigned char[]>(capacity);  // zero-filled, more than the
                                                               // first 4 bytes asked for
    if (m_pBuffer != nullptr && m_uPosition > 0) std::memcpy(grown.get(), m_pBuffer, m_uPosition);
    // Copied before the old buffer goes: the bytes may be the stream's own.
    if (count > 0) std::memcpy(grown.get() + m_uPosition, data, static_cast<size_t>(count));
    delete[] m_pBuffer;
    m_pBuffer = grown.release();
    m_BufSize = capacity;
}

void CQMemoryStream::Resize(uint32_t n) {
    Grow(n, nullptr, 0);
}

void CQMemoryStream::ShrinkToFit() {
    // Grow copies the bytes before the position: all of them, for the moment.
    const uint32_t position = m_uPosition;
    m_uPosition = m_uLength;
    Grow(m_uLength, nullptr, 0);
    m_uPosition = position;
}

void CQMemoryStream::Clear() {
    m_uPosition = m_uLength = 0;
    if (m_pBuffer != nullptr) std::memset(m_pBuffer, 0, m_BufSize);
}

void CQMemoryStream::SetLength(uint32_t n) {
    // The stream never grows here: a length past the capacity would let reads run off the
    // buffer, so it stops at the capacity.
    m_uLength = n > m_BufSize ? m_BufSize : n;
    if (m_uPosition > n) m_uPosition = n;
    if (m_uLength == 0 && m_uPosition == 0 && m_pBuffer != nullptr)
        std::memset(m_pBuffer, 0, m_BufSize);
}

void CQMemoryStream::Remove(uint32_t offset, uint32_t count) {
    if (m_pBuffer == nullptr) return;
    if (static_cast<uint64_t>(offset) + count > m_BufSize) {
        if (offset < m_BufSize) std::memset(m_pBuffer + offset, 0, m_BufSize - offset);
        return;
    }
    // Removing more than the data holds keeps nothing of it (the tail count is bounded by the
    // length, so the zeroing never starts before the buffer).
    const uint32_t end = offset + count;
    const uint32_t tail = m_uLength > end ? m_uLength - end : 0;
    if (tail > 0) std::memmove(m_pBuffer + offset, m_pBuffer + end, tail);
    const uint32_t removed =
        m_uLength > offset ? (m_uLength - offset < count ? m_uLength - offset : count) : 0;
    std::memset(m_pBuffer + m_uLength - removed, 0, removed);
    m_uLength -= removed;
    if (m_uPosition > m_uLength) m_uPosition = m_uLength;
}

void CQMemoryStream::CopyTo(unsigned char* destination, uint32_t maximum, int* count) const {
    const uint32_t n = m_BufSize < maximum ? m_BufSize : maximum;
    if (n > 0) std::memcpy(destination, m_pBuffer, n);
    if (count != nullptr) *count = static_cast<int>(n);
}

bool CQMemoryStream::ToDisk(const char* path) const {
    return WriteFile(path, m_pBuffer, m_uLength);
}

bool CQMemoryStream::ToDisk(const char* path, uint32_t from, uint32_t to) const {
    if (to > m_BufSize) to = m_BufSize;
    if (from > to) from = to;
    return WriteFile(path, m_pBuffer + from, to - from);
}

bool CQMemoryStream::Dump(const char* path) const {
    return WriteFile(path, m_pBuffer, m_BufSize);
}

}  // namespace QIO
