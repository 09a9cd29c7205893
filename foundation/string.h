// Byte-string helpers for the HTTP request builder, response parser and URL parser.
#pragma once
#include <string>
#include <vector>

namespace QSystem {

class CQString {
public:
    // Appends the pieces of text to parts (parts is not cleared). At each step the separators
    // are tried in list order and the first one found anywhere ahead wins, not the nearest.
    // Empty separators are skipped: they would match without advancing.
    static void Split(const std::string& text, std::vector<std::string>& parts,
                      std::vector<std::string> separators);
    // Every occurrence of from, left to right without overlap, replaced by to.
    static std::string Replace(const std::string& text, const std::string& from,
                               const std::string& to);
    static std::string ToUpper(const std::string& text);
};

class CQStringBuilder {
public:
    void Append(const std::string& s) { m_strText += s; }
    void AppendLine(const std::string& s) {
        m_strText += s;
        m_strText += "\r\n";
    }
    const char* GetContent() const { return m_strText.c_str(); }
    void Clear() { m_strText.clear(); }

private:
    std::string m_strText;
};

}  // namespace QSystem
