// What the grants, a pause after a "no" and the user's answer decide for a
// call that puts a question to the user, and what the page is told: the
// whole table, without a session, a file or a dialog.

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>

#include "hosts/bridge/Consent.h"

namespace ostrel::bridge {
namespace {

using Verdict = ConsentDecision::Verdict;
using Kind = Answer::Kind;
using std::chrono::milliseconds;

constexpr const char* kSite = "https://bank.example";
constexpr const char* kShared = "http://127.0.0.1:8080";
constexpr Question kUse = Question::UseCertificates;
constexpr Question kUnseen = Question::SignUnseen;

// What is decided; the code and the message only when refused.
struct Expected {
    Verdict verdict = Verdict::Refuse;
    ErrorCode code = ErrorCode::Consent;
    std::string message;
    std::optional<Grant> keep;
    bool replace = false;
    bool pause = false;
    bool ignored = false;
};

struct Row {
    const char* what;
    ConsentFacts facts;
    Expected expected;
};

ConsentFacts Facts(Question question, const char* origin, std::optional<Grant> grant,
                   std::optional<Kind> answer = std::nullopt, milliseconds pauseLeft = {}) {
    ConsentFacts facts{
        .question = question, .origin = origin, .grant = grant, .pauseLeft = pauseLeft};
    if (answer) facts.answer = Answer{*answer, *answer == Kind::NobodyToAsk ? "no display" : ""};
    return facts;
}

const Grant kNone{};
const Grant kAlways{.always = true};
const Grant kWithoutPrompt{.always = true, .withoutPrompt = true};
const Grant kBlocked{.always = true, .withoutPrompt = true, .blocked = true};

TEST(ConsentDecision, TheGrantsThePauseAndTheAnswerDecideInThatOrder) {
    const std::string blocked =
        "you blocked https://bank.example; `ostrel bridge origins revoke https://bank.example` "
        "lets it ask again";
    const std::string list =
        "cannot tell whether https://bank.example may use your certificates: the site "
        "permissions cannot be read or kept; `ostrel bridge origins list` says why";
    const Row rows[] = {
        // Reading needs nobody's word, even with a grants file that cannot be read.
        {"reading", Facts(Question::None, kSite, std::nullopt), {.verdict = Verdict::Allow}},
        {"unreadable grants", Facts(kUse, kSite, std::nullopt), {.message = list}},
        {"unreadable grants, answered",
         Facts(kUnseen, kSite, std::nullopt, Kind::Once),
         {.message = list}},

        // The grants, before anyone is asked.
        {"no grant", Facts(kUse, kSite, kNone), {.verdict = Verdict::Ask}},
        {"always", Facts(kUse, kSite, kAlways), {.verdict = Verdict::Allow}},
        {"always does not sign unseen", Facts(kUnseen, kSite, kAlways), {.verdict = Verdict::Ask}},
        {"without prompt", Facts(kUnseen, kSite, kWithoutPrompt), {.verdict = Verdict::Allow}},
        {"without prompt alone does not choose",
         Facts(kUse, kSite, Grant{.withoutPrompt = true}),
         {.verdict = Verdict::Ask}},
        {"blocked over any grant", Facts(kUse, kSite, kBlocked), {.message = blocked}},
        {"blocked, signing",
         Facts(kUnseen, kSite, kBlocked, std::nullopt, milliseconds(5000)),
         {.message = blocked}},
        {"http on this computer: grant ignored",
         Facts(kUse, kShared, kAlways),
         {.verdict = Verdict::Ask, .ignored = true}},
        {"http on this computer: signing",
         Facts(kUnseen, kShared, kWithoutPrompt),
         {.verdict = Verdict::Ask, .ignored = true}},
        {"https on this computer is someone's own",
         Facts(kUnseen, "https://127.0.0.1:8443", kWithoutPrompt),
         {.verdict = Verdict::Allow}},

        // A pause after a "no" holds back the whole domain, said in whole
        // seconds rounded up; a grant still decides first.
        {"pause",
         Facts(kUse, "https://login.bank.example", kNone, std::nullopt, milliseconds(1001)),
         {.message = "you said no to bank.example a moment ago; https://login.bank.example may "
                     "ask again in 2 s"}},
        {"pause, yet allowed",
         Facts(kUse, kSite, kAlways, std::nullopt, milliseconds(5000)),
         {.verdict = Verdict::Allow}},

        // The answer.
        {"once", Facts(kUse, kSite, kNone, Kind::Once), {.verdict = Verdict::Allow}},
        {"sign", Facts(kUnseen, kSite, kAlways, Kind::Once), {.verdict = Verdict::Allow}},
        {"always: kept",
         Facts(kUse, kSite, kNone, Kind::Always),
         {.verdict = Verdict::Allow, .keep = kAlways}},
        {"always, from http on this computer: not kept",
         Facts(kUse, kShared, kNone, Kind::Always),
         {.verdict = Verdict::Allow}},
        {"always, when signing unseen: this once",
         Facts(kUnseen, kSite, kNone, Kind::Always),
         {.verdict = Verdict::Allow}},
        {"block",
         Facts(kUse, kSite, kNone, Kind::Block),
         {.message = blocked, .keep = Grant{.blocked = true}, .replace = true}},
        {"block, signing",
         Facts(kUnseen, kSite, kAlways, Kind::Block),
         {.message = blocked, .keep = Grant{.blocked = true}, .replace = true}},
        {"deny",
         Facts(kUse, kSite, kNone, Kind::Deny),
         {.message = "you denied https://bank.example the use of your certificates; run `ostrel "
                     "bridge origins allow https://bank.example` to allow it",
          .pause = true}},
        {"don't sign",
         Facts(kUnseen, kSite, kAlways, Kind::Deny),
         {.message = "you did not let https://bank.example sign the text; run `ostrel bridge "
                     "origins allow https://bank.example --without-prompt` to let it sign "
                     "without asking",
          .pause = true}},
        {"deny, http on this computer",
         Facts(kUse, kShared, kAlways, Kind::Deny),
         {.message = "you denied http://127.0.0.1:8080 the use of your certificates; it is asked "
                     "every time, as it is served over http on this computer",
          .pause = true,
          .ignored = true}},
        {"dismissed",
         Facts(kUse, kSite, kNone, Kind::Dismissed),
         {.code = ErrorCode::Cancelled,
          .message = "the question whether https://bank.example may use your certificates was "
                     "closed without an answer",
          .pause = true}},
        {"dismissed, signing",
         Facts(kUnseen, kSite, kNone, Kind::Dismissed),
         {.code = ErrorCode::Cancelled,
          .message = "the confirmation to sign for https://bank.example was closed without an "
                     "answer",
          .pause = true}},
        {"nobody to ask",
         Facts(kUse, kSite, kNone, Kind::NobodyToAsk),
         {.message = "https://bank.example has not been allowed to use your certificates, and "
                     "nobody can be asked (no display); run `ostrel bridge origins allow "
                     "https://bank.example` to allow it"}},
        {"nobody to ask, signing",
         Facts(kUnseen, kSite, kAlways, Kind::NobodyToAsk),
         {.message = "https://bank.example may not sign without asking, and nobody can be asked "
                     "(no display); run `ostrel bridge origins allow https://bank.example "
                     "--without-prompt` to let it sign without asking"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const Expected& want = row.expected;
        const ConsentDecision d = DecideConsent(row.facts);
        EXPECT_EQ(d.verdict, want.verdict);
        if (want.verdict == Verdict::Refuse) {
            EXPECT_EQ(ErrorCodeName(d.refusal.code), std::string(ErrorCodeName(want.code)));
            EXPECT_EQ(d.refusal.message, want.message);
            EXPECT_FALSE(d.refusal.hresult);
        }
        EXPECT_EQ(d.keep, want.keep);
        if (d.keep) {
            EXPECT_EQ(d.replace, want.replace);
        }
        EXPECT_EQ(d.startPause, want.pause);
        EXPECT_EQ(d.grantIgnored, want.ignored);
    }
}

}  // namespace
}  // namespace ostrel::bridge
