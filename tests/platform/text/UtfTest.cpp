// The platform's one UTF-8 decoder, and the conversions built on it.

#include <gtest/gtest.h>

#include <string>

#include "platform/text/Utf.h"

namespace platform::com {
namespace {

TEST(Utf8, EachSequenceIsDecodedOrRefusedByItsFirstByte) {
    const struct {
        const char* bytes;
        char32_t code;  // the lead byte when malformed
        std::size_t length;
        bool valid;
    } cases[] = {
        {"A", U'A', 1, true},
        {"\x7F", 0x7F, 1, true},
        {"\xC2\x80", 0x80, 2, true},
        {"\xDF\xBF", 0x7FF, 2, true},
        {"\xE0\xA0\x80", 0x800, 3, true},
        {"\xE2\x82\xAC", 0x20AC, 3, true},
        {"\xEF\xBF\xBF", 0xFFFF, 3, true},
        {"\xF0\x90\x80\x80", 0x10000, 4, true},
        {"\xF4\x8F\xBF\xBF", 0x10FFFF, 4, true},
        // Overlong forms.
        {"\xC0\x80", 0xC0, 1, false},
        {"\xC1\xBF", 0xC1, 1, false},
        {"\xE0\x9F\xBF", 0xE0, 1, false},
        {"\xF0\x8F\xBF\xBF", 0xF0, 1, false},
        // Surrogates, and what lies beyond U+10FFFF.
        {"\xED\xA0\x80", 0xED, 1, false},
        {"\xED\xBF\xBF", 0xED, 1, false},
        {"\xF4\x90\x80\x80", 0xF4, 1, false},
        {"\xF7\xBF\xBF\xBF", 0xF7, 1, false},
        // No lead byte, a sequence cut short or broken by another lead.
        {"\x80", 0x80, 1, false},
        {"\xBF", 0xBF, 1, false},
        {"\xF8\x88\x80\x80\x80", 0xF8, 1, false},
        {"\xFF", 0xFF, 1, false},
        {"\xE2\x82", 0xE2, 1, false},
        {"\xF0\x9F\x98", 0xF0, 1, false},
        {"\xE2\x41\xAC", 0xE2, 1, false},
        {"\xC3\xC3\xA9", 0xC3, 1, false},
    };
    for (const auto& c : cases) {
        const std::string bytes = c.bytes;
        SCOPED_TRACE(testing::PrintToString(bytes));
        // Decoded alone and after other text, with text after it.
        for (const std::string& before : {std::string(), std::string("ab")}) {
            const Utf8Char got = DecodeUtf8(before + bytes + "z", before.size());
            EXPECT_EQ(got.code, c.code);
            EXPECT_EQ(got.length, c.length);
            EXPECT_EQ(got.valid, c.valid);
        }
        EXPECT_EQ(IsValidUtf8(bytes), c.valid);
        if (!c.valid) {
            // Each malformed byte becomes one U+FFFD: the text after it is kept.
            const std::u16string wide = Utf8ToUtf16(bytes + "z");
            EXPECT_EQ(wide.front(), u'\xFFFD');
            EXPECT_EQ(wide.back(), u'z');
        }
    }
}

TEST(Utf8, ConversionsRoundTripEveryPlane) {
    const std::string text = "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";
    const std::u16string wide = Utf8ToUtf16(text);
    EXPECT_EQ(wide, u"A\u00E9\u20AC\U0001F600");
    EXPECT_EQ(Utf16ToUtf8(wide), text);
    EXPECT_EQ(Utf16ToUtf8Exact(u"a\xD800"), std::nullopt);
    EXPECT_EQ(Utf16ToUtf8(u"a\xD800"), "a\xEF\xBF\xBD");
}

}  // namespace
}  // namespace platform::com
