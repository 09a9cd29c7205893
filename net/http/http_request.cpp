#include "net/http/http_request.h"

#include "foundation/base64.h"
#include "foundation/md5.h"
#include "foundation/string.h"

namespace QNetwork::QProtocol::HTTP {
namespace {

std::string EscapeBlanks(const std::string& text) {
    return QSystem::CQString::Replace(text, " ", "%20");
}

std::string Md5Hex(const std::string& text) {
    return Algorithm::Md5::MD5(text).toString();
}

}  // namespace

void CQHttpRequest::SetHeader(const char* target, const char* version, const char* method) {
    m_strVersion = version != nullptr ? version : "";
    m_strMethod = method != nullptr ? method : "";
    m_strTarget = EscapeBlanks(target != nullptr ? target : "");
}

void CQHttpRequest::SetContentLength(int64_t length) {
    m_mapHeader["Content-Length"] = std::to_string(length);
}

void CQHttpRequest::SetContentType(const std::string& type) {
    m_mapHeader["Content-Type"] = type;
}

bool CQHttpRequest::CreateAuthenticate() {
    if (m_strRealm.empty()) return true;
    const std::string& account = m_url.GetAccount();
    const std::string& password = m_url.GetPassword();
    std::string value;
    if (m_strNonce.empty()) {
        const std::string credentials = account + ":" + password;
        value = "Basic " + Base64Encode(reinterpret_cast<const unsigned char*>(credentials.data()),
                                        static_cast<unsigned>(credentials.size()));
    } else {
        const std::string& uri = m_url.GetSuffixAndQuery();  // raw blanks, as stored
        const std::string ha1 = Md5Hex(account + ":" + m_strRealm + ":" + password);
        const std::string ha2 = Md5Hex(m_strMethod + ":" + uri);
        const std::string response = Md5Hex(ha1 + ":" + m_strNonce + ":" + ha2);
        // Built as a growing string rather than in a fixed buffer: long nonces and targets are
        // sent whole instead of being cut.
        value = "Digest username=\"" + account + "\", realm=\"" + m_strRealm + "\", nonce=\"" +
                m_strNonce + "\", uri=\"" + uri + "\", response=\"" + response + "\"";
    }
    m_mapHeader["Authorization"] = value;
    return true;
}

void CQHttpRequest::Write(const std::string& target, std::string& output) const {
    QSystem::CQStringBuilder text;
    text.AppendLine(m_strMethod + " " + target + " " + m_strVersion);
    for (const auto& [name, value] : m_mapHeader) text.AppendLine(name + ": " + value);
    text.AppendLine("");
    output = text.GetContent();
}

bool CQHttpRequest::Build(const CQURL& url, std::string& output) {
    m_url = url;
    CreateAuthenticate();
    Write(EscapeBlanks(m_url.GetSuffixAndQuery()), output);
    return true;
}

bool CQHttpRequest::Build(std::string& output) {
    Write(m_strTarget, output);
    return true;
}

}  // namespace QNetwork::QProtocol::HTTP
