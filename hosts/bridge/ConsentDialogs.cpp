#include "hosts/bridge/ConsentDialogs.h"

#include <cstdio>

#include "common/StorePositions.h"
#include "platform/crypt/WinCrypt.h"
#include "platform/text/Utf.h"
#include "platform/ui/Backend.h"
#include "platform/ui/Dialog.h"
#include "platform/ui/WinUser.h"

namespace ostrel::bridge {

namespace {

using platform::ui::DialogItemTemplate;
using platform::ui::DialogTemplate;

constexpr int kConsentPurpose = 1111;
constexpr int kConsentAdvice = 1113;

constexpr DWORD kLabel = WS_CHILD | WS_VISIBLE | SS_LEFT;
constexpr DWORD kButton = WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON;
// Enter gives the answer that lets nothing happen.
constexpr DWORD kSafeButton = WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON;
constexpr DWORD kFrame = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT;

// The origin and domain labels are one line high here; a backend that draws
// grows them to their text and moves what lies below.
constexpr DialogItemTemplate kConsentItems[] = {
    {kLabel, 0, 7, 7, 306, 8, -1, WC_STATIC,
     "A web page asks to use the certificates of your personal store:", 0},
    {kLabel, 0, 7, 19, 306, 10, kConsentOrigin, WC_STATIC, "", 0},
    {kLabel, 0, 7, 31, 306, 10, kConsentDomain, WC_STATIC, "", 0},
    {kLabel, 0, 7, 45, 306, 18, kConsentPurpose, WC_STATIC, "", 0},
    {kLabel, 0, 7, 65, 306, 10, kConsentAdvice, WC_STATIC, "", 0},
    // The safe answer first, so that it has the focus when the dialog opens.
    {kSafeButton, 0, 257, 80, 56, 14, kDenyButton, WC_BUTTON, "Deny", 0},
    {kButton, 0, 7, 80, 56, 14, kAllowOnceButton, WC_BUTTON, "Allow once", 0},
    {kButton, 0, 68, 80, 112, 14, kAlwaysButton, WC_BUTTON, "Always allow for this site", 0},
    {kButton, 0, 185, 80, 67, 14, kBlockButton, WC_BUTTON, "Block this site", 0},
};

constexpr DialogTemplate kConsentTemplate = {
    kFrame,
    0,
    0,
    0,
    320,
    101,
    "Allow this site to use your certificates?",
    8,
    "MS Sans Serif",
    kConsentItems,
};

constexpr DialogItemTemplate kConfirmItems[] = {
    {kLabel, 0, 7, 7, 306, 8, -1, WC_STATIC,
     "A web page asks to sign a text with your certificate:", 0},
    {kLabel, 0, 7, 19, 306, 10, kConfirmOrigin, WC_STATIC, "", 0},
    {kLabel, 0, 7, 31, 306, 10, kConfirmDomain, WC_STATIC, "", 0},
    {kLabel, 0, 7, 45, 50, 8, -1, WC_STATIC, "Certificate:", 0},
    {kLabel, 0, 60, 45, 253, 18, kConfirmSubject, WC_STATIC, "", 0},
    {kLabel, 0, 7, 66, 306, 8, -1, WC_STATIC, "The text to be signed:", 0},
    {WS_CHILD | WS_VISIBLE | WS_BORDER | WS_VSCROLL | ES_MULTILINE | ES_READONLY, 0, 7, 77, 306,
     100, kConfirmText, WC_EDIT, "", 0},
    {kLabel, 0, 7, 180, 306, 18, kConfirmExtent, WC_STATIC, "", 0},
    {kSafeButton, 0, 257, 202, 56, 14, kDontSignButton, WC_BUTTON, "Don't sign", 0},
    {kButton, 0, 7, 202, 56, 14, kSignButton, WC_BUTTON, "Sign", 0},
    {kButton, 0, 68, 202, 67, 14, kBlockSignerButton, WC_BUTTON, "Block this site", 0},
};

constexpr DialogTemplate kConfirmTemplate = {
    kFrame, 0, 0, 0, 320, 223, "Sign this text?", 8, "MS Sans Serif", kConfirmItems,
};

// A dialog whose buttons end it with their own identifiers, whose labels are
// filled from `texts` (identifier, text) when it opens, and whose controls
// `hidden` are not shown.
class QuestionDialog : public CDialog {
public:
    QuestionDialog(const DialogTemplate& tmpl, std::vector<std::pair<int, CString>> texts,
                   std::vector<int> hidden)
        : m_texts(std::move(texts)), m_hidden(std::move(hidden)) {
        InitModalIndirect(&tmpl);
    }

protected:
    BOOL OnInitDialog() override {
        if (!CDialog::OnInitDialog()) return FALSE;
        for (int id : m_hidden)
            if (CWnd* item = GetDlgItem(id)) item->ShowWindow(SW_HIDE);
        return TRUE;
    }
    void DoDataExchange(CDataExchange* pDX) override {
        for (auto& [id, text] : m_texts) DDX_Text(pDX, id, text);
    }
    // "Allow once" and "Sign" (Enter is taken by the default button).
    void OnOK() override { EndDialog(IDOK); }

