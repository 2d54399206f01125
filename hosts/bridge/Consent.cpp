#include "hosts/bridge/Consent.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstring>

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
            else
                Damaged(file, "unknown grant \"" + name + "\" of " + origin);
        }
        out[origin] = grant;
    }
    return out;
}

std::string Format(const std::map<std::string, Grant>& grants) {
    json origins = json::object();
    for (const auto& [origin, grant] : grants)
        origins[origin] = {{"always", grant.always}, {"withoutPrompt", grant.withoutPrompt}};
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

// The grants' exclusive lock, held while the file is read, changed and
// replaced, so that two writers never lose each other's changes.
class WriteLock {
public:
    explicit WriteLock(const fs::path& home) {
        // The home is made as the store makes it: for the user alone.
        fs::path partial;
        for (const auto& part : home) {
            partial /= part;
            if (::mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST)
                throw ConsentError("cannot create " + partial.string() + ": " +
                                   std::strerror(errno));
        }
        const fs::path path = home / kOriginsLock;
        m_fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (m_fd < 0)
            throw ConsentError("cannot lock the site grants (" + path.string() +
                               "): " + std::strerror(errno));
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
    std::string origin(typed);
    for (char& c : origin)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    if (origin.ends_with("/")) origin.pop_back();
    if (origin.starts_with("https://") && origin.ends_with(":443"))
        origin.resize(origin.size() - 4);
    else if (origin.starts_with("http://") && origin.ends_with(":80"))
        origin.resize(origin.size() - 3);
    if (!IsWebOrigin(origin)) return std::nullopt;
    return origin;
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
    if (!IsWebOrigin(origin)) throw ConsentError("\"" + origin + "\" is not a web origin");
    WriteLock lock(m_home);
    auto grants = Load();
    Grant& entry = grants[origin];
    if (merge) {
        entry.always = entry.always || grant.always;
        entry.withoutPrompt = entry.withoutPrompt || grant.withoutPrompt;
    } else {
        entry = grant;
    }
    Write(File(), grants);
}

bool ConsentStore::Revoke(const std::string& origin) {
    WriteLock lock(m_home);
    auto grants = Load();
    if (grants.erase(origin) == 0) return false;
    Write(File(), grants);
    return true;
}

}  // namespace ostrel::bridge
