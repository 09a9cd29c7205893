// The response head and challenge parser over arbitrary bytes, in a block of exactly their
// size so that the sanitizers catch a read past it; then once more on the same object, as a
// client parses every answer of its connection with one response.
#include <cstdlib>
#include <cstring>
#include <memory>

#include "foundation/memory_stream.h"
#include "net/http/http_response.h"

using QNetwork::QProtocol::HTTP::CQHttpResponse;

namespace {

void Check(bool held) {
    if (!held) std::abort();
}

void ParseOnce(CQHttpResponse& r, const uint8_t* data, size_t size) {
    auto exact = std::make_unique<unsigned char[]>(size);
    if (size > 0) std::memcpy(exact.get(), data, size);
    const int32_t count = static_cast<int32_t>(size);
    const int32_t h = r.Parse(exact.get(), count);
    Check(h == -1 || (h >= 4 && h <= count));
    Check(r.GetBody().GetLength() <= (h < 0 ? 0 : count - h));
    Check(r.GetBody().GetLength() <= std::max(r.GetContentLength(), 0));
    CQHttpResponse::contenttype type;
    r.GetContentType(type);
    std::string realm, nonce;
    r.GetAuthenticate(realm, nonce);
    Check(realm.size() <= 99 && nonce.size() <= 99);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CQHttpResponse r;
    ParseOnce(r, data, size);
    ParseOnce(r, data + size / 2, size - size / 2);
    return 0;
}
