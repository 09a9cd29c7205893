#include "export/names.h"

#include <algorithm>
#include <cctype>

namespace exporter {

namespace {

// Where the extension starts: the last '.' of the file name proper, or the end when the file
// name has none (a leading dot names a hidden file, not an extension).
size_t ExtensionAt(const std::string& path) {
    const size_t slash = path.rfind('/');
    const size_t nameAt = slash == std::string::npos ? 0 : slash + 1;
    const size_t dot = path.rfind('.');
    return dot == std::string::npos || dot <= nameAt ? path.size() : dot;
}

}  // namespace

bool WantsMp4(const std::string& path) {
    std::string ext = path.substr(ExtensionAt(path));
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return ext == ".mp4";
}

std::string SegmentName(const std::string& path, int channel, int segment) {
    const size_t at = ExtensionAt(path);
    std::string name = path.substr(0, at);
    if (channel >= 0) name += "-ch" + std::to_string(channel);
    if (segment > 1) name += "-" + std::to_string(segment);
    return name + path.substr(at);
}

std::string PartName(const std::string& target) {
    return target + ".part";
}

}  // namespace exporter
