#include "foundation/string.h"

#include <cctype>

namespace QSystem {

void CQString::Split(const std::string& text, std::vector<std::string>& parts,
                     std::vector<std::string> separators) {
    size_t p = 0;
    for (;;) {
        size_t found = std::string::npos, length = 0;
        for (const std::string& s : separators) {
            if (s.empty()) continue;
            found = text.find(s, p);
            if (found != std::string::npos) {
                length = s.size();
                break;
            }
        }
        if (found == std::string::npos) {
            parts.push_back(text.substr(p));
            return;
        }
        parts.push_back(text.substr(p, found - p));
        p = found + length;
    }
}

std::string CQString::Replace(const std::string& text, const std::string& from,
                              const std::string& to) {
    if (from.empty() || text.empty()) return text;
    std::string out;
    out.reserve(text.size());
    size_t p = 0;
    for (size_t i; (i = text.find(from, p)) != std::string::npos; p = i + from.size()) {
        out.append(text, p, i - p);
        out += to;
    }
    out.append(text, p, std::string::npos);
    return out;
}

std::string CQString::ToUpper(const std::string& text) {
    std::string out(text);
    for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

}  // namespace QSystem
