#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "control/OstrelCtrl.h"
#include "control/OstrelDispatch.h"
#include "control/OstrelIds.h"
#include "control/OstrelTypeLib.h"
#include "platform/com/TypeLibRegistry.h"
#include "tests/platform/com/ComTestSupport.h"
#include "tests/platform/crypt/SignedMessages.h"
#include "tests/support/TestSupport.h"

namespace ostrel::test {
namespace {

using platform::com::Bstr;

enum : DISPID {
    kSignMessage = 1,
    kVerifyMessage,
    kGetSubjectName,
    kGetSerialNumber,
    kSignMessageNoPrompt,
    kChooseCertificate,
    kAboutBox = -552,
};

// Every test leaves no string, no object and no cached library behind.
class OstrelDispatch : public ::testing::Test {
protected:
    void SetUp() override {
        OstrelGetTypeLibCache()->Clear();
        m_before = LiveCounts::Now();
        m_objects = platform::com::LiveObjects();
        ASSERT_EQ(CreateOstrelDispatch(m_control, m_disp.Put()), S_OK);
    }
    void TearDown() override {
        m_disp.Reset();
        OstrelGetTypeLibCache()->Clear();
        EXPECT_EQ(LiveCounts::Now(), m_before);
        EXPECT_EQ(platform::com::LiveObjects(), m_objects);
    }

    CallResult Invoke(DISPID id, const std::vector<Variant>& args) {
        return Call(m_disp.Get(), id, args);
    }

    TempHome m_home;
    COstrelCtrl m_control;
    ComPtr<IDispatch> m_disp;
    LiveCounts m_before{};
    long m_objects = 0;
};

TEST_F(OstrelDispatch, EveryNameInAnyCaseYieldsItsIdentifier) {
    const std::pair<std::u16string, DISPID> names[] = {
        {u"SignMessage", kSignMessage},
        {u"VerifyMessage", kVerifyMessage},
        {u"GetSubjectName", kGetSubjectName},
        {u"GetSerialNumber", kGetSerialNumber},
        {u"SignMessageNoPrompt", kSignMessageNoPrompt},
        {u"ChooseCertificate", kChooseCertificate},
        {u"AboutBox", kAboutBox},
    };
    for (const auto& [name, expected] : names) {
        std::u16string lower = name, upper = name;
        for (auto& c : lower) c = c >= u'A' && c <= u'Z' ? char16_t(c + 32) : c;
        for (auto& c : upper) c = c >= u'a' && c <= u'z' ? char16_t(c - 32) : c;
        for (const auto& spelled : {name, lower, upper}) {
            DISPID id = 0;
            EXPECT_EQ(IdOf(m_disp.Get(), spelled, id), S_OK);
            EXPECT_EQ(id, expected);
        }
    }
    for (const std::u16string unknown : {u"SignMessageNoPromp", u"Sign", u"CertIndex", u""}) {
        DISPID id = 0;
        EXPECT_EQ(IdOf(m_disp.Get(), unknown, id), DISP_E_UNKNOWNNAME);
        EXPECT_EQ(id, DISPID_UNKNOWN);
    }
}

TEST_F(OstrelDispatch, SignsByPositionGivenAsNumberTextOrShort) {
    AddToStore(MakeCert());
    for (const Variant& index : {Variant::I4(0), Variant::Str("0"), Variant::Str(" 0 "),
                                 Variant::I2(0), Variant::Bool(false)}) {
        SCOPED_TRACE(Describe(index));
        const CallResult r = Invoke(kSignMessageNoPrompt, {Variant::Str("Pay Ann 100."), index});
        ASSERT_EQ(r.hr, S_OK);
        ASSERT_EQ(r.result.Type(), VT_BSTR);
        const Bstr text(SysAllocString(r.result.Raw().bstrVal));
        EXPECT_FALSE(DecodeBase64Text(text.Utf8()).empty());
    }
    // A position with no certificate: the method's own empty result.
    EXPECT_EQ(Describe(Invoke(kSignMessageNoPrompt, {Variant::Str("x"), Variant::I4(5)}).result),
              "VT_BSTR \"\"");
}

TEST_F(OstrelDispatch, ArgumentsOfTheWrongShapeNeverReachTheControl) {
    struct Case {
        DISPID id;
        std::vector<Variant> args;
        HRESULT hr;
        UINT argErr;
    };
    const Case cases[] = {
        // Text and position the wrong way round: the position is the last argument.
        {kSignMessageNoPrompt, {Variant::I4(0), Variant::Str("text")}, DISP_E_TYPEMISMATCH, 0},
        {kSignMessageNoPrompt,
         {Variant::Str("text"), Variant::Str("first")},
         DISP_E_TYPEMISMATCH,
         0},
        {kSignMessageNoPrompt, {Variant::Str("text"), Variant::Str("1e10")}, DISP_E_OVERFLOW, 0},
        {kSignMessageNoPrompt, {Variant::Null(), Variant::I4(0)}, DISP_E_TYPEMISMATCH, 1},
        {kSignMessageNoPrompt,
         {Variant::Str16(std::u16string(u"a\0b", 3)), Variant::I4(0)},
         DISP_E_TYPEMISMATCH,
         1},
        {kSignMessage, {Variant::Str16(std::u16string(u"cut\0here", 8))}, DISP_E_TYPEMISMATCH, 0},
        {kSignMessage, {Variant::Str16(u"lone \xD83D surrogate")}, DISP_E_TYPEMISMATCH, 0},
        {kVerifyMessage, {Variant::Str16(u"\xDE00")}, DISP_E_TYPEMISMATCH, 0},
        {kSignMessageNoPrompt, {Variant::Str("text")}, DISP_E_PARAMNOTOPTIONAL, ~0u},
        {kSignMessage, {}, DISP_E_PARAMNOTOPTIONAL, ~0u},
        {kVerifyMessage, {Variant::Str("00"), Variant::Str("00")}, DISP_E_BADPARAMCOUNT, ~0u},
        {kChooseCertificate, {Variant::I4(0)}, DISP_E_BADPARAMCOUNT, ~0u},
        {kAboutBox, {Variant::I4(0)}, DISP_E_BADPARAMCOUNT, ~0u},
        {7, {}, DISP_E_MEMBERNOTFOUND, ~0u},
        {0, {}, DISP_E_MEMBERNOTFOUND, ~0u},
    };
    platform::seams::ScopedTrace trace;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.id);
        const CallResult r = Invoke(c.id, c.args);
        EXPECT_EQ(r.hr, c.hr);
        EXPECT_EQ(r.argErr, c.argErr);
        EXPECT_EQ(r.result.Type(), VT_EMPTY);
    }
    // No method ran: none opened a provider or showed a box.
    EXPECT_THAT(
        trace.Filtered({"CryptAcquireContext", "CryptVerifyMessageSignature", "AfxMessageBox"}),
        ::testing::IsEmpty());
}

