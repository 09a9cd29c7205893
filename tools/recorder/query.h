// The playback request: request line, head fields and the query of the four endpoints.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace recorder {

struct HttpRequest {
    std::string method, target, version;
    std::vector<std::pair<std::string, std::string>> fields;  // in arrival order
    // The value of the first field of that name (case-insensitive), or nullopt.
    std::optional<std::string> Field(const std::string& name) const;
};

// Parses the head up to (not including) the empty line; nullopt when it is no HTTP request.
std::optional<HttpRequest> ParseHead(const std::string& head);

// %XX escapes decoded ('+' is kept: the recorder's queries never use it for a blank).
std::string PercentDecode(const std::string& text);

struct PlaybackQuery {
    std::string endpoint;       // "PlayBack1", "PlayBack1_FOS", "PlayBack1_All", ...
    bool fos = false;           // a FOS endpoint
    std::vector<int> channels;  // Key, or the dotted channel list of the "_All" endpoints
    int subKey = 0, fosId = 0, resolution = 0;
    int64_t begin = 0, end = 0;  // recorder time
    bool forward = true, keyOnly = false, noAudio = false;
    std::map<std::string, std::string> pairs;  // everything as received, decoded
};

// Target "/PlayBack1.cgi?Key=1,...": kind of failure in *status (400 or 404) and a reason.
std::optional<PlaybackQuery> ParsePlayback(const std::string& target, int* status,
                                           std::string* reason);

}  // namespace recorder
