#pragma once
// The questions the bridge asks the user before a page may use their
// certificates, shown by whichever user interface backend runs (OSTREL_UI).
//
// The consent dialog, before ChooseCertificate and SignMessage of a site that
// is not always allowed ("Allow this site to use your certificates?"):
//   kAllowOnceButton   IDOK  "Allow once": this call goes ahead
//   kAlwaysButton      1102  "Always allow for this site": stored, goes ahead
//   kDenyButton        1103  "Deny" (also Enter): the call is refused
//   kConsentOrigin     1110  the site's origin, as the browser reported it
//
// The confirmation, before each SignMessageNoPrompt of a site that may not
// sign without asking ("Sign this text?"):
//   kSignButton        IDOK  "Sign"
//   kDontSignButton    1202  "Don't sign" (also Enter)
//   kConfirmOrigin     1210  the site's origin
//   kConfirmSubject    1211  the subject of the certificate it names
//   kConfirmText       1212  the start of the text, controls shown as \xNN
//
// Escape or the close box ends either dialog without an answer. A script
// answers them with "ok", "click 1102", "click 1103", "click 1202" or
// "escape". The affirmative answer is IDOK so that one script serves the
// question and the control's chooser after it: the chooser is in the
// control's module, which reads OSTREL_UI_SCRIPT on its own, so with
// "select 0; ok" the question passes over "select 0" and answers "ok", and
// the chooser selects the first row and answers "ok", call after call.

#include <string>
#include <string_view>

#include "hosts/bridge/Session.h"

namespace ostrel::bridge {

inline constexpr int kAllowOnceButton = 1;  // IDOK
inline constexpr int kAlwaysButton = 1102;
inline constexpr int kDenyButton = 1103;
inline constexpr int kConsentOrigin = 1110;

inline constexpr int kSignButton = 1;  // IDOK
inline constexpr int kDontSignButton = 1202;
inline constexpr int kConfirmOrigin = 1210;
inline constexpr int kConfirmSubject = 1211;
inline constexpr int kConfirmText = 1212;

// How much of the text to be signed the confirmation shows, in characters.
inline constexpr std::size_t kPreviewCharacters = 200;

// The start of `text` as the confirmation shows it: at most
// kPreviewCharacters characters, line breaks kept, other control characters
// and the marks that reorder text written as \xNN or \u{NNNN}, and a note of
// how much more there is.
std::string PreviewText(std::string_view text);

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