TEST_F(OstrelDispatch, InspectionResultsCrossAsTheirAutomationTypes) {
    const TestCert cert = MakeCert();
    const std::string hex = Hex(SignCms("Pay Ann Lee 100 crowns.", {{&cert, EVP_md5()}}));

    EXPECT_EQ(Describe(Invoke(kVerifyMessage, {Variant::Str(hex)}).result), "VT_BOOL -1");
    EXPECT_EQ(Describe(Invoke(kVerifyMessage, {Variant::Str("00")}).result), "VT_BOOL 0");
    EXPECT_EQ(Describe(Invoke(kGetSubjectName, {Variant::Str(hex)}).result),
              "VT_BSTR \"C=US, O=Org, CN=Ann Lee, E=ann.lee@example.org\"");
    EXPECT_EQ(Describe(Invoke(kGetSerialNumber, {Variant::Str(hex)}).result),
              "VT_BSTR \"CDAB2301\"");
    // Text of odd length yields the null string, other failures the empty one.
    EXPECT_EQ(Describe(Invoke(kGetSubjectName, {Variant::Str("ABC")}).result), "VT_BSTR null");
    EXPECT_EQ(Describe(Invoke(kGetSubjectName, {Variant::Str("")}).result), "VT_BSTR \"\"");
    EXPECT_EQ(Describe(Invoke(kGetSerialNumber, {Variant::Str("0A")}).result), "VT_BSTR \"\"");
}

TEST_F(OstrelDispatch, PromptingMethodsReturnTheirEmptyValuesWhenNothingIsChosen) {
    AddToStore(MakeCert());
    // The unattended user interface cancels every dialog.
    EXPECT_EQ(Describe(Invoke(kChooseCertificate, {}).result), "VT_I4 -1");
    EXPECT_EQ(Describe(Invoke(kSignMessage, {Variant::Str("text")}).result), "VT_BSTR \"\"");
    const CallResult about = Invoke(kAboutBox, {});
    EXPECT_EQ(about.hr, S_OK);
    EXPECT_EQ(Describe(about.result), "VT_EMPTY");
}

