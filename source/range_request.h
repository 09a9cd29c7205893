// A recorder plays one range per request and ends the feed at its edge: to go on in another
// direction after that end, the same request is made again over the part of the range left.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace source {

// The frame times of the request's BeginTime and EndTime; none when the URL names no range
// (a host's own URL may carry anything).
struct Range {
    int64_t begin;
    int64_t end;
};
std::optional<Range> RangeOf(const std::string& url);

// url with its BeginTime, EndTime, Orientation, IsOnlyKeyFrame and NoAudio values replaced;
// every other part as it was. The times are "YYYY/MM/DD hh:mm:ss.mmm" texts.
std::string WithRange(std::string url, const std::string& begin, const std::string& end,
                      bool forward, bool keyOnly, bool noAudio);

}  // namespace source
