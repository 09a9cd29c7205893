#include "source/range_request.h"

#include <cstdio>

#include "source/CQMyFile.h"

namespace source {
namespace {

// The value of name in the query (after '?' or ','), as [first, last) offsets.
std::optional<std::pair<size_t, size_t>> ValueOf(const std::string& url, const std::string& name) {
    const size_t query = url.find('?');
    if (query == std::string::npos) return std::nullopt;
    for (size_t at = url.find(name + "=", query); at != std::string::npos;
         at = url.find(name + "=", at + 1)) {
        const char before = url[at - 1];
        if (before != '?' && before != ',' && before != '&') continue;
        const size_t first = at + name.size() + 1;
        const size_t last = url.find_first_of(",&", first);
        return std::pair{first, last == std::string::npos ? url.size() : last};
    }
    return std::nullopt;
}

std::optional<int64_t> FrameTimeOf(const std::string& text) {
    int y, mo, d, h, mi, s, ms = 0;
    const int n =
        std::sscanf(text.c_str(), "%4d/%2d/%2d %2d:%2d:%2d.%3d", &y, &mo, &d, &h, &mi, &s, &ms);
    if (n < 6) return std::nullopt;
    const platform::SYSTEMTIME st = CQMyFile::IndexTime(y, mo, d, h, mi, s, ms);
    platform::FILETIME ft = 0;
    if (!platform::SystemTimeToFileTime(&st, &ft)) return std::nullopt;
    return static_cast<int64_t>(ft);
}

void Replace(std::string& url, const std::string& name, const std::string& value) {
    if (const auto at = ValueOf(url, name)) url.replace(at->first, at->second - at->first, value);
}

}  // namespace

std::optional<Range> RangeOf(const std::string& url) {
    const auto b = ValueOf(url, "BeginTime");
    const auto e = ValueOf(url, "EndTime");
    if (!b || !e) return std::nullopt;
    const auto begin = FrameTimeOf(url.substr(b->first, b->second - b->first));
    const auto end = FrameTimeOf(url.substr(e->first, e->second - e->first));
    if (!begin || !end) return std::nullopt;
    return Range{*begin, *end};
}

std::string WithRange(std::string url, const std::string& begin, const std::string& end,
                      bool forward, bool keyOnly, bool noAudio) {
    Replace(url, "BeginTime", begin);
    Replace(url, "EndTime", end);
    Replace(url, "Orientation", forward ? "Forward" : "Rewind");
    Replace(url, "IsOnlyKeyFrame", keyOnly ? "True" : "False");
    Replace(url, "NoAudio", noAudio ? "True" : "False");
    return url;
}

}  // namespace source
