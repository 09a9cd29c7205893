// Reads the head of an HTTP response out of one receive buffer: status line, header fields,
// the body bytes that came with the head (when a "Content-Length" announces them) and the realm
// and nonce of a "WWW-Authenticate" challenge.
#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <string>

namespace QIO {
class CQMemoryStream;
}

namespace QNetwork::QProtocol::HTTP {

class CQHttpResponse {
public:
    // Sorted by name in ascending byte order; a repeated name keeps every value, in arrival
    // order.
    using HeaderTable = std::multimap<std::string, std::string>;

    struct contenttype {
        std::string type;
        std::string boundary;
        std::string charset;
    };

    CQHttpResponse();
    // The body must never be shared between two responses, and the library has no use for a
    // copy: copies are refused.
    CQHttpResponse(const CQHttpResponse&) = delete;
    CQHttpResponse& operator=(const CQHttpResponse&) = delete;
    virtual ~CQHttpResponse();

    // The offset of the first byte after the header block, or -1 when the block's end is not in
    // the count bytes at data. Never reads outside them. Header lines: the name is the text up
    // to the first ":" exactly as sent, the value follows the colon and the blanks after it; a
    // line without a colon is skipped. Code, reason, version, realm and nonce keep the values of
    // the last response that set them.
    int32_t Parse(const unsigned char* data, int32_t count);
    int32_t Parse(const char* data, int32_t count) {
        return Parse(reinterpret_cast<const unsigned char*>(data), count);
    }

    int32_t GetResponseCode() const { return m_nCode; }
    bool GetHeader(const char* name, int32_t& value) const;
    bool GetHeader(const char* name, std::string& value) const;
    // -1 without a "Content-Length" field.
    int32_t GetContentLength() const;
    void GetContentType(contenttype& record) const;
    void GetAuthenticate(std::string& realm, std::string& nonce) const;

    const std::string& GetReason() const { return m_strReason; }
    const std::string& GetVersion() const { return m_strVersion; }
    const HeaderTable& GetHeaderTable() const { return m_mapHeader; }
    QIO::CQMemoryStream& GetBody() { return *m_msBody; }

protected:
    void ParseHeader(const std::string& line);
    // Realm and nonce are captured as a 100-byte buffer would hold them: longer values are cut
    // at 99 characters.
    void ParseAuthenticate();

    std::unique_ptr<QIO::CQMemoryStream> m_msBody;
    HeaderTable m_mapHeader;
    int32_t m_nCode = 0;
    std::string m_strReason;
    std::string m_strVersion;
    std::string m_strNonce;
    std::string m_strRealm;
};

}  // namespace QNetwork::QProtocol::HTTP
