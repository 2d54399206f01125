#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/text/NoCase.h"

namespace ostrel::test {
namespace {

using platform::text::CompareNoCase;
using platform::text::EqualsNoCase;
using platform::text::LowerAscii;

TEST(NoCase, OnlyTheAsciiLettersFold) {
    EXPECT_TRUE(EqualsNoCase("RichEdit", "RICHEDIT"));
    EXPECT_TRUE(EqualsNoCase("", ""));
    EXPECT_FALSE(EqualsNoCase("Button", "Butto"));
    EXPECT_FALSE(EqualsNoCase("Butto", "Button"));
    // '@' and '`' sit beside the letters and stay apart from them.
    EXPECT_FALSE(EqualsNoCase("@", "`"));
    EXPECT_FALSE(EqualsNoCase("[", "{"));
    // The bytes of UTF-8 sequences match only as they are: E-acute in both cases.
    EXPECT_FALSE(EqualsNoCase("\xC3\x89", "\xC3\xA9"));
    EXPECT_TRUE(EqualsNoCase("caf\xC3\xA9", "CAF\xC3\xA9"));
    // A name with a NUL inside is not cut short there.
    EXPECT_FALSE(EqualsNoCase(std::string_view("ab\0c", 4), std::string_view("ab\0d", 4)));

    EXPECT_TRUE(EqualsNoCase(u"TRUE", u"true"));
    EXPECT_FALSE(EqualsNoCase(u"\u00C9", u"\u00E9"));
    EXPECT_FALSE(EqualsNoCase(u"\u0130", u"i")) << "no letter outside ASCII folds";

    EXPECT_EQ(LowerAscii("HKEY_Current_USER\\CLSID \xC3\x89"), "hkey_current_user\\clsid \xC3\x89");
}

TEST(NoCase, SortsAsTheLowerCaseLettersWouldAndBytesAsUnsigned) {
    EXPECT_EQ(CompareNoCase("apple", "APPLE"), 0);
    EXPECT_LT(CompareNoCase("apple", "Banana"), 0);
    EXPECT_GT(CompareNoCase("Cherry", "banana"), 0);
    EXPECT_LT(CompareNoCase("ab", "ABC"), 0) << "a name sorts before the names it begins";
    EXPECT_GT(CompareNoCase("abc", "AB"), 0);
    // '_' lies between the upper and the lower case letters: it sorts before
    // every letter, as it would among lower case names.
    EXPECT_LT(CompareNoCase("_x", "Ax"), 0);
    EXPECT_GT(CompareNoCase("\xC3\xA9", "z"), 0) << "bytes beyond ASCII sort after it";

    std::vector<std::string> rows = {"delta", "Charlie", "_under",
                                     "ALPHA", "bravo",   "\xC3\xA9t\xC3\xA9"};
    std::sort(rows.begin(), rows.end(),
              [](const std::string& a, const std::string& b) { return CompareNoCase(a, b) < 0; });
    EXPECT_EQ(rows, (std::vector<std::string>{"_under", "ALPHA", "bravo", "Charlie", "delta",
                                              "\xC3\xA9t\xC3\xA9"}));
}

}  // namespace
}  // namespace ostrel::test
