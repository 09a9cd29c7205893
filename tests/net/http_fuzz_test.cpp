// Random and mutated inputs for the parsers. Every input lies in a heap block of exactly its
// size, so that the sanitizer build catches any read outside it.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "foundation/memory_stream.h"
#include "net/http/http_response.h"
#include "net/http/url.h"

using QNetwork::QProtocol::CQURL;
using QNetwork::QProtocol::HTTP::CQHttpResponse;

namespace {

const char* const kPieces[] = {"\r\n",
                               "\r\n\r\n",
                               ":",
                               " ",
                               "\"",
                               ";",
                               "=",
                               "@",
                               "/",
                               "?",
                               "://",
                               "Content-Length: ",
                               "Content-Type: ",
                               "WWW-Authenticate: ",
                               "Digest realm=\"",
                               "\", nonce=\"",
                               "Basic realm=\"",
                               "boundary=",
                               "charset=",
                               "HTTP/1.1 401 X",
                               "99999999999999999999",
                               "-"};

const std::string kSeeds[] = {
    "HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Digest realm=\"r\", nonce=\"n\"\r\n"
    "Content-Length: 4\r\nContent-Type: text/html; charset=utf-8\r\n\r\nbody",
    "HTTP/1.1 200 OK\r\nContent-Type: multipart/x-mixed-replace;boundary=\"--b\"\r\n\r\n",
    "http://admin:pw@192.168.1.10:8080/PlayBack1.cgi?a=b c",
    "rtsp://h:/x?y",
};

class Mutator {
public:
    explicit Mutator(uint32_t seed) : rng_(seed) {}

    std::string Next() {
        std::string s;
        if (Pick(4) == 0) {  // purely random bytes
            s.resize(Pick(96));
            for (char& c : s) c = static_cast<char>(Pick(256));
            return s;
        }
        s = kSeeds[Pick(std::size(kSeeds))];
        for (size_t edits = 1 + Pick(6); edits > 0; --edits) {
            const size_t at = s.empty() ? 0 : Pick(s.size() + 1);
            switch (Pick(4)) {
                case 0:
                    s.insert(at, kPieces[Pick(std::size(kPieces))]);
                    break;
                case 1:
                    if (at < s.size()) s[at] = static_cast<char>(Pick(256));
                    break;
                case 2:
                    s.erase(at, Pick(8));
                    break;
                default:
                    s.resize(at);
                    break;
            }
        }
        if (s.size() > 400) s.resize(400);
        return s;
    }

private:
    size_t Pick(size_t n) {
        return n == 0 ? 0 : std::uniform_int_distribution<size_t>(0, n - 1)(rng_);
    }
    std::mt19937 rng_;
};

}  // namespace

TEST(HttpParsersFuzz, NoCrashNoReadOutsideTheInput) {
    constexpr int kRounds = 300000;  // each round feeds all three parsers
    Mutator m(20261206);
    CQHttpResponse reused;  // one object across inputs, as the clients use it
    for (int i = 0; i < kRounds; ++i) {
        const std::string s = m.Next();
        const int count = static_cast<int>(s.size());

        auto exact = std::make_unique<unsigned char[]>(s.size() + (s.empty() ? 1 : 0));
        std::memcpy(exact.get(), s.data(), s.size());
        const int h = reused.Parse(exact.get(), count);
        ASSERT_TRUE(h == -1 || (h >= 4 && h <= count)) << h;
        const auto bodyLength = static_cast<int>(reused.GetBody().GetLength());
        ASSERT_LE(bodyLength, h < 0 ? 0 : count - h);
        if (i % 64 == 0) {
            ASSERT_EQ(reused.Parse(exact.get(), -count - 1), -1);
        }
        CQHttpResponse::contenttype t;
        reused.GetContentType(t);
        std::string realm, nonce;
        reused.GetAuthenticate(realm, nonce);
        ASSERT_LE(realm.size(), 99u);
        ASSERT_LE(nonce.size(), 99u);

        auto text = std::make_unique<char[]>(s.size() + 1);
        std::memcpy(text.get(), s.data(), s.size());
        text[s.size()] = 0;
        CQURL u;
        ASSERT_TRUE(u.Parse(text.get()));
        const std::string& sq = u.GetSuffixAndQuery();
        ASSERT_TRUE(sq.empty() || sq[0] == '/');
        ASSERT_TRUE(sq == u.GetPath() || sq == u.GetPath() + "?" + u.GetQuery());
    }
}
