#include <gtest/gtest.h>

#include "platform/com/Guid.h"

namespace ostrel::test {
namespace {

using platform::com::GuidFromString;
using platform::com::GuidToString;
using platform::com::MakeGuid;

constexpr GUID kSample = MakeGuid("{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}");

TEST(Guid, ReadsItsFieldsInTheirOrder) {
    EXPECT_EQ(kSample.Data1, 0x0A1B2C3Du);
    EXPECT_EQ(kSample.Data2, 0x4E5F);
    EXPECT_EQ(kSample.Data3, 0x6071);
    const BYTE tail[8] = {0x82, 0x93, 0xA4, 0xB5, 0xC6, 0xD7, 0xE8, 0xF9};
    EXPECT_TRUE(std::equal(std::begin(tail), std::end(tail), kSample.Data4));
}

TEST(Guid, BracedFormRoundTrips) {
    OLECHAR text[39];
    ASSERT_EQ(StringFromGUID2(kSample, text, 39), 39);
    EXPECT_EQ(std::u16string(text), u"{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}");
    CLSID back{};
    EXPECT_EQ(CLSIDFromString(text, &back), NOERROR);
    EXPECT_EQ(back, kSample);
    IID iid{};
    EXPECT_EQ(IIDFromString(u"{0a1b2c3d-4e5f-6071-8293-a4b5c6d7e8f9}", &iid), S_OK);
    EXPECT_EQ(iid, kSample);

    EXPECT_EQ(GuidToString(kSample), "{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}");
    EXPECT_EQ(GuidFromString(GuidToString(GUID_NULL)), GUID_NULL);
    EXPECT_EQ(GuidFromString("0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9"), kSample);
}

TEST(Guid, ShortBufferGetsNothing) {
    OLECHAR text[38] = {u'x'};
    EXPECT_EQ(StringFromGUID2(kSample, text, 38), 0);
    EXPECT_EQ(text[0], u'x');
    EXPECT_EQ(StringFromGUID2(kSample, nullptr, 39), 0);
}

TEST(Guid, MalformedTextIsRefused) {
    for (const char16_t* bad : {
             u"", u"{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9",
             u"0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}", u"{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}x",
             u"{0A1B2C3D+4E5F-6071-8293-A4B5C6D7E8F9}", u"{0A1B2C3G-4E5F-6071-8293-A4B5C6D7E8F9}",
             u"{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F}",
             u"{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F\u0669}",
             u"0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9",  // braces are required here
         }) {
        SCOPED_TRACE(std::string(bad, bad + std::char_traits<char16_t>::length(bad)));
        CLSID clsid = kSample;
        EXPECT_EQ(CLSIDFromString(bad, &clsid), CO_E_CLASSSTRING);
        EXPECT_EQ(clsid, GUID_NULL);
        IID iid{};
        EXPECT_EQ(IIDFromString(bad, &iid), HRESULT(E_INVALIDARG));
    }
    EXPECT_EQ(CLSIDFromString(nullptr, nullptr), HRESULT(E_INVALIDARG));
    EXPECT_FALSE(GuidFromString("{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9"));
}

}  // namespace
}  // namespace ostrel::test
