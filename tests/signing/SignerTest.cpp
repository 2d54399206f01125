// The signer object called by name, as hosts call it: what it signs is
// checked with OpenSSL's own command, and what it refuses comes back as an
// automation exception with its description and code.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "control/OstrelIds.h"
#include "control/OstrelSigner.h"
#include "platform/com/Variant.h"
#include "platform/text/Utf.h"
#include "platform/win/WinError.h"
#include "tests/support/TestSupport.h"

namespace {

using namespace ostrel::test;
using platform::com::ComPtr;
using ::testing::HasSubstr;

struct Answer {
    HRESULT hr = S_OK;
    std::string text;         // the signature text
    long position = 0;        // ChooseCertificate's result
    SCODE scode = 0;          // of an exception
    std::string description;  // of an exception
};

// Calls a method of a new signer by name with string arguments.
Answer CallByName(const std::u16string& method, const std::vector<std::string>& args) {
    ComPtr<IDispatch> signer;
    EXPECT_EQ(CreateOstrelSigner(IID_IDispatch, signer.PutVoid()), S_OK);
    std::u16string name = method;
    LPOLESTR names[] = {name.data()};
    DISPID id = 0;
    EXPECT_EQ(signer->GetIDsOfNames(IID_NULL, names, 1, 0x0409, &id), S_OK);
    std::vector<VARIANT> variants(args.size());
    for (std::size_t i = 0; i < args.size(); ++i) {
        VARIANT& v = variants[args.size() - 1 - i];  // last first
        VariantInit(&v);
        const std::u16string wide = platform::com::Utf8ToUtf16(args[i]);
        v.vt = VT_BSTR;
        v.bstrVal = SysAllocStringLen(wide.data(), UINT(wide.size()));
    }
    DISPPARAMS params{variants.data(), nullptr, UINT(variants.size()), 0};
    VARIANT result;
    VariantInit(&result);
    EXCEPINFO info{};
    Answer a;
    a.hr = signer->Invoke(id, IID_NULL, 0x0409, DISPATCH_METHOD, &params, &result, &info, nullptr);
    if (result.vt == VT_BSTR && result.bstrVal != nullptr)
        a.text = platform::com::Utf16ToUtf8({result.bstrVal, SysStringLen(result.bstrVal)});
    if (result.vt == VT_I4) a.position = result.lVal;
    a.scode = info.scode;
    if (info.bstrDescription != nullptr)
        a.description =
            platform::com::Utf16ToUtf8({info.bstrDescription, SysStringLen(info.bstrDescription)});
    SysFreeString(info.bstrDescription);
    SysFreeString(info.bstrSource);
    SysFreeString(info.bstrHelpFile);
    VariantClear(&result);
    for (auto& v : variants) VariantClear(&v);
    return a;
}

Answer Sign(const std::string& text, const std::string& options) {
    return CallByName(u"Sign", {text, options});
}

class Signer : public ::testing::Test {
protected:
    void SetUp() override { m_before = LiveCounts::Now(); }
    void TearDown() override { EXPECT_EQ(LiveCounts::Now(), m_before) << "something left alive"; }

    // openssl cms -verify of a signature text over `content` (the content
    // given beside a detached signature only); its exit status.
    int Verify(const std::string& signatureText, const std::string& content, bool detached,
               bool cades) {
        const auto der = DecodeBase64Text(signatureText);
        WriteFile(m_home.Path() / "sig.der", std::string(der.begin(), der.end()));
        WriteFile(m_home.Path() / "content.txt", content);
        std::string command = "openssl cms -verify -binary -inform DER -in '" +
                              (m_home.Path() / "sig.der").string() + "' -out '" +
                              (m_home.Path() / "out.txt").string() + "'";
        // CAdES checks the signer's certificate too: the self-signed one is
        // the trust anchor.
        if (cades)
            command += " -cades -purpose any -CAfile '" + (m_home.Path() / "ca.pem").string() + "'";
        else
            command += " -noverify";
        if (detached) command += " -content '" + (m_home.Path() / "content.txt").string() + "'";
        const CommandResult r = RunCommand(command + " 2>&1");
        const int status = r.status;
        if (status != 0) std::fprintf(stderr, "%s", r.out.c_str());  // why, for the log
        if (status == 0 && !detached) {
            EXPECT_EQ(ReadFile(m_home.Path() / "out.txt"), content);
        }
        return status;
    }

    TempHome m_home;
    LiveCounts m_before{};
};

TEST_F(Signer, RsaSignaturesOfEveryDigestAndFormatVerifyAndAChangedTextDoesNot) {
    const TestCert cert = MakeCert();
    AddToStore(cert);
    WriteFile(m_home.Path() / "ca.pem", cert.CertPem());
    const std::string text = "Pay 100 to Bob, Grüße";
    for (const char* digest : {"SHA-256", "SHA-384", "SHA-512"})
        for (const char* format : {"CMS", "CAdES-B"})
            for (const bool detached : {true, false}) {
                const std::string options = std::string(R"({"certificate": 0, "digest": ")") +
                                            digest + R"(", "format": ")" + format +
                                            R"(", "detached": )" + (detached ? "true" : "false") +
                                            "}";
                SCOPED_TRACE(options);
                const Answer a = Sign(text, options);
                ASSERT_EQ(a.hr, S_OK) << a.description;
                const bool cades = std::string(format) != "CMS";
                EXPECT_EQ(Verify(a.text, text, detached, cades), 0);
                if (detached) {
                    EXPECT_NE(Verify(a.text, text + " ", detached, cades), 0);
                }
            }
}

