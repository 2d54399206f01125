#include "hosts/bridge/Consent.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <libpsl.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <thread>

#include "hosts/bridge/Protocol.h"
#include "platform/win/Files.h"

namespace ostrel::bridge {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

constexpr std::size_t kFileLimit = std::size_t(1) << 20;
constexpr int kVersion = 1;

std::string Quoted(const fs::path& path) {
    std::string out = "'";
    for (char c : path.string()) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

[[noreturn]] void Refuse(const fs::path& file, const std::string& why, const std::string& fix) {
    throw ConsentError(file.string() + " " + why + "; it was left as it is: " + fix);
}

[[noreturn]] void Damaged(const fs::path& file, const std::string& why) {
    Refuse(file, "is damaged (" + why + ")",
           "correct it, or move it aside (mv " + Quoted(file) + " " +
               Quoted(file.string() + ".old") +
               ") and allow the sites again with `ostrel bridge origins allow ORIGIN`");
}

std::map<std::string, Grant> Parse(const fs::path& file, const std::string& text) {
    const json doc = json::parse(text, nullptr, false);
    if (doc.is_discarded()) Damaged(file, "not valid JSON");
    if (!doc.is_object()) Damaged(file, "not a JSON object");
    for (const auto& [key, value] : doc.items())
        if (key != "version" && key != "origins") Damaged(file, "unknown field \"" + key + "\"");
    const auto version = doc.find("version");
    if (version == doc.end() || !version->is_number_integer() || *version != kVersion)
        Damaged(file, "\"version\" is not 1");
    const auto origins = doc.find("origins");
    if (origins == doc.end() || !origins->is_object())
        Damaged(file, "\"origins\" is not an object");
    std::map<std::string, Grant> out;
    for (const auto& [origin, value] : origins->items()) {
        if (!IsWebOrigin(origin)) Damaged(file, "\"" + origin + "\" is not a web origin");
        if (!value.is_object()) Damaged(file, "the grants of " + origin + " are not an object");
        Grant grant;
        for (const auto& [name, flag] : value.items()) {
            if (!flag.is_boolean())
                Damaged(file, "\"" + name + "\" of " + origin + " is not true or false");
            if (name == "always")
                grant.always = flag.get<bool>();
            else if (name == "withoutPrompt")
                grant.withoutPrompt = flag.get<bool>();
            else if (name == "blocked")
                grant.blocked = flag.get<bool>();
            else
                Damaged(file, "unknown grant \"" + name + "\" of " + origin);
        }
        out[origin] = grant;
    }
    return out;
}

std::string Format(const std::map<std::string, Grant>& grants) {
    json origins = json::object();
    for (const auto& [origin, grant] : grants) {
        origins[origin] = {{"always", grant.always}, {"withoutPrompt", grant.withoutPrompt}};
        if (grant.blocked) origins[origin]["blocked"] = true;
    }
    return json({{"version", kVersion}, {"origins", std::move(origins)}}).dump(2) + "\n";
}

std::map<std::string, Grant> Read(const fs::path& file) {
    // Not through a link: the grants are the user's word only in a file of
    // the user's own, and a link could name anyone's.
    const int fd = ::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) return {};
        if (errno == ELOOP)
            Refuse(file, "is a symbolic link",
                   "put the file itself in its place, or remove the link and allow the sites "
                   "again with `ostrel bridge origins allow ORIGIN`");
        throw ConsentError("cannot read " + file.string() + ": " + std::strerror(errno));
    }
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        throw ConsentError("cannot read " + file.string() + ": " + std::strerror(errno));
    if (!S_ISREG(st.st_mode))
        Refuse(file, "is not a regular file", "remove it (rm -r " + Quoted(file) + ")");
    if (!platform::win::TrustedOwner(st.st_uid))
        Refuse(file, "belongs to another user (uid " + std::to_string(st.st_uid) + ")",
               "remove it (rm " + Quoted(file) + ") and allow the sites again");
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        Refuse(file,
               "may be changed by other users (mode " +
                   platform::win::OctalMode(st.st_mode & 07777) + ")",
               "check its grants, then run `chmod 600 " + Quoted(file) + "`");
    if (st.st_size > off_t(kFileLimit)) Damaged(file, "larger than 1 MiB");
    std::string text;
    try {
        text = platform::win::ReadAll(fd, kFileLimit, file.string());
    } catch (const platform::win::FileError& e) {
        if (e.Error() == 0) Damaged(file, "larger than 1 MiB");
        throw ConsentError(e.what());
    }
    return Parse(file, text);
}

