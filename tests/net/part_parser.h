// The push client's part parser on byte buffers, without a connection, for the parse test and
// the multipart fuzz harness. After every receive it checks what a host relies on, and aborts
// when that fails (a crash both report): no part count is negative or reaches past the bytes
// received, and the parser holds no more than the part limit and a marker or header end.
#pragma once
#include <algorithm>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "net/http/http_push_client.h"

namespace parttest {

inline void Check(bool held) {
    if (!held) std::abort();
}

class Parser : public QNetwork::QProtocol::HTTP::CQHttpPushClient {
public:
    using CQHttpPushClient::HexStringToUInt;
    using CQHttpPushClient::StringRaw2Raw;

    // The parts of the stream fed in pieces of the given sizes, then the rest in one.
    std::vector<std::string> Run(const std::string& boundary, int32_t limit,
                                 std::string_view stream, const std::vector<size_t>& pieces) {
        SetBoundary(boundary);
        SetMaxPartBytes(limit);
        const long long held = limit + std::max<long long>(m_msBoundary.GetLength(), 4);
        parts.clear();
        for (size_t from = 0, i = 0, n; from < stream.size(); from += n, ++i) {
            n = std::min(i < pieces.size() ? pieces[i] : stream.size(), stream.size() - from);
            Parse(reinterpret_cast<const unsigned char*>(stream.data()) + from, int(n));
            Check(m_msRecv.GetLength() <= held);
            Check(m_msRecv.GetCapacity() <= 2u * (held + 65536) + 8);  // and a header's state
        }
        return parts;
    }
    std::vector<std::string> parts;

protected:
    void CheckContent(int count) override {
        Check(count >= 0 && count <= m_msRecv.GetLength());
        parts.emplace_back(m_msRecv.ToChar(), size_t(count));
    }
};

}  // namespace parttest