    void OnAlways() { EndDialog(kAlwaysButton); }
    void OnDeny() { EndDialog(kDenyButton); }
    void OnBlock() { EndDialog(kBlockButton); }
    void OnDontSign() { EndDialog(kDontSignButton); }

private:
    std::vector<std::pair<int, CString>> m_texts;
    std::vector<int> m_hidden;

    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(QuestionDialog, CDialog)
ON_COMMAND(kAlwaysButton, OnAlways)
ON_COMMAND(kDenyButton, OnDeny)
ON_COMMAND(kBlockButton, OnBlock)
ON_COMMAND(kBlockSignerButton, OnBlock)
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

Answer Ask(const DialogTemplate& tmpl, std::vector<std::pair<int, CString>> texts,
           std::vector<int> hidden = {}) {
    if (auto why = NobodyThere()) return {Answer::Kind::NobodyToAsk, *why};
    QuestionDialog dialog(tmpl, std::move(texts), std::move(hidden));
    switch (dialog.DoModal()) {
        case IDOK:
            return {Answer::Kind::Once, {}};
        case kAlwaysButton:
            return {Answer::Kind::Always, {}};
        case kDenyButton:
        case kDontSignButton:
            return {Answer::Kind::Deny, {}};
        case kBlockButton:
            return {Answer::Kind::Block, {}};
        case -1:
            return {Answer::Kind::NobodyToAsk, "the question could not be shown"};
        default:
            return {Answer::Kind::Dismissed, {}};
    }
}

void AppendCodePoint(std::string& out, char32_t code) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "\u27E8U+%04lX\u27E9", static_cast<unsigned long>(code));
    out += buf;
}

// Characters that show nothing, or change how what is around them shows:
// controls, format and bidirectional marks, blanks other than the space,
// fillers and variation selectors.
bool Hidden(char32_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0xA0) || c == 0xAD || c == 0x034F || c == 0x061C ||
           c == 0x115F || c == 0x1160 || c == 0x17B4 || c == 0x17B5 || c == 0x180E ||
           (c >= 0x2000 && c <= 0x200F) || (c >= 0x2028 && c <= 0x202F) ||
           (c >= 0x205F && c <= 0x206F) || c == 0x3000 || c == 0x3164 ||
           (c >= 0xFE00 && c <= 0xFE0F) || c == 0xFEFF || c == 0xFFA0 ||
           (c >= 0xFFF9 && c <= 0xFFFB) || (c >= 0x1D173 && c <= 0x1D17A) ||
           (c >= 0xE0000 && c <= 0xE0FFF);
}

std::string Counted(std::size_t n) {
    std::string digits = std::to_string(n);
    for (std::size_t i = digits.size(); i > 3; i -= 3) digits.insert(i - 3, ",");
    return digits;
}

// A run longer than this shows as its count.
constexpr std::size_t kLongRun = 8;
constexpr std::size_t kLongBreaks = 3;

}  // namespace

std::string WrappedOrigin(std::string_view origin) {
    std::string out;
    while (origin.size() > kOriginLine) {
        std::size_t cut = origin.substr(0, kOriginLine).find_last_of("./-");
        cut = cut == std::string_view::npos || cut < kOriginLine / 2 ? kOriginLine : cut + 1;
        out.append(origin.substr(0, cut)).append("\n");
        origin.remove_prefix(cut);
    }
    return out.append(origin);
}

std::string DomainLine(std::string_view origin) {
    const std::string domain = RegistrableDomain(origin);
    const bool address =
        domain.starts_with("[") || domain.find_first_not_of("0123456789.") == std::string::npos;
    return (address ? "Address: " : "Domain: ") + domain;
}