// A lock file in the home, which is made as the store makes it: for the user
// alone.
int OpenLockFile(const fs::path& home, const char* name, const std::string& what) {
    fs::path partial;
    for (const auto& part : home) {
        partial /= part;
        if (::mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST)
            throw ConsentError("cannot create " + partial.string() + ": " + std::strerror(errno));
    }
    const fs::path path = home / name;
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        throw ConsentError("cannot lock " + what + " (" + path.string() +
                           "): " + std::strerror(errno));
    return fd;
}

// The grants' exclusive lock, held while the file is read, changed and
// replaced, so that two writers never lose each other's changes.
class WriteLock {
public:
    explicit WriteLock(const fs::path& home) {
        const fs::path path = home / kOriginsLock;
        m_fd = OpenLockFile(home, kOriginsLock, "the site grants");
        while (::flock(m_fd, LOCK_EX) != 0)
            if (errno != EINTR) {
                const int error = errno;
                ::close(m_fd);
                throw ConsentError("cannot lock the site grants (" + path.string() +
                                   "): " + std::strerror(error));
            }
    }
    ~WriteLock() { ::close(m_fd); }
    WriteLock(const WriteLock&) = delete;
    WriteLock& operator=(const WriteLock&) = delete;

private:
    int m_fd = -1;
};

void Write(const fs::path& file, const std::map<std::string, Grant>& grants) {
    std::lock_guard guard(ConsentWriteMutex());
    try {
        platform::win::WriteAtomically(file, Format(grants), 0600, ".tmp-");
    } catch (const platform::win::FileError& e) {
        throw ConsentError(std::string("cannot save the site grants: ") + e.what());
    }
}

}  // namespace

std::mutex& ConsentWriteMutex() {
    static std::mutex mutex;
    return mutex;
}

std::optional<std::string> NormalOrigin(std::string_view typed) {
    std::string lower(typed);
    for (char& c : lower)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    std::string_view rest = lower;
    if (rest.ends_with("/")) rest.remove_suffix(1);
    std::string_view scheme;
    for (std::string_view s : {"https://", "http://"})
        if (rest.starts_with(s)) scheme = s;
    if (scheme.empty()) return std::nullopt;
    rest.remove_prefix(scheme.size());
    // The host, then at most one port: what follows a port is no origin, and
    // taking only the last ":443" off would store a spelling that the
    // browser never reports and `revoke` never finds.
    const std::size_t hostEnd =
        rest.starts_with("[") ? rest.find(']') + 1 : std::min(rest.find(':'), rest.size());
    if (hostEnd == 0 || hostEnd > rest.size()) return std::nullopt;
    const std::string_view host = rest.substr(0, hostEnd);
    std::string_view port = rest.substr(hostEnd);
    std::string origin = std::string(scheme) + std::string(host);
    if (!port.empty()) {
        port.remove_prefix(1);
        if (port.empty() || port.size() > 5 ||
            port.find_first_not_of("0123456789") != std::string_view::npos)
            return std::nullopt;
        const long number = std::stol(std::string(port));
        const long standard = scheme == "https://" ? 443 : 80;
        if (number != standard) origin += ":" + std::to_string(number);
    }
    if (!IsWebOrigin(origin)) return std::nullopt;
    return origin;
}

bool IsSharedLoopback(std::string_view origin) {
    return origin.starts_with("http://") && IsWebOrigin(origin);
}

std::string RegistrableDomain(std::string_view origin) {
    std::string_view host = origin.substr(std::min(origin.find("://") + 3, origin.size()));
    if (host.starts_with("[")) return std::string(host.substr(0, host.find(']') + 1));
    host = host.substr(0, host.find(':'));
    // An address is its own owner; the list knows names only.
    if (host.find_first_not_of("0123456789.") == std::string_view::npos || host == "localhost")
        return std::string(host);
    static const psl_ctx_t* const list = [] {
        // The newest of the list built into libpsl and the system's copy.
        const psl_ctx_t* latest = psl_latest(nullptr);
        return latest != nullptr ? latest : psl_builtin();
    }();
    const std::string name(host);
    const char* domain = list == nullptr ? nullptr : psl_registrable_domain(list, name.c_str());
    return domain == nullptr ? name : std::string(domain);
}