TEST_F(Signer, TheTextHasTheControlsLineRuleAndCarriesTheAttributesOfItsFormat) {
    AddToStore(MakeCert());
    const Answer cms = Sign("text", R"({"certificate": 0})");
    ASSERT_EQ(cms.hr, S_OK) << cms.description;
    // A break after the first four characters, then after every 76.
    EXPECT_EQ(cms.text.substr(4, 2), "\r\n");
    EXPECT_EQ(cms.text.substr(6 + 76, 2), "\r\n");
    const auto cmsDer = DecodeBase64Text(cms.text);
    WriteFile(m_home.Path() / "cms.der", std::string(cmsDer.begin(), cmsDer.end()));
    const std::string cmsDump = RunCommand("openssl cms -cmsout -print -inform DER -in '" +
                                           (m_home.Path() / "cms.der").string() + "'")
                                    .out;
    EXPECT_THAT(cmsDump, HasSubstr("signingTime"));
    EXPECT_THAT(cmsDump, HasSubstr("sha256"));
    EXPECT_THAT(cmsDump, ::testing::Not(HasSubstr("id-smime-aa-signingCertificateV2")));

    const Answer cades = Sign("text", R"({"certificate": 0, "format": "CAdES-B"})");
    ASSERT_EQ(cades.hr, S_OK) << cades.description;
    const auto der = DecodeBase64Text(cades.text);
    WriteFile(m_home.Path() / "cades.der", std::string(der.begin(), der.end()));
    const std::string dump = RunCommand("openssl cms -cmsout -print -inform DER -in '" +
                                        (m_home.Path() / "cades.der").string() + "'")
                                 .out;
    EXPECT_THAT(dump, HasSubstr("id-smime-aa-signingCertificateV2"));
    EXPECT_THAT(dump, HasSubstr("signingTime"));
}

TEST_F(Signer, BadOptionsAreInvalidArgumentsThatSayWhatIsWrong) {
    AddToStore(MakeCert());
    struct Case {
        const char* options;
        const char* says;
    };
    for (const Case& c : {
             Case{"{", "not JSON"},
             Case{R"({"certificate": 0, "color": 1})", "\"color\" is unknown"},
             Case{R"({"certificate": 0, "digest": "MD5"})", "\"MD5\" is not offered"},
             Case{R"({"certificate": 0, "digest": "SHA-1"})", "\"SHA-1\" is not offered"},
             Case{R"({"certificate": "0"})", "not \"0\""},
             Case{R"({"certificate": 1})", "no certificate at position 1"},
             Case{R"({"certificate": 70000})", "no certificate at position 70000"},
         }) {
        SCOPED_TRACE(c.options);
        const Answer a = Sign("text", c.options);
        EXPECT_EQ(a.hr, DISP_E_EXCEPTION);
        EXPECT_EQ(a.scode, HRESULT(E_INVALIDARG));
        EXPECT_THAT(a.description, HasSubstr(c.says));
        EXPECT_TRUE(a.text.empty());
    }
    // The chooser refuses the same options the same way.
    const Answer chooser = CallByName(u"ChooseCertificate", {R"({"filter": {"age": 3}})"});
    EXPECT_EQ(chooser.hr, DISP_E_EXCEPTION);
    EXPECT_EQ(chooser.scode, HRESULT(E_INVALIDARG));
    EXPECT_THAT(chooser.description, HasSubstr("\"filter.age\" is unknown"));
}

TEST_F(Signer, FailuresWhileSigningCarryAnotherCodeAndNoSignature) {
    AddToStore(MakeCert({.notBeforeDays = -30, .notAfterDays = -1}));
    AddToStore(MakeCert(), false);  // no key
    const Answer expired = Sign("text", R"({"certificate": 0})");
    EXPECT_EQ(expired.hr, DISP_E_EXCEPTION);
    EXPECT_NE(expired.scode, HRESULT(E_INVALIDARG));
    EXPECT_THAT(expired.description, HasSubstr("position 0 has expired"));
    const Answer keyless = Sign("text", R"({"certificate": 1})");
    EXPECT_EQ(keyless.hr, DISP_E_EXCEPTION);
    EXPECT_NE(keyless.scode, HRESULT(E_INVALIDARG));
    EXPECT_NE(keyless.scode, 0);
    EXPECT_THAT(keyless.description, HasSubstr("The text cannot be signed"));
}

TEST_F(Signer, WithoutAPositionTheUserChoosesAndCancellingSignsNothing) {
    AddToStore(MakeCert());
    // No user interface here: the chooser cannot be shown, nothing is chosen.
    const Answer a = Sign("text", "{}");
    EXPECT_EQ(a.hr, DISP_E_EXCEPTION);
    EXPECT_NE(a.scode, HRESULT(E_INVALIDARG));
    EXPECT_THAT(a.description, HasSubstr("No certificate was chosen"));
    EXPECT_EQ(CallByName(u"ChooseCertificate", {""}).position, -1);
}

}  // namespace
