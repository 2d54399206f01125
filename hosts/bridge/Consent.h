#pragma once
// Which sites the user let use their certificates, kept in
// `bridge-origins.json` in the ostrel home (mode 0600):
//
//   {"version": 1,
//    "origins": {"https://bank.example": {"always": true, "withoutPrompt": false}}}
//
// "always": ChooseCertificate and SignMessage run without asking first.
// "withoutPrompt": SignMessageNoPrompt signs without showing the text.
//
// The file is replaced whole (a temporary file beside it, synced, renamed
// over it) under the lock `bridge-origins.lock`, so that readers never see
// half a file and writers in several processes never lose each other's
// grants. A file that is damaged, not a regular file of the user's own, or
// that others may change is refused and left exactly as it is.

#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace ostrel::bridge {

inline constexpr const char* kOriginsFile = "bridge-origins.json";
inline constexpr const char* kOriginsLock = "bridge-origins.lock";

struct Grant {
    bool always = false;
    bool withoutPrompt = false;
    bool operator==(const Grant&) const = default;
};

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
    // Removes an origin; whether it was there.
    bool Revoke(const std::string& origin);

private:
    std::filesystem::path m_home;
};

// Held while the file is being replaced: a process that must end at once
// takes it first, so that it never leaves a temporary file behind.
std::mutex& ConsentWriteMutex();

}  // namespace ostrel::bridge
