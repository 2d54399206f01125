#include <gtest/gtest.h>

#include "platform/com/Dispatch.h"
#include "platform/com/Variant.h"
#include "tests/platform/com/ComTestSupport.h"
#include "tests/support/TestSupport.h"

namespace ostrel::test {
namespace {

struct Coercion {
    Variant from;
    VARTYPE to;
    HRESULT hr;
    std::string expected;  // Describe() of the result when it succeeds
};

Variant R8(double d) {
    Variant v;
    v.Raw().vt = VT_R8;
    v.Raw().dblVal = d;
    return v;
}

Variant UI4(ULONG u) {
    Variant v;
    v.Raw().vt = VT_UI4;
    v.Raw().ulVal = u;
    return v;
}

std::vector<Coercion> Coercions() {
    using V = Variant;
    return {
        // Text to integers, as scripts pass numbers typed by users.
        {V::Str("12"), VT_I4, S_OK, "VT_I4 12"},
        {V::Str(" 12 "), VT_I4, S_OK, "VT_I4 12"},
        {V::Str("\t-7"), VT_I4, S_OK, "VT_I4 -7"},
        {V::Str("+3"), VT_I4, S_OK, "VT_I4 3"},
        {V::Str("0"), VT_I4, S_OK, "VT_I4 0"},
        {V::Str("2147483647"), VT_I4, S_OK, "VT_I4 2147483647"},
        {V::Str("-2147483648"), VT_I4, S_OK, "VT_I4 -2147483648"},
        {V::Str("2147483648"), VT_I4, DISP_E_OVERFLOW, ""},
        {V::Str("-2147483649"), VT_I4, DISP_E_OVERFLOW, ""},
        {V::Str("99999999999999999999999"), VT_I4, DISP_E_OVERFLOW, ""},
        {V::Str("1e3"), VT_I4, S_OK, "VT_I4 1000"},
        {V::Str("2.5"), VT_I4, S_OK, "VT_I4 2"},  // halves go to the even neighbour
        {V::Str("3.5"), VT_I4, S_OK, "VT_I4 4"},
        {V::Str("abc"), VT_I4, DISP_E_TYPEMISMATCH, ""},
        {V::Str(""), VT_I4, DISP_E_TYPEMISMATCH, ""},
        {V::Str("  "), VT_I4, DISP_E_TYPEMISMATCH, ""},
        {V::Str("12abc"), VT_I4, DISP_E_TYPEMISMATCH, ""},
        {V::Str("1 2"), VT_I4, DISP_E_TYPEMISMATCH, ""},
        {V::Str("1e"), VT_I4, DISP_E_TYPEMISMATCH, ""},
        {V::Str16(std::u16string(u"1\0"
                                 u"2",
                                 3)),
         VT_I4, DISP_E_TYPEMISMATCH, ""},
        {V::Str("40000"), VT_I2, DISP_E_OVERFLOW, ""},
        {V::Str("-1"), VT_UI1, DISP_E_OVERFLOW, ""},
        // Text to booleans: the words, or any number.
        {V::Str("True"), VT_BOOL, S_OK, "VT_BOOL -1"},
        {V::Str(" false "), VT_BOOL, S_OK, "VT_BOOL 0"},
        {V::Str("TRUE"), VT_BOOL, S_OK, "VT_BOOL -1"},
        {V::Str("-1"), VT_BOOL, S_OK, "VT_BOOL -1"},
        {V::Str("0"), VT_BOOL, S_OK, "VT_BOOL 0"},
        {V::Str("2"), VT_BOOL, S_OK, "VT_BOOL -1"},
        {V::Str("yes"), VT_BOOL, DISP_E_TYPEMISMATCH, ""},
        // Booleans and integers to text and to each other.
        {V::Bool(true), VT_BSTR, S_OK, "VT_BSTR \"True\""},
        {V::Bool(false), VT_BSTR, S_OK, "VT_BSTR \"False\""},
        {V::I4(-12), VT_BSTR, S_OK, "VT_BSTR \"-12\""},
        {V::I2(-5), VT_I4, S_OK, "VT_I4 -5"},
        {V::I4(-32768), VT_I2, S_OK, "VT_I2 -32768"},
        {V::I4(40000), VT_I2, DISP_E_OVERFLOW, ""},
        {V::I4(5), VT_BOOL, S_OK, "VT_BOOL -1"},
        {V::I4(0), VT_BOOL, S_OK, "VT_BOOL 0"},
        {V::Bool(true), VT_I4, S_OK, "VT_I4 -1"},
        {V::Bool(false), VT_I2, S_OK, "VT_I2 0"},
        {V::Bool(true), VT_UI1, S_OK, "VT_UI1 255"},
        {UI4(0xFFFFFFFF), VT_I4, DISP_E_OVERFLOW, ""},
        {V::I4(-1), VT_UI4, DISP_E_OVERFLOW, ""},
        {R8(2.5), VT_I4, S_OK, "VT_I4 2"},
        {R8(-2.5), VT_I4, S_OK, "VT_I4 -2"},
        {R8(1e20), VT_I4, DISP_E_OVERFLOW, ""},
        {R8(1.5), VT_BSTR, S_OK, "VT_BSTR \"1.5\""},
        {V::Str("1.25"), VT_R8, S_OK, "VT_R8 1.250000"},
        // Empty and null.
        {V(), VT_I4, S_OK, "VT_I4 0"},
        {V(), VT_BSTR, S_OK, "VT_BSTR \"\""},
        {V(), VT_BOOL, S_OK, "VT_BOOL 0"},
        {V::Null(), VT_I4, DISP_E_TYPEMISMATCH, ""},
        {V::Null(), VT_BSTR, DISP_E_TYPEMISMATCH, ""},
        {V::Null(), VT_NULL, S_OK, "VT_NULL"},
        {V::I4(1), VT_NULL, DISP_E_TYPEMISMATCH, ""},
        // The same type is a copy: the null string stays null.
        {V::TakeBstr(nullptr), VT_BSTR, S_OK, "VT_BSTR null"},
        {V::TakeBstr(nullptr), VT_I4, DISP_E_TYPEMISMATCH, ""},
        {V::I4(7), VT_I4, S_OK, "VT_I4 7"},
        // Types this layer does not carry.
        {V::I4(7), VT_CY, DISP_E_BADVARTYPE, ""},
        {V::I4(7), VT_BYREF | VT_I4, DISP_E_BADVARTYPE, ""},
    };
}

class VariantTest : public ::testing::Test {
protected:
    void SetUp() override { m_bstrs = LiveCounts::Now().bstrs; }
    void TearDown() override { EXPECT_EQ(LiveCounts::Now().bstrs, m_bstrs); }
    long m_bstrs = 0;
};

TEST_F(VariantTest, CoercesAsAutomationClientsExpect) {
    for (const auto& c : Coercions()) {
        SCOPED_TRACE(Describe(c.from) + " -> " + platform::com::VarTypeName(c.to));
        Variant out;
        const HRESULT hr = VariantChangeType(out.Ptr(), &c.from.Raw(), 0, c.to);
        EXPECT_EQ(hr, c.hr);
        if (SUCCEEDED(hr))
            EXPECT_EQ(Describe(out), c.expected);
        else
            EXPECT_EQ(out.Type(), VT_EMPTY);  // the destination is left as it was
    }
}

TEST_F(VariantTest, ReadsThroughReferences) {
    BSTR text = SysAllocString(u"42");
    VARIANT ref;
    VariantInit(&ref);
    ref.vt = VT_BYREF | VT_BSTR;
    ref.pbstrVal = &text;
    Variant out;
    EXPECT_EQ(VariantChangeType(out.Ptr(), &ref, 0, VT_I4), S_OK);
    EXPECT_EQ(Describe(out), "VT_I4 42");

    Variant inner = Variant::I2(9);
    VARIANT byVariant;
    VariantInit(&byVariant);
    byVariant.vt = VT_BYREF | VT_VARIANT;
    byVariant.pvarVal = inner.Ptr();
    EXPECT_EQ(VariantChangeType(out.Ptr(), &byVariant, 0, VT_BSTR), S_OK);
    EXPECT_EQ(Describe(out), "VT_BSTR \"9\"");

    // A copy of a reference copies the pointer; the string stays the caller's.
    Variant copy;
    EXPECT_EQ(VariantCopy(copy.Ptr(), &ref), S_OK);
    EXPECT_EQ(copy.Raw().pbstrVal, &text);
    EXPECT_EQ(VariantCopyInd(copy.Ptr(), &ref), S_OK);
    EXPECT_EQ(Describe(copy), "VT_BSTR \"42\"");
    EXPECT_NE(copy.Raw().bstrVal, text);
    SysFreeString(text);
}

TEST_F(VariantTest, ConvertsInPlaceAndLeavesTheValueOnFailure) {
    Variant v = Variant::Str(" 17 ");
    EXPECT_EQ(VariantChangeType(v.Ptr(), v.Ptr(), 0, VT_I4), S_OK);
    EXPECT_EQ(Describe(v), "VT_I4 17");

    Variant text = Variant::Str("seventeen");
    EXPECT_EQ(VariantChangeType(text.Ptr(), text.Ptr(), 0, VT_I4), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(Describe(text), "VT_BSTR \"seventeen\"");
}

TEST_F(VariantTest, CopiesOwnTheirStringsAndClearFreesThem) {
    const Variant original = Variant::Str("kept");
    Variant copy;
    ASSERT_EQ(VariantCopy(copy.Ptr(), &original.Raw()), S_OK);
    EXPECT_EQ(Describe(copy), "VT_BSTR \"kept\"");
    EXPECT_NE(copy.Raw().bstrVal, original.Raw().bstrVal);

    const long before = LiveCounts::Now().bstrs;
    EXPECT_EQ(VariantClear(copy.Ptr()), S_OK);
    EXPECT_EQ(copy.Type(), VT_EMPTY);
    EXPECT_EQ(LiveCounts::Now().bstrs, before - 1);

    // The null string and the empty string stay distinct through a copy.
    const Variant null = Variant::TakeBstr(nullptr), empty = Variant::Str("");
    Variant a, b;
    VariantCopy(a.Ptr(), &null.Raw());
    VariantCopy(b.Ptr(), &empty.Raw());
    EXPECT_EQ(Describe(a), "VT_BSTR null");
    EXPECT_EQ(Describe(b), "VT_BSTR \"\"");
}

TEST_F(VariantTest, RefusesTypesItDoesNotKnow) {
    VARIANT odd;
    VariantInit(&odd);
    odd.vt = 0x0FFF;
    EXPECT_EQ(VariantClear(&odd), DISP_E_BADVARTYPE);
    Variant out;
    EXPECT_EQ(VariantCopy(out.Ptr(), &odd), DISP_E_BADVARTYPE);
    EXPECT_EQ(VariantChangeType(out.Ptr(), &odd, 0, VT_I4), DISP_E_BADVARTYPE);
    odd.vt = VT_ARRAY | VT_I4;
    EXPECT_EQ(VariantChangeType(out.Ptr(), &odd, 0, VT_I4), DISP_E_BADVARTYPE);
    EXPECT_EQ(VariantClear(nullptr), HRESULT(E_INVALIDARG));
}

// An object whose value (its default member) is 7.
class Seven final : public platform::com::ComObject<IDispatch> {
public:
    HRESULT GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS*, VARIANT* result, EXCEPINFO*,
                   UINT*) override {
        if (id != DISPID_VALUE) return DISP_E_MEMBERNOTFOUND;
        result->vt = VT_I4;
        result->lVal = 7;
        return S_OK;
    }
};

TEST_F(VariantTest, ObjectsConvertThroughTheirValueAndCountTheirReferences) {
    const long live = platform::com::LiveObjects();
    {
        Variant object;
        object.Raw().vt = VT_DISPATCH;
        object.Raw().pdispVal = new Seven;  // the variant owns this reference

        Variant out;
        EXPECT_EQ(VariantChangeType(out.Ptr(), &object.Raw(), 0, VT_BSTR), S_OK);
        EXPECT_EQ(Describe(out), "VT_BSTR \"7\"");
        EXPECT_EQ(VariantChangeType(out.Ptr(), &object.Raw(), VARIANT_NOVALUEPROP, VT_I4),
                  DISP_E_TYPEMISMATCH);
        EXPECT_EQ(VariantChangeType(out.Ptr(), &object.Raw(), 0, VT_UNKNOWN), S_OK);
        EXPECT_EQ(out.Type(), VT_UNKNOWN);

        Variant copy = object;
        EXPECT_EQ(copy.Raw().pdispVal, object.Raw().pdispVal);
        EXPECT_EQ(platform::com::LiveObjects(), live + 1);
    }
    // Every variant released its reference.
    EXPECT_EQ(platform::com::LiveObjects(), live);
}

}  // namespace
}  // namespace ostrel::test
