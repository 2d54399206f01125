#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>

#include "platform/com/Automation.h"
#include "platform/com/DispatchTable.h"
#include "platform/seams/Seams.h"
#include "platform/text/CString.h"
#include "tests/platform/com/ComTestSupport.h"
#include "tests/support/TestSupport.h"

namespace ostrel::test {
namespace {

using ::testing::ElementsAre;

// A class offering members of every kind the framework carries.
class Target {
public:
    BSTR Echo(LPCTSTR text) {
        received.push_back(text);
        return CString(text).AllocSysString();
    }
    BSTR Nothing(LPCTSTR) { return nullptr; }
    BSTR Pair(LPCTSTR text, long number) {
        return CString((std::string(text) + "|" + std::to_string(number)).c_str()).AllocSysString();
    }
    BOOL IsYes(LPCTSTR text) { return std::string(text) == "yes" ? TRUE : FALSE; }
    long Count() { return 42; }
    short Small(short value) { return static_cast<short>(value * 2); }
    long Flag(BOOL value) { return value; }
    void Throw() { throw std::runtime_error("the member failed"); }
    void Watch() { stateDuringCall = AfxGetModuleState(); }

    static const platform::com::DispatchTable& Table();

    std::vector<std::string> received;
    AFX_MODULE_STATE* stateDuringCall = nullptr;
};

const platform::com::DispatchTable& Target::Table() {
    static constexpr platform::com::DispatchEntry kEntries[] = {
        DISP_FUNCTION(Target, "Echo", Echo, VT_BSTR, VTS_BSTR),
        DISP_FUNCTION(Target, "Nothing", Nothing, VT_BSTR, VTS_BSTR),
        DISP_FUNCTION(Target, "Pair", Pair, VT_BSTR, VTS_BSTR VTS_I4),
        DISP_FUNCTION(Target, "IsYes", IsYes, VT_BOOL, VTS_BSTR),
        DISP_FUNCTION(Target, "Count", Count, VT_I4, VTS_NONE),
        DISP_FUNCTION(Target, "Small", Small, VT_I2, VTS_I2),
        DISP_FUNCTION(Target, "Flag", Flag, VT_I4, VTS_BOOL),
        DISP_FUNCTION(Target, "Throw", Throw, VT_EMPTY, VTS_NONE),
        DISP_FUNCTION_ID(Target, "Watch", 77, Watch, VT_EMPTY, VTS_NONE),
    };
    static constexpr auto kTable = platform::com::MakeDispatchTable<Target>(kEntries);
    return kTable;
}

enum : DISPID { kEcho = 1, kNothing, kPair, kIsYes, kCount, kSmall, kFlag, kThrow, kWatch = 77 };

class DispatchTable : public ::testing::Test {
protected:
    void SetUp() override {
        m_live = platform::com::LiveObjects();
        m_bstrs = LiveCounts::Now().bstrs;
        m_disp = Create({});
    }
    void TearDown() override {
        m_disp.Reset();
        EXPECT_EQ(platform::com::LiveObjects(), m_live);
        EXPECT_EQ(LiveCounts::Now().bstrs, m_bstrs);
    }

    ComPtr<IDispatch> Create(platform::com::AutomationOptions options) {
        options.table = &Target::Table();
        options.object = platform::com::MakeDispatchObject(m_target);
        ComPtr<IDispatch> disp;
        EXPECT_EQ(platform::com::CreateAutomationObject(std::move(options), IID_IDispatch,
                                                        disp.PutVoid()),
                  S_OK);
        return disp;
    }

