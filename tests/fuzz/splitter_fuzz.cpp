// The frame-record splitter fed arbitrary bytes, once in one piece and once in the pieces the
// input chooses. The receive thread gets the feed cut wherever the network cut it, so besides
// not crashing the splitter must yield the same records, payloads and feed state either way.
#include <cstdio>
#include <cstdlib>

#include "source/source_test_util.h"

using namespace srctest;

namespace {

struct Outcome {
    std::vector<Seen> records;
    PlayDataStates state;
    bool end;
    int parseState;
    long long unparsed;
    long long payloadHeld;
    bool operator==(const Outcome&) const = default;
};

// One folder for the whole run, removed at exit; every source deletes its files on Close.
const TempFolder& Folder() {
    static const TempFolder folder;
    return folder;
}

// Chunk sizes cycle through sizes[0..n), each byte giving 1 to 256 bytes.
Outcome Feed(const std::vector<uint8_t>& body, const uint8_t* sizes, size_t n) {
    TestSource src;
    src.SetSaveFolder(Folder().path.c_str());
    src.BeginFeed();
    for (size_t from = 0, i = 0; from < body.size(); ++i) {
        const size_t to = n == 0 ? body.size() : std::min(body.size(), from + sizes[i % n] + 1u);
        src.Feed(body, from, to);
        from = to;
    }
    Outcome out{Snapshot(src),    src.GetPlayDataState(), src.IsEnd(),
                src.ParseState(), src.Unparsed(),         src.PayloadHeld()};
    src.RecvEnd();  // the end of the connection finishes the last group
    out.end = out.end && src.IsEnd();
    src.Close();
    return out;
}

}  // namespace

// Input: one byte n (1 to 8 chunk sizes), n chunk-size bytes, then the feed itself.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const size_t n = std::min<size_t>(1 + data[0] % 8, size - 1);
    const std::vector<uint8_t> body(data + 1 + n, data + size);
    const Outcome whole = Feed(body, nullptr, 0);
    const Outcome cut = Feed(body, data + 1, n);
    if (!(whole == cut)) {
        std::fprintf(stderr, "records differ: %zu whole, %zu in chunks\n", whole.records.size(),
                     cut.records.size());
        std::abort();
    }
    return 0;
}
