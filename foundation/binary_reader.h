// Reads fixed-width little-endian integers (or byte-reversed ones) from any stream.
#pragma once
#include <cstdint>
#include <memory>

#include "foundation/byte_array.h"
#include "foundation/stream.h"

namespace QIO {

class CQBinaryReader {
public:
    CQBinaryReader();
    virtual ~CQBinaryReader() = default;

    bool Open(std::shared_ptr<IQStream> stream);
    std::shared_ptr<IQStream> Stream() const { return m_pStream; }
    bool Close() { return true; }
    void SetReverse(bool reverse) { m_bReverse = reverse; }

    uint8_t ReadByte();
    uint16_t ReadUShort();
    uint32_t ReadUInt();
    uint64_t ReadUint48();
    uint64_t ReadUint64();
    int ReadBytes(void* destination, int n);
    // The shared read buffer itself: the next read overwrites it.
    std::shared_ptr<QSystem::CQByteArray> ReadBytes(int n);
    const unsigned char* ReaderString(int n);
    static void Reverse(unsigned char* p, int n);

protected:
    void CheckReadBuf(int n) { m_pReadBuf->InternalResize(n); }

private:
    uint64_t ReadLittleEndian(int n);

    std::shared_ptr<IQStream> m_pStream;
    bool m_bReverse = false;
    std::shared_ptr<QSystem::CQByteArray> m_pReadBuf;
};

}  // namespace QIO