    Target m_target;
    ComPtr<IDispatch> m_disp;
    long m_live = 0, m_bstrs = 0;
};

TEST_F(DispatchTable, NamesMapToPositionsOrTheirOwnIdentifierInAnyCase) {
    const std::pair<std::u16string, DISPID> names[] = {
        {u"Echo", kEcho},   {u"ECHO", kEcho},   {u"nothing", kNothing}, {u"pAIR", kPair},
        {u"IsYes", kIsYes}, {u"count", kCount}, {u"Throw", kThrow},     {u"watch", kWatch},
    };
    for (const auto& [name, expected] : names) {
        DISPID id = 0;
        EXPECT_EQ(IdOf(m_disp.Get(), name, id), S_OK);
        EXPECT_EQ(id, expected);
    }
    DISPID id = 0;
    EXPECT_EQ(IdOf(m_disp.Get(), u"Missing", id), DISP_E_UNKNOWNNAME);
    EXPECT_EQ(id, DISPID_UNKNOWN);
    EXPECT_EQ(IdOf(m_disp.Get(), u"Ech", id), DISP_E_UNKNOWNNAME);
    EXPECT_EQ(IdOf(m_disp.Get(), std::u16string(u"Echo\xD800"), id), DISP_E_UNKNOWNNAME);
}

TEST_F(DispatchTable, ParameterNamesAreUnknownButTheMemberIsStillFound) {
    std::u16string member = u"Pair", param = u"number";
    LPOLESTR names[] = {member.data(), param.data()};
    DISPID ids[2] = {0, 0};
    EXPECT_EQ(m_disp->GetIDsOfNames(IID_NULL, names, 2, 0, ids), DISP_E_UNKNOWNNAME);
    EXPECT_THAT(ids, ElementsAre(kPair, DISPID_UNKNOWN));

    const IID other = platform::com::MakeGuid("{11111111-2222-3333-4444-555555555555}");
    EXPECT_EQ(m_disp->GetIDsOfNames(other, names, 1, 0, ids), DISP_E_UNKNOWNINTERFACE);
}

TEST_F(DispatchTable, ArgumentsArriveInTheirOrderAndResultsInTheirTypes) {
    EXPECT_EQ(Describe(Call(m_disp.Get(), kPair, {Variant::Str("text"), Variant::I4(5)}).result),
              "VT_BSTR \"text|5\"");
    EXPECT_EQ(Describe(Call(m_disp.Get(), kIsYes, {Variant::Str("yes")}).result), "VT_BOOL -1");
    EXPECT_EQ(Describe(Call(m_disp.Get(), kIsYes, {Variant::Str("no")}).result), "VT_BOOL 0");
    EXPECT_EQ(Describe(Call(m_disp.Get(), kCount, {}).result), "VT_I4 42");
    EXPECT_EQ(Describe(Call(m_disp.Get(), kSmall, {Variant::Str("-21")}).result), "VT_I2 -42");
    EXPECT_EQ(Describe(Call(m_disp.Get(), kFlag, {Variant::Str("True")}).result), "VT_I4 1");
    EXPECT_EQ(Describe(Call(m_disp.Get(), kWatch, {}).result), "VT_EMPTY");
    // Script hosts call methods with the property-get bit as well.
    EXPECT_EQ(Call(m_disp.Get(), kCount, {}, DISPATCH_METHOD | DISPATCH_PROPERTYGET).hr, S_OK);
    EXPECT_EQ(Call(m_disp.Get(), kCount, {}, DISPATCH_PROPERTYGET).hr, S_OK);
}

TEST_F(DispatchTable, ArgumentsAreCoercedToTheParameterTypes) {
    EXPECT_EQ(Describe(Call(m_disp.Get(), kPair, {Variant::I4(12), Variant::Str(" 7 ")}).result),
              "VT_BSTR \"12|7\"");
    EXPECT_EQ(Describe(Call(m_disp.Get(), kPair, {Variant::Bool(true), Variant::I2(-3)}).result),
              "VT_BSTR \"True|-3\"");
    // The null string arrives as the empty text.
    EXPECT_EQ(Describe(Call(m_disp.Get(), kEcho, {Variant::TakeBstr(nullptr)}).result),
              "VT_BSTR \"\"");
    // Text beyond ASCII arrives as UTF-8, and comes back the same.
    const std::u16string wide = u"Gr\u00FC\u00DFe \u20AC \U0001D11E";
    const CallResult r = Call(m_disp.Get(), kEcho, {Variant::Str16(wide)});
    EXPECT_EQ(m_target.received.back(),
              "Gr\xC3\xBC\xC3\x9F"
              "e \xE2\x82\xAC \xF0\x9D\x84\x9E");
    EXPECT_EQ(std::u16string(r.result.Raw().bstrVal), wide);
}

TEST_F(DispatchTable, AStringArgumentIsReadWhereTheCallerKeepsIt) {
    // Even with no memory for another string the call goes through: the text
    // is not copied on its way to the member, given directly or by reference.
    CallArgs direct{Variant::Str("yes")};
    BSTR kept = SysAllocString(u"yes");
    VARIANT byRef;
    VariantInit(&byRef);
    byRef.vt = VT_BYREF | VT_BSTR;
    byRef.pbstrVal = &kept;
    DISPPARAMS viaRef{&byRef, nullptr, 1, 0};
    platform::seams::ScopedFault fault("SysAllocStringLen", 0);
    for (DISPPARAMS* params : {direct.Params(), &viaRef}) {
        Variant result;
        EXPECT_EQ(m_disp->Invoke(kIsYes, IID_NULL, 0, DISPATCH_METHOD, params, result.Ptr(),
                                 nullptr, nullptr),
                  S_OK);
        EXPECT_EQ(Describe(result), "VT_BOOL -1");
    }
    EXPECT_FALSE(fault.Fired());
    EXPECT_EQ(std::u16string(kept), u"yes");
    SysFreeString(kept);
}

TEST_F(DispatchTable, ArgumentsThatCannotCrossIntactAreRefusedWithTheirPosition) {
    struct Case {
        Variant text, number;
        HRESULT hr;
        UINT argErr;  // position in the argument array, last argument first
    };
    const Case cases[] = {
        {Variant::Str("a"), Variant::Str("abc"), DISP_E_TYPEMISMATCH, 0},
        {Variant::Str("a"), Variant::Str("99999999999"), DISP_E_OVERFLOW, 0},
        {Variant::Null(), Variant::I4(1), DISP_E_TYPEMISMATCH, 1},
        {Variant::Str16(std::u16string(u"a\0b", 3)), Variant::I4(1), DISP_E_TYPEMISMATCH, 1},
        {Variant::Str16(u"a\xD800"), Variant::I4(1), DISP_E_TYPEMISMATCH, 1},
        {Variant::Str16(u"\xDC00z"), Variant::I4(1), DISP_E_TYPEMISMATCH, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Describe(c.text) + ", " + Describe(c.number));
        const CallResult r = Call(m_disp.Get(), kPair, {c.text, c.number});
        EXPECT_EQ(r.hr, c.hr);
        EXPECT_EQ(r.argErr, c.argErr);
        EXPECT_EQ(r.result.Type(), VT_EMPTY);
    }
    EXPECT_TRUE(m_target.received.empty());
}

TEST_F(DispatchTable, CallsOfTheWrongShapeAreRefused) {
    EXPECT_EQ(Call(m_disp.Get(), kPair, {Variant::Str("a")}).hr, DISP_E_PARAMNOTOPTIONAL);
    EXPECT_EQ(Call(m_disp.Get(), kPair, {}).hr, DISP_E_PARAMNOTOPTIONAL);
    EXPECT_EQ(Call(m_disp.Get(), kPair, {Variant::Str("a"), Variant::I4(1), Variant::I4(2)}).hr,
              DISP_E_BADPARAMCOUNT);
    EXPECT_EQ(Call(m_disp.Get(), kCount, {Variant::I4(1)}).hr, DISP_E_BADPARAMCOUNT);
    EXPECT_EQ(Call(m_disp.Get(), 999, {}).hr, DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(Call(m_disp.Get(), DISPID_UNKNOWN, {}).hr, DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(Call(m_disp.Get(), kCount, {}, DISPATCH_PROPERTYPUT).hr, DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(Call(m_disp.Get(), kCount, {}, 0).hr, DISP_E_MEMBERNOTFOUND);

    CallArgs args{Variant::Str("a")};
    DISPID named = 0;
    DISPPARAMS withNames = *args.Params();
    withNames.rgdispidNamedArgs = &named;
    withNames.cNamedArgs = 1;
    Variant result;
    EXPECT_EQ(m_disp->Invoke(kEcho, IID_NULL, 0, DISPATCH_METHOD, &withNames, result.Ptr(), nullptr,
                             nullptr),
              DISP_E_NONAMEDARGS);
    EXPECT_EQ(m_disp->Invoke(kEcho, IID_NULL, 0, DISPATCH_METHOD, nullptr, result.Ptr(), nullptr,
                             nullptr),
              HRESULT(E_INVALIDARG));
    const IID other = platform::com::MakeGuid("{11111111-2222-3333-4444-555555555555}");
    EXPECT_EQ(m_disp->Invoke(kCount, other, 0, DISPATCH_METHOD, args.Params(), result.Ptr(),
                             nullptr, nullptr),
              DISP_E_UNKNOWNINTERFACE);
    EXPECT_TRUE(m_target.received.empty());
}

TEST_F(DispatchTable, TheNullStringAndTheEmptyStringAreDistinctResults) {
    EXPECT_EQ(Describe(Call(m_disp.Get(), kNothing, {Variant::Str("x")}).result), "VT_BSTR null");
    EXPECT_EQ(Describe(Call(m_disp.Get(), kEcho, {Variant::Str("")}).result), "VT_BSTR \"\"");
}

TEST_F(DispatchTable, AResultNobodyAskedForIsFreed) {
    CallArgs args{Variant::Str("dropped")};
    EXPECT_EQ(m_disp->Invoke(kEcho, IID_NULL, 0, DISPATCH_METHOD, args.Params(), nullptr, nullptr,
                             nullptr),
              S_OK);
    EXPECT_THAT(m_target.received, ElementsAre("dropped"));
}  // the fixture checks that no string is left

TEST_F(DispatchTable, WhatAMemberThrowsBecomesAnException) {
    const CallResult r = Call(m_disp.Get(), kThrow, {});
    EXPECT_EQ(r.hr, DISP_E_EXCEPTION);
    EXPECT_EQ(r.description, "the member failed");
    // Without a record to fill.
    CallArgs none{};
    EXPECT_EQ(m_disp->Invoke(kThrow, IID_NULL, 0, DISPATCH_METHOD, none.Params(), nullptr, nullptr,
                             nullptr),
              DISP_E_EXCEPTION);
}

TEST_F(DispatchTable, MembersAreCalledOnlyOnAnObjectOfTheirClass) {
    struct Other {
    } other;
    const auto& table = Target::Table();
    CallArgs none{};
    EXPECT_EQ(platform::com::InvokeFromTable(table, platform::com::MakeDispatchObject(other),
                                             kCount, IID_NULL, DISPATCH_METHOD, none.Params(),
                                             nullptr, nullptr, nullptr),
              E_UNEXPECTED);
}

// A framework base class calls the table of the class derived from it.
class Base {
public:
    virtual ~Base() = default;
    virtual const platform::com::DispatchTable& Table() const = 0;
    HRESULT CallFirst(VARIANT* result) {
        CallArgs none{};
        return platform::com::InvokeFromTable(
            Table(), platform::com::MakeDynamicDispatchObject(*this), 1, IID_NULL, DISPATCH_METHOD,
            none.Params(), result, nullptr, nullptr);
    }
};
// Another polymorphic base comes first, so Base is not at the start of Derived.
class Named {
public:
    virtual ~Named() = default;
    std::string name;
};
class Derived : public Named, public Base {
public:
    long Size() { return static_cast<long>(name.size()); }
    const platform::com::DispatchTable& Table() const override {
        static constexpr platform::com::DispatchEntry kEntries[] = {
            DISP_FUNCTION(Derived, "Size", Size, VT_I4, VTS_NONE),
        };
        static constexpr auto kTable = platform::com::MakeDispatchTable<Derived>(kEntries);
        return kTable;
    }
};

TEST_F(DispatchTable, ABaseClassCallsTheMembersOfItsDerivedClass) {
    Derived derived;
    derived.name = "four";
    Base& base = derived;
    ASSERT_NE(static_cast<void*>(&base), static_cast<void*>(&derived));
    Variant result;
    EXPECT_EQ(base.CallFirst(result.Ptr()), S_OK);
    EXPECT_EQ(Describe(result), "VT_I4 4");
}

TEST_F(DispatchTable, CallsRunInTheObjectsModuleStateAndRestoreTheCallers) {
    AFX_MODULE_STATE objectState("object"), callerState("caller");
    platform::com::AutomationOptions options;
    options.moduleState = &objectState;
    ComPtr<IDispatch> disp = Create(std::move(options));

    AFX_MANAGE_STATE(&callerState);
    EXPECT_EQ(Call(disp.Get(), kWatch, {}).hr, S_OK);
    EXPECT_EQ(m_target.stateDuringCall, &objectState);
    EXPECT_EQ(AfxGetModuleState(), &callerState);

    const CallResult thrown = Call(disp.Get(), kThrow, {});
    EXPECT_EQ(thrown.hr, DISP_E_EXCEPTION);
    EXPECT_EQ(AfxGetModuleState(), &callerState);
}

TEST(ModuleState, TheScopeRestoresThePreviousStateOnEveryWayOut) {
    AFX_MODULE_STATE outer, inner;
    AFX_MODULE_STATE* const app = AfxGetModuleState();
    {
        AFX_MANAGE_STATE(&outer);
        EXPECT_EQ(AfxGetModuleState(), &outer);
        try {
            AFX_MANAGE_STATE(&inner);
            EXPECT_EQ(AfxGetModuleState(), &inner);
            throw std::runtime_error("leaving");
        } catch (const std::runtime_error&) {
        }
        EXPECT_EQ(AfxGetModuleState(), &outer);
        // Another thread has its own current state.
        AFX_MODULE_STATE* seen = nullptr;
        std::thread([&] { seen = AfxGetModuleState(); }).join();
        EXPECT_EQ(seen, AfxGetAppModuleState());
    }
    EXPECT_EQ(AfxGetModuleState(), app);
}

TEST(ModuleState, EachStateKeepsItsOwnTypeLibraryCaches) {
    const GUID lib = platform::com::MakeGuid("{11111111-2222-3333-4444-555555555555}");
    AFX_MODULE_STATE a, b;
    CTypeLibCache* inA = nullptr;
    {
        AFX_MANAGE_STATE(&a);
        inA = AfxGetTypeLibCache(&lib);
        EXPECT_EQ(AfxGetTypeLibCache(&lib), inA);
    }
    AFX_MANAGE_STATE(&b);
    EXPECT_NE(AfxGetTypeLibCache(&lib), inA);
    EXPECT_EQ(AfxGetTypeLibCache(nullptr), nullptr);
}

}  // namespace
}  // namespace ostrel::test
