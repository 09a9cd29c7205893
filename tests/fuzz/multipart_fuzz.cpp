// The push client's part parser over arbitrary bytes cut into arbitrary receives: besides what
// the parser checks after every receive, the parts must be the same however the stream is cut.
// Input: a byte choosing the boundary and the part limit, a byte per cut (its size), a 0xFF
// byte, then the stream.
#include "tests/net/part_parser.h"

namespace {

const char* const kBoundaries[] = {"abc", "--abc", "a-b", "ffmpeg", "", "-"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const std::string boundary = kBoundaries[data[0] % (sizeof kBoundaries / sizeof *kBoundaries)];
    const int32_t limit = 16 << (data[0] / 6 % 8);  // 16 bytes to 2 KiB: inputs pass them
    size_t at = 1;
    std::vector<size_t> cuts;
    while (at < size && data[at] != 0xFF && cuts.size() < 64) cuts.push_back(data[at++] + 1);
    if (at < size) ++at;  // the 0xFF
    const std::string_view stream(reinterpret_cast<const char*>(data) + at, size - at);
    parttest::Parser whole, cut;
    parttest::Check(cut.Run(boundary, limit, stream, cuts) ==
                    whole.Run(boundary, limit, stream, {}));
    return 0;
}