std::string PauseScope(std::string_view origin) {
    const std::string domain = RegistrableDomain(origin);
    const bool named = domain != "localhost" && !domain.starts_with("[") &&
                       domain.find_first_not_of("0123456789.") != std::string::npos;
    return named ? domain : std::string(origin);
}

QuestionTurn::~QuestionTurn() {
    if (m_fd >= 0) ::close(m_fd);
}

namespace {

using Clock = std::chrono::steady_clock;

// The lock file holds one line per site that heard "no": the time of the
// "no" on the steady clock, which all processes share until the computer
// restarts, and the site.
std::map<std::string, std::int64_t> ReadPauses(int fd) {
    std::string text(64 * 1024, '\0');
    const ssize_t got = ::pread(fd, text.data(), text.size(), 0);
    text.resize(got > 0 ? std::size_t(got) : 0);
    std::map<std::string, std::int64_t> out;
    std::istringstream lines(text);
    std::int64_t since = 0;
    std::string site;
    while (lines >> since >> site) out[site] = since;
    return out;
}

std::int64_t Now() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch())
        .count();
}

}  // namespace

std::chrono::milliseconds QuestionTurn::PauseLeft(const std::string& site,
                                                  std::chrono::milliseconds pause) const {
    const auto pauses = ReadPauses(m_fd);
    const auto it = pauses.find(site);
    if (it == pauses.end()) return {};
    const std::int64_t now = Now();
    // A "no" from before a restart (the clock began again) is long past.
    if (it->second > now) return {};
    const std::int64_t left = it->second + pause.count() - now;
    return std::chrono::milliseconds(left > 0 ? left : 0);
}

