#include "hosts/bridge/ConsentDialogs.h"

#include <cstdio>

#include "platform/crypt/WinCrypt.h"
#include "platform/ui/Backend.h"
#include "platform/ui/Dialog.h"
#include "platform/ui/WinUser.h"

namespace ostrel::bridge {

namespace {

using platform::ui::DialogItemTemplate;
using platform::ui::DialogTemplate;

constexpr int kConsentPurpose = 1111;

constexpr DWORD kLabel = WS_CHILD | WS_VISIBLE | SS_LEFT;
constexpr DWORD kButton = WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON;
// Enter gives the answer that lets nothing happen.
constexpr DWORD kSafeButton = WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON;
constexpr DWORD kFrame = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT;

constexpr DialogItemTemplate kConsentItems[] = {
    {kLabel, 0, 7, 7, 266, 8, -1, WC_STATIC,
     "A web page asks to use the certificates of your personal store:", 0},
    {kLabel, 0, 7, 19, 266, 18, kConsentOrigin, WC_STATIC, "", 0},
    {kLabel, 0, 7, 40, 266, 18, kConsentPurpose, WC_STATIC, "", 0},
    {kLabel, 0, 7, 60, 266, 8, -1, WC_STATIC, "Allow only sites you know and trust.", 0},
    // The safe answer first, so that it has the focus when the dialog opens.
    {kSafeButton, 0, 213, 76, 60, 14, kDenyButton, WC_BUTTON, "Deny", 0},
    {kButton, 0, 7, 76, 60, 14, kAllowOnceButton, WC_BUTTON, "Allow once", 0},
    {kButton, 0, 72, 76, 130, 14, kAlwaysButton, WC_BUTTON, "Always allow for this site", 0},
};

constexpr DialogTemplate kConsentTemplate = {
    kFrame,
    0,
    0,
    0,
    280,
    97,
    "Allow this site to use your certificates?",
    8,
    "MS Sans Serif",
    kConsentItems,
};

constexpr DialogItemTemplate kConfirmItems[] = {
    {kLabel, 0, 7, 7, 286, 8, -1, WC_STATIC,
     "A web page asks to sign a text with your certificate:", 0},
    {kLabel, 0, 7, 19, 286, 18, kConfirmOrigin, WC_STATIC, "", 0},
    {kLabel, 0, 7, 40, 50, 8, -1, WC_STATIC, "Certificate:", 0},
    {kLabel, 0, 60, 40, 233, 18, kConfirmSubject, WC_STATIC, "", 0},
    {kLabel, 0, 7, 61, 286, 8, -1, WC_STATIC, "The text to be signed:", 0},
    {WS_CHILD | WS_VISIBLE | WS_BORDER | WS_VSCROLL | ES_MULTILINE | ES_READONLY, 0, 7, 72, 286, 70,
     kConfirmText, WC_EDIT, "", 0},
    {kSafeButton, 0, 233, 150, 60, 14, kDontSignButton, WC_BUTTON, "Don't sign", 0},
    {kButton, 0, 7, 150, 60, 14, kSignButton, WC_BUTTON, "Sign", 0},
};

constexpr DialogTemplate kConfirmTemplate = {
    kFrame, 0, 0, 0, 300, 171, "Sign this text?", 8, "MS Sans Serif", kConfirmItems,
};

// A dialog whose buttons end it with their own identifiers, and whose labels
// are filled from `texts` (identifier, text) when it opens.
class QuestionDialog : public CDialog {
public:
    QuestionDialog(const DialogTemplate& tmpl, std::vector<std::pair<int, CString>> texts)
        : m_texts(std::move(texts)) {
        InitModalIndirect(&tmpl);
    }

protected:
    void DoDataExchange(CDataExchange* pDX) override {
        for (auto& [id, text] : m_texts) DDX_Text(pDX, id, text);
    }
    // "Allow once" and "Sign" (Enter is taken by the default button).
    void OnOK() override { EndDialog(IDOK); }

