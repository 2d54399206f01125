#pragma once
// Which sites the user let use their certificates, kept in
// `bridge-origins.json` in the ostrel home (mode 0600):
//
//   {"version": 1,
//    "origins": {"https://bank.example": {"always": true, "withoutPrompt": false},
//                "https://pushy.example": {"always": false, "withoutPrompt": false,
//                                          "blocked": true}}}
//
// "always": ChooseCertificate and SignMessage run without asking first.
// "withoutPrompt": SignMessageNoPrompt signs without showing the text.
// "blocked": the user answered "Block this site"; it is refused without a
// question. Written only when true, so that a file without blocked sites
// reads as it always did.
//
// The file is replaced whole (a temporary file beside it, synced, renamed
// over it) under the lock `bridge-origins.lock`, so that readers never see
// half a file and writers in several processes never lose each other's
// grants. A file that is damaged, not a regular file of the user's own, or
// that others may change is refused and left exactly as it is.

#include <chrono>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "hosts/bridge/Protocol.h"

namespace ostrel::bridge {

inline constexpr const char* kOriginsFile = "bridge-origins.json";
inline constexpr const char* kOriginsLock = "bridge-origins.lock";
// Held by the one process of the user that has a question on screen; it also
// keeps when each site last heard "no".
inline constexpr const char* kQuestionsLock = "bridge-questions.lock";

// A site's grants, written by name: Grant{.always = true}.
struct Grant {
    bool always = false;
    bool withoutPrompt = false;
    bool blocked = false;
    bool operator==(const Grant&) const = default;
};

// How long a site waits after the user said no (or closed the question)
// before it may ask again; calls meanwhile are refused without a question.
inline constexpr std::chrono::milliseconds kPauseAfterNo{10'000};
// How long a question waits while another process of the user has one on
// screen, before the call is refused as busy.
inline constexpr std::chrono::milliseconds kTurnWait{20'000};

// The grants file cannot be read or written; the message names the file and
// what to do about it.
struct ConsentError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// An origin as a person may type it, in the form the browser reports it:
// scheme and host in lower case, no trailing slash, no default port
// ("HTTPS://Bank.Example:443/" is "https://bank.example"). Nothing when the
// result is not a web origin (see IsWebOrigin).
std::optional<std::string> NormalOrigin(std::string_view typed);

// Plain http on the loopback: any user of this computer who runs a server on
// that port is that site, so it is asked every time and holds no grant that
// spares the question.
bool IsSharedLoopback(std::string_view origin);

// The part of the origin's host that says whose the page is, by the Public
// Suffix List: "https://www.bank.example.co.uk:8443" gives "example.co.uk".
// An IP address, localhost, or a host that is itself a public suffix stands
// for itself.
std::string RegistrableDomain(std::string_view origin);

// What a "no" holds back for a while: the registrable domain of a named
// site, so that a page cannot ask again from one subdomain after another;
// the whole origin of an address or localhost, whose ports are services
// of their own.
std::string PauseScope(std::string_view origin);

// The right to put a question on the user's screen: one process of the user
// holds it at a time, so that two sites' questions never cover each other.
// While it is held, it also reads and keeps when a site last heard "no".
class QuestionTurn {
public:
    explicit QuestionTurn(int fd) : m_fd(fd) {}
    QuestionTurn(QuestionTurn&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
    QuestionTurn& operator=(QuestionTurn&& other) noexcept {
        std::swap(m_fd, other.m_fd);
        return *this;
    }
    ~QuestionTurn();

    // What is left of the pause of `site` (a registrable domain), or zero.
    std::chrono::milliseconds PauseLeft(const std::string& site,
                                        std::chrono::milliseconds pause) const;
    // `site` heard "no" now.
    void StartPause(const std::string& site, std::chrono::milliseconds pause);

private:
    int m_fd = -1;
};

class ConsentStore {
public:
    explicit ConsentStore(std::filesystem::path home) : m_home(std::move(home)) {}

    std::filesystem::path File() const { return m_home / kOriginsFile; }

    // Every origin with its grants; empty when there is no file yet.
    std::map<std::string, Grant> Load() const;
    // The grants of one origin (none when it is not in the file).
    Grant Find(const std::string& origin) const;
    // Sets the grants of an origin; `merge` keeps the grants it already has.
    void Set(const std::string& origin, Grant grant, bool merge);
    // Removes an origin, and any entry an older release stored for it in
    // another spelling ("https://bank.example:443"); whether one was there.
    bool Revoke(const std::string& origin);

    // The turn to ask the user, waiting while another process holds it; none
    // when it is still held after `wait`.
    std::optional<QuestionTurn> TakeTurn(std::chrono::milliseconds wait) const;

    // How long a question waits for its turn, and a site after a "no"
    // (shorter in tests).
    struct Timing {
        std::chrono::milliseconds turnWait = kTurnWait;
        std::chrono::milliseconds pause = kPauseAfterNo;
    };
    const Timing& Times() const { return m_timing; }
    void SetTimes(Timing timing) { m_timing = timing; }

private:
    std::filesystem::path m_home;
    Timing m_timing;
};

// Held while the file is being replaced: a process that must end at once
// takes it first, so that it never leaves a temporary file behind.
std::mutex& ConsentWriteMutex();

// What the user answered when asked about a site.
struct Answer {
    enum class Kind {
        Once,         // "Allow once", "Sign"
        Always,       // "Always allow for this site"
        Deny,         // "Deny", "Don't sign"
        Block,        // "Block this site": refused now and from now on
        Dismissed,    // closed without an answer
        NobodyToAsk,  // no user interface can ask anyone; `why` says so
    };
    Kind kind = Kind::Dismissed;
    std::string why;
};

// What is known of a call that puts a question to the user, at each turn of
// deciding it: first the site's grants; once this process holds the turn to
// ask, what is left of a pause after a "no"; once asked, the answer.
struct ConsentFacts {
    Question question = Question::UseCertificates;
    std::string_view origin;
    std::optional<Grant> grant;              // none: the grants cannot be read or kept
    std::chrono::milliseconds pauseLeft{0};  // of the pause of PauseScope(origin)
    std::optional<Answer> answer;
};

struct ConsentDecision {
    enum class Verdict { Allow, Ask, Refuse };
    Verdict verdict = Verdict::Refuse;
    // When refused: what the page is told (ERR_CONSENT, or ERR_CANCELLED for
    // a question closed without an answer).
    BridgeError refusal{ErrorCode::Consent, {}, {}};
    // Kept for the site whatever the verdict: merged into its grants, or in
    // their place when `replace`.
    std::optional<Grant> keep;
    bool replace = false;
    // The site's domain waits kPauseAfterNo before it may ask again.
    bool startPause = false;
    // The site holds a grant that is not honoured (IsSharedLoopback): the
    // host's log says so.
    bool grantIgnored = false;
};

// The decision, and every word of it the page is told: a pure function of the
// facts, which the session gathers and acts on.
ConsentDecision DecideConsent(const ConsentFacts& facts);

}  // namespace ostrel::bridge
