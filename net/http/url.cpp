#include "net/http/url.h"

#include <limits>

#include "foundation/string.h"

namespace QNetwork::QProtocol {
namespace {

size_t AfterScheme(const std::string& text) {
    const size_t schemeEnd = text.find("://");
    return schemeEnd == std::string::npos ? 0 : schemeEnd + 3;
}

// The ":" that ends the account and the "@" that ends the password, searched from the start
// of the credentials; false when the text holds no password. One rule for reading and for
// hiding, so that what is hidden is what is sent.
bool FindPassword(const std::string& text, size_t from, size_t& colon, size_t& at) {
    colon = text.find(':', from);
    if (colon == std::string::npos) return false;
    at = text.find('@', colon + 1);
    return at != std::string::npos;
}

}  // namespace

std::string HidePassword(const std::string& url) {
    size_t colon = 0;
    size_t at = 0;
    if (!FindPassword(url, AfterScheme(url), colon, at)) return url;
    return url.substr(0, colon + 1) + "***" + url.substr(at);
}

int32_t ReadLeadingNumber(const std::string& text) {
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    int64_t value = 0;
    const int64_t limit = negative ? -int64_t{std::numeric_limits<int32_t>::min()}
                                   : int64_t{std::numeric_limits<int32_t>::max()};
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > limit) value = limit;  // stays clamped however many digits follow
    }
    return static_cast<int32_t>(negative ? -value : value);
}

void CQURL::Clear() {
    m_strScheme.clear();
    m_strAccount.clear();
    m_strPassword.clear();
    m_strHost.clear();
    m_nPort = -1;
    m_strPath.clear();
    m_strQuery.clear();
    m_strSuffixAndQuery.clear();
}

bool CQURL::Parse(const char* url) {
    Clear();
    const std::string text = url != nullptr ? url : "";
    size_t p = AfterScheme(text);
    if (p > 0) m_strScheme = text.substr(0, p - 3);

    size_t colon = 0;
    size_t at = 0;
    if (FindPassword(text, p, colon, at)) {
        m_strAccount = text.substr(p, colon - p);
        m_strPassword = text.substr(colon + 1, at - colon - 1);
        p = at + 1;
    }

    const size_t slash = text.find('/', p);
    const std::string hostPart =
        text.substr(p, slash == std::string::npos ? std::string::npos : slash - p);
    const size_t portColon = hostPart.find(':');
    if (portColon == std::string::npos) {
        m_strHost = hostPart;
    } else {
        m_strHost = hostPart.substr(0, portColon);
        const std::string portText = hostPart.substr(portColon + 1);
        if (!portText.empty()) m_nPort = ReadLeadingNumber(portText);
    }

    if (slash != std::string::npos) {
        m_strSuffixAndQuery = text.substr(slash);
        const size_t question = m_strSuffixAndQuery.find('?');
        if (question == std::string::npos) {
            m_strPath = m_strSuffixAndQuery;
        } else {
            m_strPath = m_strSuffixAndQuery.substr(0, question);
            m_strQuery = m_strSuffixAndQuery.substr(question + 1);
        }
    }

    if (m_nPort == -1) {
        const std::string scheme = QSystem::CQString::ToUpper(m_strScheme);
        if (scheme == "RTSP")
            m_nPort = 554;
        else if (scheme == "HTTP")
            m_nPort = 80;
    }
    return true;
}

}  // namespace QNetwork::QProtocol
