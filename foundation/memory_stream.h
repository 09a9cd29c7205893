// A growable in-memory stream: received bytes are appended at the end and consumed bytes are
// removed from the front.
#pragma once
#include <cstdint>

#include "foundation/stream.h"

namespace QIO {

// Final: its destructor is not virtual (the interface's is protected), so a derived stream
// deleted through a CQMemoryStream pointer would not be destroyed whole.
class CQMemoryStream final : public IQStream {
public:
    CQMemoryStream() = default;
    explicit CQMemoryStream(uint32_t capacity);
    ~CQMemoryStream();
    CQMemoryStream(const CQMemoryStream&) = delete;
    CQMemoryStream& operator=(const CQMemoryStream&) = delete;

    // Heap objects owned by the caller.
    static CQMemoryStream* FromByte(uint32_t n);
    static CQMemoryStream* FromKB(uint32_t n);
    static CQMemoryStream* FromMB(uint32_t n);
    // The stream holds the whole file: length = file size, position 0 (capacity size + 1, so
    // the contents are also NUL-terminated). Null when the file cannot be read.
    static CQMemoryStream* FromDisk(const char* path);
    static CQMemoryStream* FromDisk(const wchar_t* path);

    long long GetPosition() const override { return m_uPosition; }
    void SetPosition(long long position) override;
    long long GetLength() const override { return m_uLength; }
    int ReadBytes(void* buffer, int count) override;
    // The largest capacity a stream grows to (just under 2 GiB).
    static constexpr uint32_t kMaxCapacity = 0x7FFFFFF0;

    // Always 0. A negative size, or a write that would take the stream past kMaxCapacity, is
    // traced and copies nothing.
    int WriteBytes(unsigned char* buffer, int count) override;
    bool Seek(long long, SeekOrigins) override { return true; }

    uint32_t GetCapacity() const { return m_BufSize; }
    bool Add(void*, int) { return true; }
    void Clear();
    void SetLength(uint32_t n);
    void Remove(uint32_t offset, uint32_t count);
    // Gives back the capacity beyond the length (a few bytes are kept, as growth keeps them).
    void ShrinkToFit();
    void CopyTo(unsigned char* destination, uint32_t maximum, int* count) const;
    bool ToDisk(const char* path) const;
    bool ToDisk(const char* path, uint32_t from, uint32_t to) const;
    bool Dump(const char* path) const;

    char* ToChar() const { return reinterpret_cast<char*>(m_pBuffer); }
    unsigned char* ToUChar() const { return m_pBuffer; }
    operator const unsigned char*() const { return m_pBuffer; }

protected:
    void Resize(uint32_t n);
    // Resize, then count bytes from data at the position.
    void Grow(uint32_t n, const unsigned char* data, int count);

private:
    unsigned char* m_pBuffer = nullptr;
    uint32_t m_BufSize = 0;
    uint32_t m_uPosition = 0;
    uint32_t m_uLength = 0;
};

}  // namespace QIO
