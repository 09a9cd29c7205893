#include "foundation/binary_reader.h"

#include <algorithm>
#include <cstring>

namespace QIO {

CQBinaryReader::CQBinaryReader() : m_pReadBuf(std::make_shared<QSystem::CQByteArray>(8)) {}

bool CQBinaryReader::Open(std::shared_ptr<IQStream> stream) {
    m_pStream = std::move(stream);
    return true;
}

uint64_t CQBinaryReader::ReadLittleEndian(int n) {
    CheckReadBuf(n);
    unsigned char* bytes = *m_pReadBuf;
    std::memset(bytes, 0, static_cast<size_t>(n));  // a short read yields zeros, not stale bytes
    if (m_pStream) m_pStream->ReadBytes(bytes, n);
    if (m_bReverse) Reverse(bytes, n);
    uint64_t value = 0;
    for (int i = n - 1; i >= 0; --i) value = value << 8 | bytes[i];
    return value;
}

uint8_t CQBinaryReader::ReadByte() {
    return static_cast<uint8_t>(ReadLittleEndian(1));
}
uint16_t CQBinaryReader::ReadUShort() {
    return static_cast<uint16_t>(ReadLittleEndian(2));
}
uint32_t CQBinaryReader::ReadUInt() {
    return static_cast<uint32_t>(ReadLittleEndian(4));
}
uint64_t CQBinaryReader::ReadUint48() {
    return ReadLittleEndian(6);
}
uint64_t CQBinaryReader::ReadUint64() {
    return ReadLittleEndian(8);
}

int CQBinaryReader::ReadBytes(void* destination, int n) {
    return m_pStream ? m_pStream->ReadBytes(destination, n) : 0;
}

std::shared_ptr<QSystem::CQByteArray> CQBinaryReader::ReadBytes(int n) {
    CheckReadBuf(n);
    if (m_pStream && n > 0) m_pStream->ReadBytes(static_cast<unsigned char*>(*m_pReadBuf), n);
    return m_pReadBuf;
}

const unsigned char* CQBinaryReader::ReaderString(int n) {
    CheckReadBuf(n);
    m_pReadBuf->Clear(0);
    if (m_pStream && n > 0) m_pStream->ReadBytes(static_cast<unsigned char*>(*m_pReadBuf), n);
    return *m_pReadBuf;
}

void CQBinaryReader::Reverse(unsigned char* p, int n) {
    if (p != nullptr && n > 1) std::reverse(p, p + n);
}

}  // namespace QIO
