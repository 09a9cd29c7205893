#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "foundation/string.h"

using QSystem::CQString;
using Parts = std::vector<std::string>;

TEST(CQString, SplitReplaceAndToUpper) {
    const struct {
        std::string text;
        Parts separators, expected;
    } cases[] = {
        {"a,b;c", {";", ","}, {"kept", "a,b", "c"}},  // what the list held is kept
        {"a,b;c", {",", ";"}, {"kept", "a", "b", "c"}},
        {"a,,b", {","}, {"kept", "a", "", "b"}},
        {"", {","}, {"kept", ""}},
        {"abc", {}, {"kept", "abc"}},
        {"a,b", {"", ","}, {"kept", "a", "b"}},  // an empty separator is skipped, never loops
        {"x\r\n\r\ny", {"\r\n"}, {"kept", "x", "", "y"}},
        {"k=v,", {","}, {"kept", "k=v", ""}},
    };  // Split tries the separators in the list's order
    for (const auto& c : cases) {
        Parts parts = {"kept"};
        CQString::Split(c.text, parts, c.separators);
        EXPECT_EQ(parts, c.expected) << c.text;
    }
    EXPECT_EQ(CQString::Replace("aaa", "aa", "b") + "|" + CQString::Replace("a b  c", " ", "%20") +
                  "|" + CQString::Replace("abc", "", "x") + "|" + CQString::Replace("", "a", "x"),
              "ba|a%20b%20%20c|abc|");
    EXPECT_EQ(CQString::ToUpper("Digest realm=1\xe9"), "DIGEST REALM=1\xe9");
}
