// URL parsing over arbitrary text (NUL-terminated, as the parser reads it), with the relations
// between the parts that the clients rely on.
#include <cstdlib>
#include <string>

#include "net/http/url.h"

using QNetwork::QProtocol::CQURL;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    CQURL u;
    u.Parse(text.c_str());
    const std::string& sq = u.GetSuffixAndQuery();
    if (sq != u.GetPath() && sq != u.GetPath() + "?" + u.GetQuery()) std::abort();
    // Every part is text of the input (up to its first NUL), never more.
    const size_t n = std::string(text.c_str()).size();
    if (u.GetScheme().size() + u.GetAccount().size() + u.GetPassword().size() +
            std::string(u.GetIP()).size() + sq.size() >
        n) {
        std::abort();
    }
    QNetwork::QProtocol::ReadLeadingNumber(text);
    return 0;
}
