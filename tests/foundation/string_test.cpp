#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "foundation/string.h"

using QSystem::CQString;
using Parts = std::vector<std::string>;

TEST(CQString, SplitTriesSeparatorsInListOrder) {
    const struct {
        std::string text;
        Parts separators, expected;
    } cases[] = {
        {"a,b;c", {";", ","}, {"a,b", "c"}},
        {"a,b;c", {",", ";"}, {"a", "b", "c"}},
        {"a,,b", {","}, {"a", "", "b"}},
        {"", {","}, {""}},
        {"abc", {}, {"abc"}},
        {"a,b", {"", ","}, {"a", "b"}},  // an empty separator is skipped, never loops
        {"x\r\n\r\ny", {"\r\n"}, {"x", "", "y"}},
        {"k=v,", {","}, {"k=v", ""}},
    };
    for (const auto& c : cases) {
        Parts parts = {"kept"};
        CQString::Split(c.text, parts, c.separators);
        Parts expected = {"kept"};
        expected.insert(expected.end(), c.expected.begin(), c.expected.end());
        EXPECT_EQ(parts, expected) << c.text;
    }
}

TEST(CQString, ReplaceAndToUpper) {
    EXPECT_EQ(CQString::Replace("aaa", "aa", "b"), "ba");
    EXPECT_EQ(CQString::Replace("a b  c", " ", "%20"), "a%20b%20%20c");
    EXPECT_EQ(CQString::Replace("abc", "", "x"), "abc");
    EXPECT_EQ(CQString::Replace("", "a", "x"), "");
    EXPECT_EQ(CQString::ToUpper("Digest realm=1\xe9"), "DIGEST REALM=1\xe9");
    QSystem::CQStringBuilder b;
    b.Append("a");
    b.AppendLine("x");
    b.AppendLine("");
    EXPECT_STREQ(b.GetContent(), "ax\r\n\r\n");
    QSystem::CQStringBuilder copy = b;
    b.Clear();
    EXPECT_STREQ(b.GetContent(), "");
    EXPECT_STREQ(copy.GetContent(), "ax\r\n\r\n");
}
