// The text of one HTTP/1.1 request (request line, header table, empty line) and the
// authorization state of a connection: the realm and nonce of the server's last challenge,
// turned into a Basic or Digest (RFC 2069, without qop) "Authorization" field on every build
// from a URL.
#pragma once
#include <cstdint>
#include <map>
#include <string>

#include "net/http/url.h"

namespace QNetwork::QProtocol::HTTP {

class CQHttpRequest {
public:
    // Names are unique, matched exactly and written in ascending byte order.
    using HeaderTable = std::map<std::string, std::string>;

    CQHttpRequest() = default;
    CQHttpRequest(const CQHttpRequest&) = default;
    CQHttpRequest& operator=(const CQHttpRequest&) = default;
    virtual ~CQHttpRequest() = default;

    std::string& GetNonce() { return m_strNonce; }
    std::string& GetRealm() { return m_strRealm; }

    // Sets the request line (not a header field): blanks of the target are written as "%20".
    void SetHeader(const char* target, const char* version, const char* method);
    void SetContentLength(int64_t length);
    void SetContentType(const std::string& type);

    // The header table itself. No field is added on its own (not even "Host"): a caller whose
    // server wants more fields puts them here, and every later build writes them.
    HeaderTable& GetHeaderTable() { return m_mapHeader; }

    // Copies the URL, refreshes the authorization and replaces output with the request text.
    bool Build(const CQURL& url, std::string& output);
    // The request text from method, target, version and the table as they stand.
    bool Build(std::string& output);

protected:
    bool CreateAuthenticate();
    void Write(const std::string& target, std::string& output) const;

    HeaderTable m_mapHeader;
    std::string m_strMethod = "GET";
    std::string m_strVersion = "HTTP/1.1";
    std::string m_strNonce;
    std::string m_strRealm;
    CQURL m_url;
    std::string m_strTarget;
};

}  // namespace QNetwork::QProtocol::HTTP
