// Random and mutated inputs for the parsers, each in a heap block of exactly its size, so that
// the sanitizer build catches any read outside it.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>

#include "foundation/memory_stream.h"
#include "net/http/http_response.h"
#include "net/http/url.h"

using QNetwork::QProtocol::CQURL;
using QNetwork::QProtocol::HTTP::CQHttpResponse;

TEST(HttpParsersFuzz, NoCrashNoReadOutsideTheInput) {
    const char* const pieces[] = {"\r\n",
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
                                  "99999999999999999999",
                                  "-"};
    const std::string seeds[] = {
        "HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Digest realm=\"r\", nonce=\"n\"\r\n"
        "Content-Length: 4\r\nContent-Type: multipart/x; charset=u; boundary=\"--b\"\r\n\r\nbody",
        "http://admin:pw@192.168.1.10:8080/PlayBack1.cgi?a=b c"};
    std::mt19937 rng(20261206);
    const auto pick = [&](size_t n) {
        return std::uniform_int_distribution<size_t>(0, n - 1)(rng);
    };
    CQHttpResponse r;  // one object across inputs, as the clients use it
    for (int i = 0; i < 300000; ++i) {
        std::string s;
        if (pick(4) == 0) {
            s.resize(pick(96));
            for (char& c : s) c = static_cast<char>(pick(256));
        } else {
            s = seeds[pick(2)];
            for (size_t edits = 1 + pick(6); edits > 0; --edits) {
                const size_t at = pick(s.size() + 1);
                switch (pick(4)) {
                    case 0:
                        s.insert(at, pieces[pick(std::size(pieces))]);
                        break;
                    case 1:
                        if (at < s.size()) s[at] = static_cast<char>(pick(256));
                        break;
                    case 2:
                        s.erase(at, pick(8));
                        break;
                    default:
                        s.resize(at);
                }
            }
        }
        const int count = static_cast<int>(s.size());
        auto exact = std::make_unique<char[]>(s.size());
        auto text = std::make_unique<char[]>(s.size() + 1);  // NUL-terminated for the URL
        std::memcpy(exact.get(), s.data(), s.size());
        std::memcpy(text.get(), s.data(), s.size());
        const int h = r.Parse(exact.get(), count);
        ASSERT_TRUE(h == -1 || (h >= 4 && h <= count)) << h;
        ASSERT_LE(r.GetBody().GetLength(), h < 0 ? 0 : count - h);
        CQHttpResponse::contenttype t;
        r.GetContentType(t);
        std::string realm, nonce;
        r.GetAuthenticate(realm, nonce);
        ASSERT_TRUE(realm.size() <= 99 && nonce.size() <= 99);

        CQURL u;
        u.Parse(text.get());
        const std::string& sq = u.GetSuffixAndQuery();
        ASSERT_TRUE(sq == u.GetPath() || sq == u.GetPath() + "?" + u.GetQuery());
    }
}
