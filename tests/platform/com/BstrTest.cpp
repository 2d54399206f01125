#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/com/Variant.h"
#include "platform/seams/Seams.h"
#include "platform/text/Bstr.h"
#include "platform/text/Utf.h"
#include "tests/support/TestSupport.h"

namespace ostrel::test {
namespace {

using platform::com::Bstr;
using platform::com::BstrBuilder;
using platform::seams::ScopedFault;

class Strings : public ::testing::Test {
protected:
    void SetUp() override { m_bstrs = LiveCounts::Now().bstrs; }
    void TearDown() override { EXPECT_EQ(LiveCounts::Now().bstrs, m_bstrs); }
    long m_bstrs = 0;
};

struct Built {
    std::u16string text;
    bool wellFormed;
};

Built Build(const std::vector<std::string_view>& pieces, std::size_t reserve = 0) {
    BstrBuilder builder;
    builder.Reserve(reserve);
    for (auto p : pieces) builder.Append(p);
    const Bstr b = builder.Finish();
    EXPECT_FALSE(b.IsNull());
    return {std::u16string(b.View()), builder.WellFormed()};
}

TEST_F(Strings, TextBuiltInPiecesIsTheTextConvertedWhole) {
    // Sequences of every length, malformed ones among them (a lone
    // continuation byte, a lead byte without its continuation, an overlong
    // form, a surrogate, a sequence cut at the very end).
    const std::string good = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z";
    const std::string bad =
        "x\x80y\xC3z\xC0\xAF\xED\xA0\x80\xE2\x82"
        "A\xF0\x9F\x98";
    for (const std::string& text : {good, bad, good + bad + good}) {
        const std::u16string whole = platform::com::Utf8ToUtf16(text);
        const bool valid = platform::com::IsValidUtf8(text);
        for (std::size_t cut = 0; cut <= text.size(); ++cut)
            for (std::size_t second = cut; second <= text.size(); ++second) {
                const std::string_view t(text);
                const Built b =
                    Build({t.substr(0, cut), t.substr(cut, second - cut), t.substr(second)},
                          cut % 2 == 0 ? text.size() : 0);
                ASSERT_EQ(b.text, whole) << cut << " " << second;
                ASSERT_EQ(b.wellFormed, valid) << cut << " " << second;
            }
    }
    // Larger than the window the builder converts at a time, without room
    // reserved, so that it also grows.
    std::string large;
    while (large.size() < 300'000) large += good;
    EXPECT_EQ(Build({large}).text, platform::com::Utf8ToUtf16(large));
    EXPECT_EQ(Build({}).text, u"");
}

TEST_F(Strings, ReallocatingKeepsTheCharactersOrTakesThemFromAnywhere) {
    BSTR b = SysAllocString(u"abcdef");
    ASSERT_TRUE(SysReAllocStringLen(&b, nullptr, 3));
    EXPECT_EQ(std::u16string(b, SysStringLen(b)), u"abc");
    EXPECT_EQ(b[3], u'\0');
    ASSERT_TRUE(SysReAllocStringLen(&b, b + 1, 2));  // from inside the string itself
    EXPECT_EQ(std::u16string(b, SysStringLen(b)), u"bc");
    ASSERT_TRUE(SysReAllocStringLen(&b, u"0123456789", 10));
    EXPECT_EQ(std::u16string(b, SysStringLen(b)), u"0123456789");
    {
        ScopedFault fault("SysReAllocStringLen", 0);
        EXPECT_FALSE(SysReAllocStringLen(&b, u"x", 1));
    }
    EXPECT_EQ(std::u16string(b, SysStringLen(b)), u"0123456789") << "a failure leaves it alone";
    SysFreeString(b);
    BSTR none = nullptr;
    ASSERT_TRUE(SysReAllocStringLen(&none, u"new", 3));
    EXPECT_EQ(std::u16string(none, SysStringLen(none)), u"new");
    SysFreeString(none);
}

TEST_F(Strings, AVariantMovesItsStringInsteadOfCopyingIt) {
    std::vector<platform::com::Variant> args;
    args.push_back(platform::com::Variant::Str("the text"));
    const BSTR original = args[0].Raw().bstrVal;
    // No string can be made from here on: growing the vector and moving the
    // value out must hand the same string along.
    ScopedFault fault("SysAllocStringLen", 0);
    args.push_back(platform::com::Variant::I4(1));
    platform::com::Variant moved = std::move(args[0]);
    EXPECT_FALSE(fault.Fired());
    EXPECT_EQ(moved.Raw().vt, VT_BSTR);
    EXPECT_EQ(moved.Raw().bstrVal, original);
    EXPECT_EQ(args[0].Raw().vt, VT_EMPTY);
    args[1] = std::move(moved);
    EXPECT_EQ(args[1].Raw().bstrVal, original);
}

}  // namespace
}  // namespace ostrel::test