TEST_F(OstrelDispatch, AnEventSinkIsNeverCalled) {
    ComPtr<IConnectionPoint> point;
    ASSERT_EQ(m_disp.As<IConnectionPointContainer>()->FindConnectionPoint(IID__DOstrelEvents,
                                                                          point.Put()),
              S_OK);
    auto sink = CountingSink::Create();
    DWORD cookie = 0;
    ASSERT_EQ(point->Advise(static_cast<IDispatch*>(sink.Get()), &cookie), S_OK);

    AddToStore(MakeCert());
    const TestCert cert = MakeCert();
    const std::string hex = Hex(SignCms("text", {{&cert, EVP_md5()}}));
    Invoke(kSignMessage, {Variant::Str("text")});
    Invoke(kSignMessageNoPrompt, {Variant::Str("text"), Variant::I4(0)});
    Invoke(kVerifyMessage, {Variant::Str(hex)});
    Invoke(kGetSubjectName, {Variant::Str(hex)});
    Invoke(kGetSerialNumber, {Variant::Str("ABC")});
    Invoke(kChooseCertificate, {});
    Invoke(kAboutBox, {});
    EXPECT_EQ(sink->calls, 0);

    EXPECT_EQ(point->Unadvise(cookie), S_OK);
    EXPECT_EQ(point->Unadvise(cookie), CONNECT_E_NOCONNECTION);
    ComPtr<IConnectionPoint> other;
    EXPECT_EQ(
        m_disp.As<IConnectionPointContainer>()->FindConnectionPoint(IID__DOstrel, other.Put()),
        CONNECT_E_NOCONNECTION);
}

TEST_F(OstrelDispatch, TypeAndClassInformationComeFromTheRegisteredLibrary) {
    ComPtr<IDispatch> asDispinterface;
    ASSERT_EQ(m_disp->QueryInterface(IID__DOstrel, asDispinterface.PutVoid()), S_OK);
    EXPECT_EQ(asDispinterface.Get(), m_disp.Get());
    UINT count = 0;
    EXPECT_EQ(m_disp->GetTypeInfoCount(&count), S_OK);
    EXPECT_EQ(count, 1u);
    ComPtr<ITypeInfo> info;
    EXPECT_EQ(m_disp->GetTypeInfo(0, 0x0409, info.Put()), TYPE_E_LIBNOTREGISTERED);

    platform::com::ScopedTypeLibRegistration registration(OstrelTypeLibImage());
    ASSERT_EQ(m_disp->GetTypeInfo(0, 0x0409, info.Put()), S_OK);
    TYPEATTR* attr = nullptr;
    ASSERT_EQ(info->GetTypeAttr(&attr), S_OK);
    EXPECT_EQ(attr->guid, IID__DOstrel);
    EXPECT_EQ(attr->cFuncs, 7);
    info->ReleaseTypeAttr(attr);
    // The identifiers of the library are those the table hands out.
    std::u16string name = u"SignMessageNoPrompt";
    LPOLESTR names[] = {name.data()};
    MEMBERID id = 0;
    EXPECT_EQ(info->GetIDsOfNames(names, 1, &id), S_OK);
    EXPECT_EQ(id, kSignMessageNoPrompt);

    ASSERT_EQ(m_disp.As<IProvideClassInfo>()->GetClassInfo(info.Put()), S_OK);
    ASSERT_EQ(info->GetTypeAttr(&attr), S_OK);
    EXPECT_EQ(attr->guid, CLSID_Ostrel);
    EXPECT_EQ(attr->typekind, TKIND_COCLASS);
    info->ReleaseTypeAttr(attr);
    info.Reset();
    OstrelGetTypeLibCache()->Clear();
}

TEST_F(OstrelDispatch, TheTableIsInItsFixedOrder) {
    const auto& table = OstrelDispatchTable();
    ASSERT_EQ(table.entries.size(), 7u);
    const char* const names[] = {"SignMessage",     "VerifyMessage",       "GetSubjectName",
                                 "GetSerialNumber", "SignMessageNoPrompt", "ChooseCertificate",
                                 "AboutBox"};
    const std::string params[] = {"\x0E", "\x0E", "\x0E", "\x0E", "\x0E\x03", "", ""};
    const VARTYPE results[] = {VT_BSTR, VT_BOOL, VT_BSTR, VT_BSTR, VT_BSTR, VT_I4, VT_EMPTY};
    for (std::size_t i = 0; i < 7; ++i) {
        EXPECT_STREQ(table.entries[i].lpszName, names[i]);
        EXPECT_EQ(table.entries[i].lDispID, i < 6 ? DISPID_UNKNOWN : DISPID_ABOUTBOX);
        EXPECT_EQ(table.entries[i].lpszParams, params[i]);
        EXPECT_EQ(table.entries[i].vt, results[i]);
    }
    EXPECT_EQ(table.pBaseTable, &platform::com::CmdTargetDispatchTable());
    EXPECT_TRUE(table.pBaseTable->entries.empty());
}

}  // namespace
}  // namespace ostrel::test
