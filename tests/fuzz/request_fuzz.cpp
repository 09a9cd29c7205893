// Request building from a hostile challenge (realm and nonce as a server may send them) and
// hostile URL parts, Basic and Digest, with the shape of the text the server must receive.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <string>

#include "foundation/base64.h"
#include "net/http/http_request.h"

using QNetwork::QProtocol::CQURL;
using QNetwork::QProtocol::HTTP::CQHttpRequest;

namespace {

void Check(bool held) {
    if (!held) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    CQHttpRequest req;
    // The clients copy realm and nonce from the challenge parser's captures, which end at the
    // first NUL as every other text part here does.
    req.GetRealm() = in.ConsumeRandomLengthString(200).c_str();
    req.GetNonce() = in.ConsumeRandomLengthString(200).c_str();
    const std::string method = in.ConsumeRandomLengthString(16);
    const std::string version = in.ConsumeRandomLengthString(16);
    req.SetHeader("", version.c_str(), method.c_str());
    CQURL url;
    url.Parse(in.ConsumeRemainingBytesAsString().c_str());

    std::string text, again;
    req.Build(url, text);
    req.Build(url, again);
    Check(text == again);  // one Authorization line, replaced and not added to
    Check(text.starts_with(std::string(method.c_str()) + " "));
    Check(text.ends_with("\r\n\r\n"));

    const auto& table = req.GetHeaderTable();
    const auto auth = table.find("Authorization");
    Check((auth != table.end()) == !req.GetRealm().empty());
    if (auth == table.end()) return 0;
    const std::string& value = auth->second;
    if (req.GetNonce().empty()) {
        Check(value.starts_with("Basic "));
        Check(Base64Decode(value.substr(6)) == url.GetAccount() + ":" + url.GetPassword());
    } else {
        Check(value.starts_with("Digest username=\""));
        const size_t at = value.rfind("response=\"");
        Check(at != std::string::npos && value.size() == at + 10 + 32 + 1);
        Check(value.find_first_not_of("0123456789abcdef", at + 10) == value.size() - 1);
    }
    return 0;
}