    void OnAlways() { EndDialog(kAlwaysButton); }
    void OnDeny() { EndDialog(kDenyButton); }
    void OnDontSign() { EndDialog(kDontSignButton); }

private:
    std::vector<std::pair<int, CString>> m_texts;

    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(QuestionDialog, CDialog)
ON_COMMAND(kAlwaysButton, OnAlways)
ON_COMMAND(kDenyButton, OnDeny)
ON_COMMAND(kDontSignButton, OnDontSign)
END_MESSAGE_MAP()

// Why no one can be asked through the backend that runs, or nothing.
std::optional<std::string> NobodyThere() {
    const std::string_view backend = platform::ui::CurrentBackend().Name();
    if (backend == "none")
        return std::string(
            "no user interface is available to ask you: no display, or "
            "OSTREL_UI=none");
    // The terminal interface reads standard input, which is the browser's pipe.
    if (backend == "tty")
        return std::string("the terminal interface cannot ask you: the browser holds the input");
    return std::nullopt;
}

Answer Ask(const DialogTemplate& tmpl, std::vector<std::pair<int, CString>> texts) {
    if (auto why = NobodyThere()) return {Answer::Kind::NobodyToAsk, *why};
    QuestionDialog dialog(tmpl, std::move(texts));
    switch (dialog.DoModal()) {
        case IDOK:
            return {Answer::Kind::Once, {}};
        case kAlwaysButton:
            return {Answer::Kind::Always, {}};
        case kDenyButton:
        case kDontSignButton:
            return {Answer::Kind::Deny, {}};
        case -1:
            return {Answer::Kind::NobodyToAsk, "the question could not be shown"};
        default:
            return {Answer::Kind::Dismissed, {}};
    }
}

void AppendEscape(std::string& out, unsigned long code) {
    char buf[32];
    if (code < 0x80)
        std::snprintf(buf, sizeof buf, "\\x%02lX", code);
    else
        std::snprintf(buf, sizeof buf, "\\u{%04lX}", code);
    out += buf;
}

// Characters that would hide or reorder what is around them.
bool Invisible(unsigned long code) {
    return (code >= 0x80 && code <= 0x9F) || code == 0x061C || (code >= 0x200B && code <= 0x200F) ||
           (code >= 0x2028 && code <= 0x202E) || (code >= 0x2060 && code <= 0x2069) ||
           code == 0xFEFF;
}

}  // namespace

std::string PreviewText(std::string_view text) {
    std::string out;
    std::size_t shown = 0;
    std::size_t at = 0;
    while (at < text.size() && shown < kPreviewCharacters) {
        const auto byte = static_cast<unsigned char>(text[at]);
        std::size_t length = byte < 0x80 ? 1 : byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : 2;
        unsigned long code = byte;
        bool valid = byte < 0x80 || (byte >= 0xC2 && byte <= 0xF4);
        if (valid && length > 1) {
            if (at + length > text.size()) valid = false;
            code = byte & (0xFF >> (length + 1));
            for (std::size_t i = 1; valid && i < length; ++i) {
                const auto next = static_cast<unsigned char>(text[at + i]);
                if ((next & 0xC0) != 0x80) valid = false;
                code = code << 6 | (next & 0x3F);
            }
        }
        if (!valid) {
            // Not UTF-8: the byte, written out.
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02X", unsigned(byte));
            out += buf;
            at += 1;
        } else if (code == '\r' && at + 1 < text.size() && text[at + 1] == '\n') {
            at += 1;  // the line break follows
            continue;
        } else if (code == '\n' || code == '\t') {
            out += char(code);
            at += 1;
        } else if (code < 0x20 || code == 0x7F || Invisible(code)) {
            AppendEscape(out, code);
            at += length;
        } else {
            out.append(text.substr(at, length));
            at += length;
        }
        ++shown;
    }
    if (at < text.size()) {
        std::size_t more = 0;
        for (; at < text.size(); ++at)
            if ((static_cast<unsigned char>(text[at]) & 0xC0) != 0x80) ++more;
        out += "\xE2\x80\xA6\n(and " + std::to_string(more) + " more character" +
               (more == 1 ? "" : "s") + ")";
    }
    return out;
}

std::string SubjectAt(long index) {
    const std::string none =
        "no certificate at position " + std::to_string(index) + " of your personal store";
    if (index < 0) return none;
    HCERTSTORE store = CertOpenSystemStoreA(0, "MY");
    if (store == nullptr) return "your personal store cannot be opened";
    std::string subject = none;
    long position = 0;
    for (PCCERT_CONTEXT cert = nullptr;
         (cert = CertEnumCertificatesInStore(store, cert)) != nullptr; ++position) {
        if (position != index) continue;
        if (cert->cbCertEncoded == 0 || cert->pCertInfo == nullptr) {
            subject = "an entry of your personal store that cannot be read";
        } else {
            const DWORD size = CertNameToStrA(X509_ASN_ENCODING, &cert->pCertInfo->Subject,
                                              CERT_X500_NAME_STR, nullptr, 0);
            std::string name(size, '\0');
            CertNameToStrA(X509_ASN_ENCODING, &cert->pCertInfo->Subject, CERT_X500_NAME_STR,
                           name.data(), size);
            name.resize(name.find('\0') == std::string::npos ? name.size() : name.find('\0'));
            subject = name.empty() ? "a certificate without a subject" : name;
        }
        CertFreeCertificateContext(cert);
        break;
    }
    CertCloseStore(store, 0);
    return subject;
}

Answer DialogUser::AskConsent(const std::string& origin, std::string_view method) {
    const std::string purpose = method == "ChooseCertificate"
                                    ? "It wants you to choose one of your certificates."
                                    : "It wants you to choose a certificate and sign a text with "
                                      "it.";
    return Ask(kConsentTemplate,
               {{kConsentOrigin, CString(origin)}, {kConsentPurpose, CString(purpose)}});
}

Answer DialogUser::ConfirmSigning(const std::string& origin, long index, std::string_view text) {
    if (auto why = NobodyThere()) return {Answer::Kind::NobodyToAsk, *why};
    return Ask(kConfirmTemplate, {{kConfirmOrigin, CString(origin)},
                                  {kConfirmSubject, CString(SubjectAt(index))},
                                  {kConfirmText, CString(PreviewText(text))}});
}

}  // namespace ostrel::bridge
