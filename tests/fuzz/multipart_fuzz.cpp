// The push client's part parser over arbitrary bytes cut into arbitrary receives. It checks what
// a host relies on: no part count is negative or reaches past the bytes received, the parts are
// the same however the stream is cut, and the parser never holds more than the part limit and a
// marker (or a header's end). Input: a byte choosing the boundary and the part limit, a byte per
// cut (its size), a 0xFF byte, then the stream.
#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "net/http/http_push_client.h"

namespace {

void Check(bool held) {
    if (!held) std::abort();
}

class Parser : public QNetwork::QProtocol::HTTP::CQHttpPushClient {
public:
    std::vector<std::string> Run(const std::string& boundary, int32_t limit, const uint8_t* data,
                                 size_t size, const std::vector<size_t>& cuts) {
        SetBoundary(boundary);
        SetMaxPartBytes(limit);
        const long long held = limit + std::max<long long>(m_msBoundary.GetLength(), 4);
        parts.clear();
        size_t from = 0;
        for (size_t i = 0; from < size; ++i) {
            const size_t n = i < cuts.size() ? std::min(cuts[i], size - from) : size - from;
            Parse(data + from, static_cast<int>(n));
            Check(m_msRecv.GetLength() <= held);
            from += n;
        }
        return parts;
    }
    std::vector<std::string> parts;

protected:
    void CheckContent(int count) override {
        Check(count >= 0 && count <= m_msRecv.GetLength());
        parts.emplace_back(m_msRecv.ToChar(), static_cast<size_t>(count));
    }
};

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
    Parser whole, cut;
    const auto expected = whole.Run(boundary, limit, data + at, size - at, {});
    Check(cut.Run(boundary, limit, data + at, size - at, cuts) == expected);
    return 0;
}
