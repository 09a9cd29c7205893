#include "query.h"

#include <cctype>
#include <cstdlib>

#include "calendar.h"

namespace recorder {
namespace {

bool SameText(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

std::string Trim(const std::string& s) {
    size_t a = 0, b = s.size();
    while (a < b && (s[a] == ' ' || s[a] == '\t')) ++a;
    while (b > a && (s[b - 1] == ' ' || s[b - 1] == '\t' || s[b - 1] == '\r')) --b;
    return s.substr(a, b - a);
}

std::optional<int> Int(const std::string& s) {
    if (s.empty() || s.size() > 10) return std::nullopt;
    char* end = nullptr;
    const long v = std::strtol(s.c_str(), &end, 10);
    if (*end != '\0' || v < INT32_MIN || v > INT32_MAX) return std::nullopt;
    return static_cast<int>(v);
}

const std::string* Find(const std::map<std::string, std::string>& pairs, const char* name) {
    for (const auto& [k, v] : pairs)
        if (SameText(k, name)) return &v;
    return nullptr;
}

}  // namespace

std::optional<std::string> HttpRequest::Field(const std::string& name) const {
    for (const auto& [k, v] : fields)
        if (SameText(k, name)) return v;
    return std::nullopt;
}

std::optional<HttpRequest> ParseHead(const std::string& head) {
    HttpRequest r;
    size_t lineEnd = head.find("\r\n");
    const std::string first = head.substr(0, lineEnd);
    const size_t a = first.find(' ');
    const size_t b = first.rfind(' ');
    if (a == std::string::npos || b == a) return std::nullopt;
    r.method = first.substr(0, a);
    r.target = first.substr(a + 1, b - a - 1);
    r.version = first.substr(b + 1);
    if (r.version.rfind("HTTP/1.", 0) != 0 || r.target.empty()) return std::nullopt;
    while (lineEnd != std::string::npos) {
        const size_t start = lineEnd + 2;
        lineEnd = head.find("\r\n", start);
        const std::string line = head.substr(start, lineEnd - start);
        const size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        r.fields.emplace_back(line.substr(0, colon), Trim(line.substr(colon + 1)));
    }
    return r;
}

std::string PercentDecode(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() &&
            std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
            out += static_cast<char>(std::strtol(text.substr(i + 1, 2).c_str(), nullptr, 16));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::optional<PlaybackQuery> ParsePlayback(const std::string& target, int* status,
                                           std::string* reason) {
    const auto fail = [&](int code, std::string why) -> std::optional<PlaybackQuery> {
        *status = code;
        *reason = std::move(why);
        return std::nullopt;
    };
    const size_t mark = target.find('?');
    std::string path = PercentDecode(target.substr(0, mark));
    if (!path.empty() && path[0] == '/') path.erase(0, 1);
    static const char* const endpoints[] = {"PlayBack1", "PlayBack1_FOS", "PlayBack1_All",
                                            "PlayBack1_All_FOS"};
    PlaybackQuery q;
    for (const char* e : endpoints)
        if (SameText(path, std::string(e) + ".cgi")) q.endpoint = e;
    if (q.endpoint.empty()) return fail(404, "no such endpoint: " + path);
    q.fos = q.endpoint.find("FOS") != std::string::npos;
    const bool all = q.endpoint.find("_All") != std::string::npos;

    const std::string query =
        mark == std::string::npos ? "" : PercentDecode(target.substr(mark + 1));
    size_t start = 0;
    while (start <= query.size()) {
        size_t end = query.find_first_of(",&", start);
        if (end == std::string::npos) end = query.size();
        const std::string pair = query.substr(start, end - start);
        const size_t eq = pair.find('=');
        if (!pair.empty()) {
            if (eq == std::string::npos) return fail(400, "not a key=value pair: " + pair);
            q.pairs[Trim(pair.substr(0, eq))] = Trim(pair.substr(eq + 1));
        }
        start = end + 1;
    }

    const std::string* key = Find(q.pairs, "Key");
    if (key == nullptr) return fail(400, "no Key");
    size_t from = 0;
    while (from <= key->size()) {
        size_t dot = key->find('.', from);
        if (dot == std::string::npos) dot = key->size();
        const auto channel = Int(key->substr(from, dot - from));
        if (!channel) return fail(400, "bad Key: " + *key);
        q.channels.push_back(*channel);
        from = dot + 1;
    }
    if (!all && q.channels.size() != 1) return fail(400, "one Key expected: " + *key);
    for (const auto& [name, field] : {std::pair{"SubKey", &q.subKey}, std::pair{"FosID", &q.fosId},
                                      std::pair{"Resolution", &q.resolution}}) {
        if (const std::string* v = Find(q.pairs, name)) {
            const auto n = Int(*v);
            if (!n) return fail(400, std::string("bad ") + name + ": " + *v);
            *field = *n;
        }
    }
    const std::string* begin = Find(q.pairs, "BeginTime");
    const std::string* end = Find(q.pairs, "EndTime");
    if (begin == nullptr || end == nullptr) return fail(400, "BeginTime and EndTime are needed");
    const auto b = ParseTime(*begin);
    const auto e = ParseTime(*end);
    if (!b || !e) return fail(400, "bad time: " + *begin + " / " + *end);
    q.begin = *b;
    q.end = *e;
    const auto flag = [&](const char* name, const char* yes, bool def) {
        const std::string* v = Find(q.pairs, name);
        return v == nullptr ? def : SameText(*v, yes);
    };
    q.forward = flag("Orientation", "Forward", true);
    q.keyOnly = flag("IsOnlyKeyFrame", "True", false);
    q.noAudio = flag("NoAudio", "True", false);
    return q;
}

}  // namespace recorder
