#include "foundation/byte_array.h"

#include <cstring>
#include <memory>

namespace QSystem {

CQByteArray::~CQByteArray() {
    delete[] m_pData;
}

void CQByteArray::InternalResize(int n) {
    if (n <= m_nLength) return;
    auto grown = std::make_unique<unsigned char[]>(static_cast<size_t>(n));  // zero-filled
    if (m_nLength > 0) std::memcpy(grown.get(), m_pData, static_cast<size_t>(m_nLength));
    delete[] m_pData;
    m_pData = grown.release();
    m_nLength = n;
}

void CQByteArray::Clear(unsigned char value) {
    if (m_nLength > 0) std::memset(m_pData, value, static_cast<size_t>(m_nLength));
}

}  // namespace QSystem
