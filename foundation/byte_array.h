// A growable, never-shrinking array of bytes.
#pragma once

namespace QSystem {

class CQByteArray {
public:
    CQByteArray() = default;
    explicit CQByteArray(int n) { InternalResize(n); }
    ~CQByteArray();
    CQByteArray(const CQByteArray&) = delete;
    CQByteArray& operator=(const CQByteArray&) = delete;

    // Grows to n bytes keeping the old ones in front; new bytes are zero. Never shrinks.
    void InternalResize(int n);
    void operator()(int n) { InternalResize(n); }
    void SetLength(int n) { InternalResize(n); }
    void Clear(unsigned char value);
    int GetLength() const { return m_nLength; }
    operator unsigned char*() const { return m_pData; }

private:
    int m_nLength = 0;
    unsigned char* m_pData = nullptr;
};

}  // namespace QSystem
