#include "net/http/http_response.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "foundation/memory_stream.h"
#include "foundation/string.h"
#include "net/http/url.h"

namespace QNetwork::QProtocol::HTTP {
namespace {

constexpr size_t kCaptureLimit = 99;  // a 100-byte capture buffer and its NUL

bool IsSpace(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// Matches a value the way sscanf matches a format: a blank in the pattern matches any run of
// white space (none included), '%' captures one or more characters up to the next double quote
// (like %[^"]), every other character must match exactly. The value ends at its first NUL, as
// it would for sscanf. Returns the number of captures made before the first mismatch.
int Scan(const std::string& value, const char* pattern, std::string* const* captures) {
    const char* v = value.c_str();
    int made = 0;
    for (const char* p = pattern; *p != 0; ++p) {
        if (*p == ' ') {
            while (IsSpace(*v)) ++v;
        } else if (*p == '%') {
            const char* start = v;
            while (*v != 0 && *v != '"') ++v;
            if (v == start) return made;
            captures[made++]->assign(start, std::min<size_t>(v - start, kCaptureLimit));
        } else {
            if (*v != *p) return made;
            ++v;
        }
    }
    return made;
}

}  // namespace

CQHttpResponse::CQHttpResponse() : m_msBody(std::make_unique<QIO::CQMemoryStream>()) {}

CQHttpResponse::~CQHttpResponse() = default;

int32_t CQHttpResponse::Parse(const unsigned char* data, int32_t count) {
    int32_t result = -1;
    m_msBody->Clear();
    m_mapHeader.clear();
    int32_t end = -1;
    if (data != nullptr && count >= 4) {
        for (int32_t i = 0; i <= count - 4; ++i) {
            if (std::memcmp(data + i, "\r\n\r\n", 4) == 0) {
                end = i;
                break;
            }
        }
    }
    if (end >= 0) {
        const std::string block(reinterpret_cast<const char*>(data), static_cast<size_t>(end));
        size_t lineEnd = block.find("\r\n");
        ParseHeader(block.substr(0, lineEnd));
        while (lineEnd != std::string::npos) {
            const size_t start = lineEnd + 2;
            lineEnd = block.find("\r\n", start);
            const std::string line = block.substr(
                start, lineEnd == std::string::npos ? std::string::npos : lineEnd - start);
            const size_t colon = line.find(':');
            if (colon == std::string::npos) continue;
            size_t v = colon + 1;
            while (v < line.size() && (line[v] == ' ' || line[v] == '\t')) ++v;
            m_mapHeader.emplace(line.substr(0, colon), line.substr(v));
        }
        result = end + 4;
        if (result < count) {
            const int32_t n = GetContentLength();
            if (n >= 1) {
                const int32_t take = std::min(n, count - result);
                m_msBody->WriteBytes(const_cast<unsigned char*>(data + result), take);
            }
        }
    }
    ParseAuthenticate();
    return result;
}

void CQHttpResponse::ParseHeader(const std::string& line) {
    const size_t first = line.find(' ');
    if (first == std::string::npos) return;
    const size_t second = line.find(' ', first + 1);
    if (second == std::string::npos) return;
    m_strReason = line.substr(second + 1);
    m_strVersion = line.substr(0, first);
    m_nCode = ReadLeadingNumber(line.substr(first + 1, second - first - 1));
}

void CQHttpResponse::ParseAuthenticate() {
    std::string realm, nonce;
    std::string* const captures[] = {&realm, &nonce};
    const auto range = m_mapHeader.equal_range("WWW-Authenticate");
    for (auto it = range.first; it != range.second; ++it) {
        if (Scan(it->second, "Basic realm=\"%", captures) == 1) {
            m_strRealm = realm;
        } else if (Scan(it->second, "Digest realm=\"%\", nonce=\"%", captures) == 2) {
            m_strRealm = realm;
            m_strNonce = nonce;
        }
    }
}

bool CQHttpResponse::GetHeader(const char* name, int32_t& value) const {
    std::string text;
    if (!GetHeader(name, text)) return false;
    value = ReadLeadingNumber(text);
    return true;
}

bool CQHttpResponse::GetHeader(const char* name, std::string& value) const {
    const std::string key = name != nullptr ? name : "";
    const auto it = m_mapHeader.lower_bound(key);  // the first of equal names
    if (it == m_mapHeader.end() || it->first != key) return false;
    value = it->second;
    return true;
}

int32_t CQHttpResponse::GetContentLength() const {
    int32_t n = -1;
    GetHeader("Content-Length", n);
    return n;
}

void CQHttpResponse::GetContentType(contenttype& record) const {
    std::string value;
    if (!GetHeader("Content-Type", value)) return;
    std::vector<std::string> pieces;
    QSystem::CQString::Split(value, pieces, {" ; ", "; ", " ;", ";"});
    record.type = pieces.empty() ? std::string() : pieces[0];
    for (size_t i = 1; i < pieces.size(); ++i) {
        std::vector<std::string> pair;
        QSystem::CQString::Split(pieces[i], pair, {" = ", " =", "= ", "="});
        if (pair.size() != 2) continue;
        if (pair[0] == "charset")
            record.charset = pair[1];
        else if (pair[0] == "boundary")
            record.boundary = QSystem::CQString::Replace(pair[1], "\"", "");
    }
}

void CQHttpResponse::GetAuthenticate(std::string& realm, std::string& nonce) const {
    if (&realm != &m_strRealm) realm = m_strRealm;
    if (&nonce != &m_strNonce) nonce = m_strNonce;
}

}  // namespace QNetwork::QProtocol::HTTP