TextShown ShowText(std::string_view text) {
    TextShown out;
    std::size_t at = 0;
    while (at < text.size() && out.shown < kShownCharacters) {
        const platform::com::Utf8Char d = platform::com::DecodeUtf8(text, at);
        if (!d.valid) {
            char buf[16];
            std::snprintf(buf, sizeof buf, "\u27E80x%02X\u27E9", unsigned(d.code));
            out.text += buf;
            at += 1;
            ++out.shown;
        } else if (d.code == ' ' || d.code == '\t') {
            std::size_t run = 0;
            while (at + run < text.size() && text[at + run] == char(d.code)) ++run;
            const char* mark = d.code == ' ' ? "\u2423" : "\u21E5";
            if (d.code == ' ' && run == 1)
                out.text += ' ';
            else if (run <= kLongRun)
                for (std::size_t i = 0; i < run; ++i) out.text += mark;
            else
                out.text += std::string(mark) + "\u27E8" + Counted(run) +
                            (d.code == ' ' ? " spaces" : " tabs") + "\u27E9";
            at += run;
            out.shown += run;
        } else if (d.code == '\n' || d.code == '\r') {
            // A run of line breaks: LF, CR LF or a lone CR each.
            std::string first;
            std::size_t breaks = 0;
            std::string marks;
            while (at < text.size() && (text[at] == '\n' || text[at] == '\r')) {
                const bool crlf = text[at] == '\r' && at + 1 < text.size() && text[at + 1] == '\n';
                const std::string mark = crlf               ? "\u240D\u21B5"
                                         : text[at] == '\r' ? "\u240D"
                                                            : "\u21B5";
                if (breaks == 0) first = mark;
                marks += mark + "\n";
                ++breaks;
                const std::size_t length = crlf ? 2 : 1;
                at += length;
                out.shown += length;
            }
            out.text += breaks <= kLongBreaks
                            ? marks
                            : first + "\u27E8" + Counted(breaks) + " line breaks\u27E9\n";
        } else if (Hidden(d.code)) {
            AppendCodePoint(out.text, d.code);
            at += d.length;
            ++out.shown;
        } else {
            out.text.append(text.substr(at, d.length));
            at += d.length;
            ++out.shown;
        }
    }
    out.characters = out.shown;
    for (; at < text.size(); ++at)
        if ((static_cast<unsigned char>(text[at]) & 0xC0) != 0x80) ++out.characters;
    return out;
}

std::string ExtentLine(const TextShown& shown) {
    const std::string legend =
        "\u2423 is a space in a run, \u21E5 a tab, \u21B5 a line break, \u27E8\u2026\u27E9 a "
        "character that shows nothing.";
    if (shown.shown >= shown.characters)
        return "All " + Counted(shown.characters) + " characters are shown. " + legend;
    return "Only the first " + Counted(shown.shown) + " of " + Counted(shown.characters) +
           " characters are shown; all of them would be signed. " + legend;
}

namespace {

// The subject of a store entry as the chooser names it.
std::string SubjectOf(PCCERT_CONTEXT cert) {
    if (cert->cbCertEncoded == 0 || cert->pCertInfo == nullptr)
        return "an entry of your personal store that cannot be read";
    const DWORD size = CertNameToStrA(X509_ASN_ENCODING, &cert->pCertInfo->Subject,
                                      CERT_X500_NAME_STR, nullptr, 0);
    std::string name(size, '\0');
    CertNameToStrA(X509_ASN_ENCODING, &cert->pCertInfo->Subject, CERT_X500_NAME_STR, name.data(),
                   size);
    name.resize(name.find('\0') == std::string::npos ? name.size() : name.find('\0'));
    return name.empty() ? "a certificate without a subject" : name;
}

}  // namespace

std::string SubjectAt(long index) {
    const std::string none =
        "no certificate at position " + std::to_string(index) + " of your personal store";
    if (index < 0) return none;
    HCERTSTORE store = CertOpenSystemStoreA(0, "MY");
    if (store == nullptr) return "your personal store cannot be opened";
    std::string subject = none;
    if (PCCERT_CONTEXT cert = CertificateAtPosition(store, index); cert != nullptr) {
        subject = SubjectOf(cert);
        CertFreeCertificateContext(cert);
    }
    CertCloseStore(store, 0);
    return subject;
}

Answer DialogUser::AskConsent(const std::string& origin, std::string_view method) {
    const std::string purpose =
        method == "ChooseCertificate" || method == "Signer.ChooseCertificate"
            ? "It wants you to choose one of your certificates."
            : "It wants you to choose a certificate and sign a text with "
              "it.";
    const bool shared = IsSharedLoopback(origin);
    const std::string advice = shared ? "It is asked every time: any user of this computer "
                                        "could serve a page there."
                                      : "Allow only sites you know and trust.";
    return Ask(kConsentTemplate,
               {{kConsentOrigin, CString(WrappedOrigin(origin))},
                {kConsentDomain, CString(DomainLine(origin))},
                {kConsentPurpose, CString(purpose)},
                {kConsentAdvice, CString(advice)}},
               shared ? std::vector<int>{kAlwaysButton} : std::vector<int>{});
}

Answer DialogUser::ConfirmSigning(const std::string& origin, long index, std::string_view text) {
    if (auto why = NobodyThere()) return {Answer::Kind::NobodyToAsk, *why};
    const TextShown shown = ShowText(text);
    return Ask(kConfirmTemplate, {{kConfirmOrigin, CString(WrappedOrigin(origin))},
                                  {kConfirmDomain, CString(DomainLine(origin))},
                                  {kConfirmSubject, CString(SubjectAt(index))},
                                  {kConfirmText, CString(shown.text)},
                                  {kConfirmExtent, CString(ExtentLine(shown))}});
}

}  // namespace ostrel::bridge
