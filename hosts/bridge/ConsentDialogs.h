#pragma once
// The questions the bridge asks the user before a page may use their
// certificates, shown by whichever user interface backend runs (OSTREL_UI).
//
// The consent dialog, before ChooseCertificate and SignMessage of a site that
// is not always allowed ("Allow this site to use your certificates?"):
//   kAllowOnceButton   IDOK  "Allow once": this call goes ahead
//   kAlwaysButton      1102  "Always allow for this site": stored, goes ahead
//                            (hidden for sites that are asked every time)
//   kDenyButton        1103  "Deny" (also Enter): the call is refused
//   kBlockButton       1104  "Block this site": stored, refused from now on
//   kConsentOrigin     1110  the site's whole origin, wrapped (WrappedOrigin)
//   kConsentDomain     1112  the domain a person must read (DomainLine)
//
// The confirmation, before each SignMessageNoPrompt of a site that may not
// sign without asking ("Sign this text?"):
//   kSignButton        IDOK  "Sign"
//   kDontSignButton    1202  "Don't sign" (also Enter)
//   kBlockSignerButton 1204  "Block this site"
//   kConfirmOrigin     1210  the site's whole origin, wrapped
//   kConfirmSubject    1211  the subject of the certificate it names
//   kConfirmText       1212  the text, scrollable, white space and invisible
//                            characters made visible (ShowText)
//   kConfirmExtent     1213  how much of the text is shown (ExtentLine)
//   kConfirmDomain     1214  the domain a person must read
//
// Escape or the close box ends either dialog without an answer. A script
// answers them with "ok", "click 1102", "click 1103", "click 1104",
// "click 1202", "click 1204" or "escape". The affirmative answer is IDOK so
// that one script serves the question and the control's chooser after it:
// the chooser is in the control's module, which reads OSTREL_UI_SCRIPT on its
// own, so with "select 0; ok" the question passes over "select 0" and answers
// "ok", and the chooser selects the first row and answers "ok", call after
// call.

#include <string>
#include <string_view>

#include "hosts/bridge/Session.h"

namespace ostrel::bridge {

inline constexpr int kAllowOnceButton = 1;  // IDOK
inline constexpr int kAlwaysButton = 1102;
inline constexpr int kDenyButton = 1103;
inline constexpr int kBlockButton = 1104;
inline constexpr int kConsentOrigin = 1110;
inline constexpr int kConsentDomain = 1112;

inline constexpr int kSignButton = 1;  // IDOK
inline constexpr int kDontSignButton = 1202;
inline constexpr int kConfirmOrigin = 1210;
inline constexpr int kConfirmSubject = 1211;
inline constexpr int kConfirmText = 1212;
inline constexpr int kConfirmExtent = 1213;
inline constexpr int kConfirmDomain = 1214;
inline constexpr int kBlockSignerButton = 1204;

// The origin in lines of at most kOriginLine characters, broken after a dot,
// hyphen or slash where one is near the end of the line: every character
// stays, in its place.
inline constexpr std::size_t kOriginLine = 40;
std::string WrappedOrigin(std::string_view origin);

// "Domain: bank.example", or "Address: 127.0.0.1" for an IP address.
std::string DomainLine(std::string_view origin);

// The text to be signed as the confirmation shows it. Nothing may hide part
// of it: a space in a run shows as U+2423, a tab as U+21E5, a line break as
// U+21B5 (a carriage return as U+240D) before the break itself, long runs of
// these as a count ("<120 spaces>" in angle brackets U+27E8/U+27E9), and
// control, format, bidirectional and blank characters as their code point
// ("<U+202E>"); bytes that are not UTF-8 as "<0xNN>". Huge texts are shown to
// their first kShownCharacters characters; ExtentLine says so.
inline constexpr std::size_t kShownCharacters = 100'000;
struct TextShown {
    std::string text;
    std::size_t characters = 0;  // in the whole text
    std::size_t shown = 0;       // of those, how many `text` shows
};
TextShown ShowText(std::string_view text);
// Whether all of the text is shown, and what the marks mean.
std::string ExtentLine(const TextShown& shown);

// The subject of the certificate at `index` of the personal store, as the
// chooser names it, or a description of why there is none.
std::string SubjectAt(long index);

// The user, asked through the dialogs above.
class DialogUser : public UserPort {
public:
    Answer AskConsent(const std::string& origin, std::string_view method) override;
    Answer ConfirmSigning(const std::string& origin, long index, std::string_view text) override;
};

}  // namespace ostrel::bridge
