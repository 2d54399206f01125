#pragma once
// The signer called by name, as hosts call it, and a test fixture that
// checks what it signs with OpenSSL's own command.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "control/OstrelIds.h"
#include "control/OstrelSigner.h"
#include "platform/com/Variant.h"
#include "platform/text/Utf.h"
#include "platform/win/WinError.h"
#include "tests/support/TestSupport.h"

namespace ostrel::test {

struct Answer {
    HRESULT hr = S_OK;
    std::string text;         // the signature text
    long position = 0;        // ChooseCertificate's result
    SCODE scode = 0;          // of an exception
    std::string description;  // of an exception
};

// Calls a method of a new signer by name with string arguments.
inline Answer CallByName(const std::u16string& method, const std::vector<std::string>& args) {
    platform::com::ComPtr<IDispatch> signer;
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

inline Answer Sign(const std::string& text, const std::string& options) {
    return CallByName(u"Sign", {text, options});
}

class SignerFixture : public ::testing::Test {
protected:
    void SetUp() override { m_before = LiveCounts::Now(); }
    void TearDown() override { EXPECT_EQ(LiveCounts::Now(), m_before) << "something left alive"; }

    // openssl cms -verify of a signature text over `content` (the content
    // given beside a detached signature only); its exit status.
    int Verify(const std::string& signatureText, const std::string& content, bool detached,
               bool cades) {
        return VerifyDer(DecodeBase64Text(signatureText), content, detached, cades);
    }
    int VerifyDer(const std::vector<unsigned char>& der, const std::string& content, bool detached,
                  bool cades) {
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

    // What `openssl cms -cmsout -print` says of a message.
    std::string Dump(const std::vector<unsigned char>& der) {
        WriteFile(m_home.Path() / "dump.der", std::string(der.begin(), der.end()));
        return RunCommand("openssl cms -cmsout -print -inform DER -in '" +
                          (m_home.Path() / "dump.der").string() + "'")
            .out;
    }

    // An attached message whose content has one character of `piece` (a
    // part of it in ASCII, as the message carries it) changed.
    static std::vector<unsigned char> WithChangedContent(std::vector<unsigned char> der,
                                                         const std::string& piece) {
        const auto at = std::search(der.begin(), der.end(), piece.begin(), piece.end());
        EXPECT_NE(at, der.end()) << "the content is not in the message";
        if (at != der.end()) *at ^= 0x01;
        return der;
    }

    TempHome m_home;
    LiveCounts m_before{};
};

}  // namespace ostrel::test
