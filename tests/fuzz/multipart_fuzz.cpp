// The push client's part parser over arbitrary bytes cut into arbitrary receives. Besides the
// absence of crashes it checks what a host relies on: no part count is negative or reaches past
// the bytes received, and the parts are the same however the stream is cut.
//
// Input: a byte choosing the boundary, a byte per cut (its size), a 0xFF byte, then the stream.
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
    std::vector<std::string> Run(const std::string& boundary, const uint8_t* data, size_t size,
                                 const std::vector<size_t>& cuts) {
        SetBoundary(boundary);
        parts.clear();
        size_t from = 0;
        for (size_t cut : cuts) {
            if (from >= size) break;
            const size_t n = std::min(cut, size - from);
            Parse(data + from, static_cast<int>(n));
            from += n;
        }
        if (from < size) Parse(data + from, static_cast<int>(size - from));
        return parts;
    }

protected:
    void CheckContent(int count) override {
        Check(count >= 0 && count <= m_msRecv.GetLength());
        parts.emplace_back(m_msRecv.ToChar(), static_cast<size_t>(count));
    }

private:
    std::vector<std::string> parts;
};

const char* const kBoundaries[] = {"abc", "--abc", "a-b", "ffmpeg", "", "-"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const std::string boundary = kBoundaries[data[0] % (sizeof kBoundaries / sizeof *kBoundaries)];
    size_t at = 1;
    std::vector<size_t> cuts;
    while (at < size && data[at] != 0xFF && cuts.size() < 64) cuts.push_back(data[at++] + 1);
    if (at < size) ++at;  // the 0xFF
    const uint8_t* stream = data + at;
    const size_t length = size - at;

    Parser whole, cut;
    const auto expected = whole.Run(boundary, stream, length, {});
    Check(cut.Run(boundary, stream, length, cuts) == expected);
    return 0;
}