void QuestionTurn::StartPause(const std::string& site, std::chrono::milliseconds pause) {
    auto pauses = ReadPauses(m_fd);
    const std::int64_t now = Now();
    std::string text;
    pauses[site] = now;
    for (const auto& [name, since] : pauses)
        // Only pauses that may still run are kept; the file stays small.
        if (since <= now && since + std::max<std::int64_t>(pause.count(), 60'000) > now &&
            name.find_first_of(" \t\n") == std::string::npos)
            text += std::to_string(since) + " " + name + "\n";
    if (::ftruncate(m_fd, 0) != 0 || ::pwrite(m_fd, text.data(), text.size(), 0) < 0)
        std::fprintf(stderr, "ostrel-bridge: cannot keep the pause of %s: %s\n", site.c_str(),
                     std::strerror(errno));
}

std::optional<QuestionTurn> ConsentStore::TakeTurn(std::chrono::milliseconds wait) const {
    const int fd = OpenLockFile(m_home, kQuestionsLock, "the questions");
    const auto until = Clock::now() + wait;
    for (;;) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return std::optional<QuestionTurn>(fd);
        const int error = errno;
        if ((error != EWOULDBLOCK && error != EINTR) || Clock::now() >= until) {
            ::close(fd);
            if (error == EWOULDBLOCK || error == EINTR) return std::nullopt;
            throw ConsentError(std::string("cannot take the turn to ask: ") + std::strerror(error));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

std::map<std::string, Grant> ConsentStore::Load() const {
    return Read(File());
}

Grant ConsentStore::Find(const std::string& origin) const {
    const auto grants = Load();
    const auto it = grants.find(origin);
    return it == grants.end() ? Grant{} : it->second;
}

void ConsentStore::Set(const std::string& origin, Grant grant, bool merge) {
    if (NormalOrigin(origin) != origin)
        throw ConsentError("\"" + origin + "\" is not a web origin as a browser names it");
    if (IsSharedLoopback(origin) && (grant.always || grant.withoutPrompt))
        throw ConsentError(origin + " is asked every time: any user of this computer can serve it");
    WriteLock lock(m_home);
    auto grants = Load();
    // Entries an older release stored for this site in another spelling go.
    std::erase_if(grants, [&](const auto& entry) {
        return entry.first != origin && NormalOrigin(entry.first) == origin;
    });
    Grant& entry = grants[origin];
    if (merge) {
        entry.always = entry.always || grant.always;
        entry.withoutPrompt = entry.withoutPrompt || grant.withoutPrompt;
        entry.blocked = entry.blocked && !grant.always && !grant.withoutPrompt;
    } else {
        entry = grant;
    }
    Write(File(), grants);
}

bool ConsentStore::Revoke(const std::string& origin) {
    WriteLock lock(m_home);
    auto grants = Load();
    if (std::erase_if(grants, [&](const auto& entry) {
            return entry.first == origin || NormalOrigin(entry.first) == origin;
        }) == 0)
        return false;
    Write(File(), grants);
    return true;
}

ConsentDecision DecideConsent(const ConsentFacts& facts) {
    using Verdict = ConsentDecision::Verdict;
    ConsentDecision out;
    const auto decided = [&](Verdict verdict) {
        out.verdict = verdict;
        return out;
    };
    const auto refuse = [&](std::string message, ErrorCode code = ErrorCode::Consent) {
        out.refusal = {code, std::move(message), {}};
        return decided(Verdict::Refuse);
    };
    if (facts.question == Question::None) return decided(Verdict::Allow);

    const std::string origin(facts.origin);
    const bool unseen = facts.question == Question::SignUnseen;
    const bool shared = IsSharedLoopback(origin);
    // Pages hear what went wrong, never where: the grants file's path holds
    // the user's name, and the host's log has the whole story.
    if (!facts.grant)
        return refuse("cannot tell whether " + origin +
                      " may use your certificates: the site permissions cannot be read or "
                      "kept; `ostrel bridge origins list` says why");
    const Grant& grant = *facts.grant;
    const std::string blocked = "you blocked " + origin + "; `ostrel bridge origins revoke " +
                                origin + "` lets it ask again";

    // Where the grants decide, nobody is asked.
    if (grant.blocked) return refuse(blocked);
    if (unseen ? grant.withoutPrompt : grant.always) {
        if (!shared) return decided(Verdict::Allow);
        // Written by an older release, or by hand.
        out.grantIgnored = true;
    }
    // A "no" holds a while, so that a page cannot ask again and again.
    if (const auto left = facts.pauseLeft.count(); left > 0)
        return refuse("you said no to " + PauseScope(origin) + " a moment ago; " + origin +
                      " may ask again in " + std::to_string((left + 999) / 1000) + " s");
    if (!facts.answer) return decided(Verdict::Ask);

    const std::string allow =
        shared
            ? std::string("it is asked every time, as it is served over http on this computer")
            : "run `ostrel bridge origins allow " + origin +
                  (unseen ? " --without-prompt` to let it sign without asking" : "` to allow it");
    switch (facts.answer->kind) {
        case Answer::Kind::Once:
            return decided(Verdict::Allow);
        case Answer::Kind::Always:
            // Only the question before choosing offers it, and not to a site
            // that is asked every time.
            if (!unseen && !shared) out.keep = Grant{.always = true};
            return decided(Verdict::Allow);
        case Answer::Kind::Block:
            // Kept, so no pause is needed; and once the user revokes the
            // block, the site may ask at once.
            out.keep = Grant{.blocked = true};
            out.replace = true;
            return refuse(blocked);
        case Answer::Kind::Deny:
            out.startPause = true;
            return refuse(unseen
                              ? "you did not let " + origin + " sign the text; " + allow
                              : "you denied " + origin + " the use of your certificates; " + allow);
        case Answer::Kind::Dismissed:
            out.startPause = true;
            return refuse(
                unseen ? "the confirmation to sign for " + origin + " was closed without an answer"
                       : "the question whether " + origin +
                             " may use your certificates was closed without an answer",
                ErrorCode::Cancelled);
        case Answer::Kind::NobodyToAsk:
            break;
    }
    return refuse(origin +
                  (unseen ? " may not sign without asking"
                          : " has not been allowed to use your certificates") +
                  ", and nobody can be asked (" + facts.answer->why + "); " + allow);
}

}  // namespace ostrel::bridge
