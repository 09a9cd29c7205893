#include "net/socket_async_event_args.h"

#include <cstring>

namespace QNetwork {

CQSocketAsyncEventArgs::CQSocketAsyncEventArgs()
    : m_BytesTransferred(0),
      m_Buffer{0, nullptr},
      m_Flags(0),
      m_Overlapped{},
      m_Owner(this),
      m_Error(0) {}

CQSocketAsyncEventArgs::~CQSocketAsyncEventArgs() {
    platform::WithdrawCompletions(&m_Overlapped);
}

void CQSocketAsyncEventArgs::ClearAll() {
    platform::WithdrawCompletions(&m_Overlapped);
    CQSocketAsyncEventHandler::ClearAll();
}

void CQSocketAsyncEventArgs::SetBuffer(void* buffer, int length) {
    m_Buffer.buf = static_cast<char*>(buffer);
    m_Buffer.len = length < 0 ? 0 : static_cast<uint32_t>(length);
}

CQSocketAsyncEventArgs* CQSocketAsyncEventArgs::FromOverlapped(platform::OVERLAPPED* overlapped) {
    CQSocketAsyncEventArgs* owner;
    std::memcpy(&owner, reinterpret_cast<char*>(overlapped) + sizeof(platform::OVERLAPPED),
                sizeof owner);
    return owner;
}

}  // namespace QNetwork
