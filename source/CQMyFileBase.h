// The HTTP client and memory stream that the stream source builds on.
//
// While the HTTP client is being written beside this folder, a minimal stand-in keeps the
// stream source compiling; it goes away as soon as the client is in the tree.
#pragma once

#include "foundation/memory_stream.h"

#if __has_include("net/http/http_client.h")
#include "net/http/http_client.h"
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
