#include "platform/com/Registry.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <mutex>
#include <unordered_set>

#include "platform/seams/Seams.h"
#include "platform/text/NoCase.h"
#include "platform/win/Failure.h"
#include "platform/win/Files.h"
#include "platform/win/WinError.h"

struct HKEY__ {
    std::string path;
};

namespace platform::com::registry {
namespace fs = std::filesystem;

namespace {

constexpr std::string_view kHeader = "Windows Registry Editor Version 5.00";
constexpr std::size_t kMaxFileSize = 64u << 20;

// A file may name a key without its parents, which are then made too. What
// they take beyond the file's own size is bounded, so that a small file
// cannot make the reader build far more than it holds.
constexpr std::size_t kImpliedAllowance = 1u << 20;
constexpr std::size_t kImpliedPerFileByte = 4;

[[noreturn]] void Damaged(const std::string& source, std::size_t line, const std::string& why) {
    throw RegistryError(ERROR_BADDB, "the registry file " + source + " is damaged at line " +
                                         std::to_string(line) + ": " + why +
                                         "; it was left as it is");
}

// Characters of UTF-8 text, as the platform counts the lengths of names.
std::size_t Characters(std::string_view text) {
    return std::size_t(std::count_if(text.begin(), text.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    }));
}

// The start of a name, for a message: a name can be as long as the file.
std::string Shown(std::string_view name) {
    return name.size() <= 80 ? std::string(name) : std::string(name.substr(0, 77)) + "...";
}

// A quoted string at `at` (the opening quote); returns the text and moves
// `at` past the closing quote. False for an unterminated string.
bool ReadQuoted(std::string_view line, std::size_t& at, std::string& out) {
    out.clear();
    for (std::size_t i = at + 1; i < line.size(); ++i) {
        if (line[i] == '\\' && i + 1 < line.size() && (line[i + 1] == '\\' || line[i + 1] == '"')) {
            out += line[++i];
        } else if (line[i] == '"') {
            at = i + 1;
            return true;
        } else {
            out += line[i];
        }
    }
    return false;
}

std::string Quote(std::string_view text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '\\' || c == '"') out += '\\';
        out += c;
    }
    return out + '"';
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool ParseHexList(std::string_view text, std::vector<BYTE>& out) {
    out.clear();
    std::size_t i = 0;
    auto skip = [&] {
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    };
    skip();
    if (i == text.size()) return true;
    for (;;) {
        skip();
        if (i + 2 > text.size()) return false;
        const int hi = HexDigit(text[i]), lo = HexDigit(text[i + 1]);
        if (hi < 0 || lo < 0) return false;
        out.push_back(static_cast<BYTE>(hi * 16 + lo));
        i += 2;
        skip();
        if (i == text.size()) return true;
        if (text[i] != ',') return false;
        ++i;
    }
}

Value ParseValue(std::string_view line, const std::string& source, std::size_t number) {
    Value value;
    std::size_t at = 0;
    if (line.starts_with("@")) {
        at = 1;
    } else if (line.starts_with("\"")) {
        if (!ReadQuoted(line, at, value.name))
            Damaged(source, number, "an unterminated value name");
        if (value.name.empty()) Damaged(source, number, "an empty value name");
        if (const auto why = ValueNameProblem(value.name)) Damaged(source, number, *why);
    } else {
        Damaged(source, number, "neither a key nor a value");
    }
    if (at >= line.size() || line[at] != '=') Damaged(source, number, "no '=' after the name");
    const std::string_view data = line.substr(at + 1);
    if (data.starts_with("\"")) {
        std::size_t end = 0;
        std::string text;
        if (!ReadQuoted(data, end, text) || end != data.size())
            Damaged(source, number, "a malformed string");
        value.type = REG_SZ;
        value.data.assign(text.begin(), text.end());
        value.data.push_back(0);
    } else if (data.starts_with("dword:")) {
        const std::string_view digits = data.substr(6);
        if (digits.size() != 8 ||
            !std::all_of(digits.begin(), digits.end(), [](char c) { return HexDigit(c) >= 0; }))
            Damaged(source, number, "a malformed dword");
        const auto v = static_cast<DWORD>(std::strtoul(std::string(digits).c_str(), nullptr, 16));
        value.type = REG_DWORD;
        value.data = {BYTE(v), BYTE(v >> 8), BYTE(v >> 16), BYTE(v >> 24)};
    } else if (data.starts_with("hex")) {
        std::size_t colon = data.find(':');
        if (colon == std::string_view::npos) Damaged(source, number, "a malformed hex value");
        const std::string_view kind = data.substr(3, colon - 3);
        value.type = REG_BINARY;
        if (!kind.empty()) {
            if (kind.size() < 3 || kind.front() != '(' || kind.back() != ')' ||
                !std::all_of(kind.begin() + 1, kind.end() - 1,
                             [](char c) { return HexDigit(c) >= 0; }) ||
                kind.size() > 10)
                Damaged(source, number, "a malformed value type");
            value.type = static_cast<DWORD>(
                std::strtoul(std::string(kind.substr(1, kind.size() - 2)).c_str(), nullptr, 16));
        }
        if (!ParseHexList(data.substr(colon + 1), value.data))
            Damaged(source, number, "malformed hex bytes");
    } else {
        Damaged(source, number, "a value of unknown form");
    }
    return value;
}

std::string FormatValue(const Value& v) {
    std::string out = v.name.empty() ? "@=" : Quote(v.name) + "=";
    const bool text =
        v.type == REG_SZ && !v.data.empty() && v.data.back() == 0 &&
        std::find(v.data.begin(), v.data.end() - 1, 0) == v.data.end() - 1 &&
        std::none_of(v.data.begin(), v.data.end(), [](BYTE b) { return b == '\n' || b == '\r'; });
    if (text) return out + Quote(v.Text());
    if (v.type == REG_DWORD && v.data.size() == 4) {
        char buf[16];
        const DWORD d = DWORD(v.data[0]) | DWORD(v.data[1]) << 8 | DWORD(v.data[2]) << 16 |
                        DWORD(v.data[3]) << 24;
        std::snprintf(buf, sizeof buf, "dword:%08x", d);
        return out + buf;
    }
    char kind[16] = "hex:";
    if (v.type != REG_BINARY) std::snprintf(kind, sizeof kind, "hex(%x):", unsigned(v.type));
    out += kind;
    std::size_t column = out.size();
    for (std::size_t i = 0; i < v.data.size(); ++i) {
        char b[4];
        std::snprintf(b, sizeof b, "%02x", v.data[i]);
        out += b;
        column += 2;
        if (i + 1 < v.data.size()) {
            out += ',';
            ++column;
            if (column > 76) {
                out += "\\\n  ";
                column = 2;
            }
        }
    }
    return out;
}

fs::path LockFile() {
    fs::path file = RegistryFile();
    file += ".lock";
    return file;
}

struct FdCloser {
    int fd;
    ~FdCloser() {
        if (fd >= 0) ::close(fd);
    }
};

void MakePrivateFolders(const fs::path& folder) {
    fs::path partial;
    for (const auto& part : folder) {
        partial /= part;
        if (::mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST)
            throw RegistryError(ERROR_CANTWRITE, "cannot create the folder " + partial.string() +
                                                     ": " + std::strerror(errno));
    }
}

// A folder the registry may live in: whoever can write to it can put a file
// of their own in the registry's place.
void CheckFolder(const fs::path& folder) {
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0)
        throw RegistryError(ERROR_CANTREAD, "cannot open the registry folder " + folder.string() +
                                                ": " + std::strerror(errno));
    if (!S_ISDIR(st.st_mode))
        throw RegistryError(ERROR_CANTOPEN,
                            "the registry folder " + folder.string() + " is not a folder");
    const bool foreign = !platform::win::TrustedOwner(st.st_uid);
    if (foreign || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        throw RegistryError(ERROR_ACCESS_DENIED,
                            "the registry folder " + folder.string() + " has mode " +
                                platform::win::OctalMode(st.st_mode) +
                                (foreign ? " and another owner" : "") +
                                "; it must be the user's own, writable by nobody else (" +
                                (foreign ? "set OSTREL_HOME to a folder of your own"
                                         : "chmod 700 '" + folder.string() + "'") +
                                ")");
}

void CheckFile(const struct stat& st, const fs::path& file) {
    const bool foreign = !platform::win::TrustedOwner(st.st_uid);
    if (foreign || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        throw RegistryError(ERROR_ACCESS_DENIED,
                            "the registry file " + file.string() + " has mode " +
                                platform::win::OctalMode(st.st_mode) +
                                (foreign ? " and another owner" : "") +
                                "; it must be the user's own, mode 0600 (" +
                                (foreign ? "move it aside and register the modules again"
                                         : "chmod 600 '" + file.string() + "'") +
                                ")");
}

// Parses the file open as `fd`, which it leaves open.
Hive ReadOpenFile(int fd, const fs::path& file) {
    std::string text;
    try {
        text = platform::win::ReadAll(fd, kMaxFileSize, "the registry file " + file.string());
    } catch (const platform::win::FileError& e) {
        throw RegistryError(
            e.Error() == 0 ? ERROR_BADDB : ERROR_CANTREAD,
            std::string(e.what()) + (e.Error() == 0 ? "; it was left as it is" : ""));
    }
    return Hive::Parse(text, file.string());
}

// The registry file open for reading once it has passed the checks of owner
// and mode; -1 and no error when there is no file yet. Never blocks: a FIFO
// in the file's place is refused as damage.
int OpenForReading(const fs::path& file) {
    const fs::path folder = file.parent_path().empty() ? fs::path(".") : file.parent_path();
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0 && errno == ENOENT) return -1;
    CheckFolder(folder);
    int fd = -1;
    try {
        fd = platform::win::OpenRegularFile(file, "the registry file " + file.string());
    } catch (const platform::win::FileError& e) {
        if (e.Error() == ENOENT) return -1;
        if (e.Error() == EINVAL)
            throw RegistryError(ERROR_BADDB, "the registry file " + file.string() +
                                                 " is damaged: it is not a regular file; it was "
                                                 "left as it is");
        throw RegistryError(ERROR_CANTREAD, e.what());
    }
    FdCloser closer{fd};
    if (::fstat(fd, &st) != 0)
        throw RegistryError(ERROR_CANTREAD, "cannot read the registry file " + file.string() +
                                                ": " + std::strerror(errno));
    CheckFile(st, file);
    // Through a link, the folder of the file itself decides who can replace it.
    if (::lstat(file.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        std::error_code ec;
        const fs::path target = fs::canonical(file, ec);
        if (!ec) CheckFolder(target.parent_path());
    }
    closer.fd = -1;
    return fd;
}

Hive ReadFile(const fs::path& file) {
    const int fd = OpenForReading(file);
    if (fd < 0) return Hive();
    FdCloser closer{fd};
    return ReadOpenFile(fd, file);
}

// The registry's exclusive lock, held while the file is read, changed and
// replaced.
class WriteLock {
public:
    WriteLock() {
        const fs::path path = LockFile();
        m_fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (m_fd < 0)
            throw RegistryError(ERROR_CANTWRITE, "cannot lock the registry " + path.string() +
                                                     ": " + std::strerror(errno));
        while (::flock(m_fd, LOCK_EX) != 0)
            if (errno != EINTR) {
                ::close(m_fd);
                throw RegistryError(ERROR_CANTWRITE, "cannot lock the registry " + path.string());
            }
    }
    ~WriteLock() { ::close(m_fd); }
    WriteLock(const WriteLock&) = delete;
    WriteLock& operator=(const WriteLock&) = delete;

private:
    int m_fd = -1;
};

void Write(const fs::path& file, const Hive& hive) {
    try {
        // Through a link to the file it names, so that the link stays.
        platform::win::WriteAtomically(file, hive.Format(), 0600, ".tmp-");
    } catch (const platform::win::FileError& e) {
        throw RegistryError(ERROR_CANTWRITE, std::string("cannot write the registry: ") + e.what());
    }
}

std::string UtcStamp() {
    const std::time_t now = std::time(nullptr);
    std::tm parts{};
    ::gmtime_r(&now, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &parts);
    return text;
}

// Renames `from` to `to`, never over a file that is there.
bool RenameNoReplace(const fs::path& from, const fs::path& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno == EEXIST) return false;
    if (errno != EINVAL && errno != ENOSYS)
        throw RegistryError(ERROR_CANTWRITE, "cannot move " + from.string() + " to " + to.string() +
                                                 ": " + std::strerror(errno));
    // A file system that cannot refuse to replace: look first.
    struct stat st {};
    if (::lstat(to.c_str(), &st) == 0) return false;
    if (::rename(from.c_str(), to.c_str()) != 0)
        throw RegistryError(ERROR_CANTWRITE, "cannot move " + from.string() + " to " + to.string() +
                                                 ": " + std::strerror(errno));
    return true;
}

}  // namespace

std::optional<std::string> KeyPathProblem(std::string_view path) {
    if (path.empty() || path.front() == '\\' || path.back() == '\\' ||
        path.find("\\\\") != std::string_view::npos)
        return "an empty key name";
    for (char c : path) {
        if (c == '\n' || c == '\r') return "a line break in a key name";
        if (c == '\0') return "a null character in a key name";
        if (c == ']') return "a ']' in a key name";
    }
    std::size_t depth = 0;
    for (std::size_t start = 0;;) {
        const std::size_t end = std::min(path.find('\\', start), path.size());
        if (++depth > kMaxKeyDepth)
            return "more than " + std::to_string(kMaxKeyDepth) + " levels of keys";
        if (Characters(path.substr(start, end - start)) > kMaxKeyNameLength)
            return "a key name longer than " + std::to_string(kMaxKeyNameLength) + " characters";
        if (end == path.size()) return std::nullopt;
        start = end + 1;
    }
}

std::optional<std::string> ValueNameProblem(std::string_view name) {
    for (char c : name) {
        if (c == '\n' || c == '\r') return "a line break in a value name";
        if (c == '\0') return "a null character in a value name";
    }
    if (Characters(name) > kMaxValueNameLength)
        return "a value name longer than " + std::to_string(kMaxValueNameLength) + " characters";
    return std::nullopt;
}

std::string Value::Text() const {
    std::string text(data.begin(), data.end());
    while (!text.empty() && text.back() == '\0') text.pop_back();
    return text;
}

std::string Hive::Fold(std::string_view text) {
    return platform::text::LowerAscii(text);
}

Hive Hive::Parse(std::string_view text, const std::string& source) {
    Hive hive;
    if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
    std::vector<std::string> lines;
    {
        std::size_t start = 0;
        while (start <= text.size()) {
            std::size_t end = text.find('\n', start);
            if (end == std::string_view::npos) end = text.size();
            std::string line(text.substr(start, end - start));
            if (!line.empty() && line.back() == '\r') line.pop_back();
            lines.push_back(std::move(line));
            if (end == text.size()) break;
            start = end + 1;
        }
    }
    if (lines.empty() || lines[0] != kHeader) Damaged(source, 1, "no registry-export header");
    std::size_t implied = 0;
    const std::size_t impliedLimit = kImpliedAllowance + kImpliedPerFileByte * text.size();
    Key* current = nullptr;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const std::size_t number = i + 1;
        std::string line = lines[i];
        if (line.empty() || line.front() == ';') continue;
        if (line.front() == '[') {
            if (line.back() != ']') Damaged(source, number, "an unterminated key name");
            const std::string path = line.substr(1, line.size() - 2);
            if (path.starts_with("-"))
                Damaged(source, number, "a key deletion, which a registry file does not hold");
            if (const auto why = KeyPathProblem(path)) Damaged(source, number, *why);
            current = hive.Insert(path, nullptr, implied, impliedLimit);
            if (current == nullptr)
                Damaged(source, number,
                        "keys whose missing parents would take far more room than the file");
            continue;
        }
        if (current == nullptr) Damaged(source, number, "a value before any key");
        // A hex list may go on over several lines, each but the last ending in
        // '\'. The line only grows, so it is looked at once: searching it
        // again for every piece would take time in the square of its length.
        const bool hexList = line.find("=hex") != std::string::npos;
        while (hexList && !line.empty() && line.back() == '\\') {
            line.pop_back();
            if (++i >= lines.size()) Damaged(source, number, "a hex list cut short");
            std::string_view next = lines[i];
            while (!next.empty() && (next.front() == ' ' || next.front() == '\t'))
                next.remove_prefix(1);
            line += next;
        }
        Value value = ParseValue(line, source, number);
        auto same = std::find_if(
            current->values.begin(), current->values.end(),
            [&](const Value& v) { return platform::text::EqualsNoCase(v.name, value.name); });
        if (same != current->values.end())
            *same = std::move(value);
        else
            current->values.push_back(std::move(value));
    }
    return hive;
}

std::string Hive::Format() const {
    std::string out(kHeader);
    out += "\n\n";
    for (const auto& [folded, key] : m_keys) {
        out += "[" + key.path + "]\n";
        for (const auto& v : key.values) out += FormatValue(v) + "\n";
        out += "\n";
    }
    return out;
}

Key* Hive::Find(std::string_view path) {
    const auto it = m_keys.find(Fold(path));
    return it == m_keys.end() ? nullptr : &it->second;
}

const Key* Hive::Find(std::string_view path) const {
    const auto it = m_keys.find(Fold(path));
    return it == m_keys.end() ? nullptr : &it->second;
}

Key& Hive::Create(std::string_view path, bool* created) {
    if (const auto why = KeyPathProblem(path))
        throw RegistryError(ERROR_INVALID_PARAMETER,
                            "no key can be named " + Shown(path) + ": it has " + *why);
    std::size_t implied = 0;
    return *Insert(path, created, implied, std::numeric_limits<std::size_t>::max());
}

Key* Hive::Insert(std::string_view path, bool* created, std::size_t& implied,
                  std::size_t impliedLimit) {
    const std::string folded = Fold(path);
    if (const auto it = m_keys.find(folded); it != m_keys.end()) {
        if (created != nullptr) *created = false;
        return &it->second;
    }
    // A key's parents are all there, so only those below the deepest parent
    // present are made, shallowest first; without recursion, so that depth
    // costs no stack. A key right under a root has no parent kept.
    const std::size_t first = folded.find('\\');
    std::vector<std::size_t> missing;  // where the path of each missing parent ends
    for (std::size_t end = folded.rfind('\\'); end != std::string::npos && end > first;
         end = folded.rfind('\\', end - 1)) {
        if (m_keys.count(folded.substr(0, end)) != 0) break;
        if (implied + end > impliedLimit) return nullptr;
        implied += end;
        missing.push_back(end);
    }
    for (auto end = missing.rbegin(); end != missing.rend(); ++end) {
        const auto parent = m_keys.try_emplace(folded.substr(0, *end)).first;
        parent->second.path = std::string(path.substr(0, *end));
    }
    const auto it = m_keys.try_emplace(folded).first;
    it->second.path = std::string(path);
    if (created != nullptr) *created = true;
    return &it->second;
}

std::vector<std::string> Hive::Subkeys(std::string_view path) const {
    std::vector<std::string> out;
    const std::string prefix = Fold(path) + "\\";
    for (auto it = m_keys.lower_bound(prefix); it != m_keys.end() && it->first.starts_with(prefix);
         ++it)
        if (it->first.find('\\', prefix.size()) == std::string::npos)
            out.push_back(it->second.path.substr(prefix.size()));
    return out;
}

bool Hive::Remove(std::string_view path) {
    const std::string folded = Fold(path);
    const auto it = m_keys.find(folded);
    if (it == m_keys.end()) return false;
    const std::string prefix = folded + "\\";
    m_keys.erase(m_keys.lower_bound(prefix),
                 std::find_if(m_keys.lower_bound(prefix), m_keys.end(),
                              [&](const auto& kv) { return !kv.first.starts_with(prefix); }));
    m_keys.erase(folded);
    return true;
}

fs::path RegistryFile() {
    if (const char* home = std::getenv("OSTREL_HOME"); home != nullptr && *home != '\0')
        return fs::path(home) / "registry.reg";
    if (const char* config = std::getenv("XDG_CONFIG_HOME"); config != nullptr && *config == '/')
        return fs::path(config) / "ostrel" / "registry.reg";
    if (const char* user = std::getenv("HOME"); user != nullptr && *user == '/')
        return fs::path(user) / ".config" / "ostrel" / "registry.reg";
    throw RegistryError(ERROR_CANTOPEN, "no home folder for the registry: set OSTREL_HOME");
}

namespace {

// What tells one content of the file from another. Every change puts a new
// file in place by rename, and the file last parsed is kept open, so its
// inode cannot be reused for a later one; an edit in place changes the size
// or the times.
struct FileStamp {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = -1;
    std::int64_t modified = 0;
    std::int64_t changed = 0;
    bool operator==(const FileStamp&) const = default;
};

FileStamp StampOf(const struct stat& st) {
    return FileStamp{st.st_dev, st.st_ino, st.st_size,
                     std::int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec,
                     std::int64_t(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec};
}

std::optional<FileStamp> StampOf(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return std::nullopt;
    return StampOf(st);
}

// The file last parsed: activation looks up several keys in a row, and each
// would otherwise parse the whole file again.
struct ParsedFile {
    std::mutex mutex;
    fs::path file;
    int fd = -1;
    FileStamp stamp;
    FileStamp folder;  // the folder's, as it was when the file was opened
    std::shared_ptr<const Hive> hive;
};

// Whether the file last parsed is still the one at its path, in a folder
// that has not changed either, with its owner and mode still those the
// registry needs: told by the two entries' status alone, without opening and
// checking the file again (which each of the several lookups of one
// activation would). A file reached through a link is always opened again.
bool StillParsed(const ParsedFile& last, const fs::path& file) {
    if (!last.hive || last.file != file) return false;
    const fs::path folder = file.parent_path().empty() ? fs::path(".") : file.parent_path();
    struct stat fileStat {
    }, folderStat{};
    if (::lstat(file.c_str(), &fileStat) != 0 || !S_ISREG(fileStat.st_mode) ||
        ::stat(folder.c_str(), &folderStat) != 0 || !S_ISDIR(folderStat.st_mode))
        return false;
    const auto owned = [](const struct stat& st) {
        return platform::win::TrustedOwner(st.st_uid) && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
    };
    return StampOf(fileStat) == last.stamp && StampOf(folderStat) == last.folder &&
           owned(fileStat) && owned(folderStat);
}

ParsedFile& LastParsed() {
    static auto* parsed = new ParsedFile();  // lives as long as the process
    return *parsed;
}

}  // namespace

std::shared_ptr<const Hive> Snapshot() {
    const fs::path file = RegistryFile();
    ParsedFile& last = LastParsed();
    {
        std::lock_guard lock(last.mutex);
        if (StillParsed(last, file)) return last.hive;
    }
    const fs::path folder = file.parent_path().empty() ? fs::path(".") : file.parent_path();
    // Taken before the checks the file is opened after, so that a change to
    // the folder in between shows as a different stamp the next time.
    struct stat folderStat {};
    const bool folderKnown = ::stat(folder.c_str(), &folderStat) == 0;
    const int fd = OpenForReading(file);
    if (fd < 0) return std::make_shared<const Hive>();
    bool kept = false;
    struct Closer {
        int fd;
        bool& kept;
        ~Closer() {
            if (!kept) ::close(fd);
        }
    } closer{fd, kept};
    const auto stamp = StampOf(fd);
    if (stamp) {
        std::lock_guard lock(last.mutex);
        if (last.hive && last.file == file && last.stamp == *stamp) return last.hive;
    }
    auto hive = std::make_shared<const Hive>(ReadOpenFile(fd, file));
    // Kept only when the file did not change while it was read.
    if (stamp && StampOf(fd) == stamp) {
        std::lock_guard lock(last.mutex);
        if (last.fd >= 0) ::close(last.fd);
        last.file = file;
        last.fd = fd;
        last.stamp = *stamp;
        // Never taken for the folder's when its status could not be read.
        last.folder = folderKnown ? StampOf(folderStat) : FileStamp{};
        last.hive = hive;
        kept = true;
    }
    return hive;
}

Hive Load() {
    return *Snapshot();
}

fs::path MakeRegistryFolder() {
    const fs::path file = RegistryFile();
    const fs::path folder = file.parent_path().empty() ? fs::path(".") : file.parent_path();
    MakePrivateFolders(folder);
    CheckFolder(folder);
    return folder;
}

void Update(const std::function<bool(Hive&)>& change) {
    const fs::path file = RegistryFile();
    MakeRegistryFolder();
    WriteLock lock;
    Hive hive = ReadFile(file);
    if (!change(hive)) return;
    Write(file, hive);
}

std::optional<fs::path> MoveDamagedFileAside() {
    const fs::path file = RegistryFile();
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(file, ec))) return std::nullopt;
    MakeRegistryFolder();
    WriteLock lock;
    try {
        ReadFile(file);
        return std::nullopt;
    } catch (const RegistryError& e) {
        if (e.Code() != ERROR_BADDB) throw;
    }
    // The file a link points to is the one that is damaged; the link stays.
    fs::path damaged = file;
    if (fs::is_symlink(file, ec)) {
        damaged = fs::canonical(file, ec);
        if (ec)
            throw RegistryError(ERROR_CANTOPEN,
                                "cannot follow the link " + file.string() + ": " + ec.message());
    }
    const std::string stem = damaged.string() + ".damaged-" + UtcStamp();
    fs::path aside = stem;
    for (int n = 2; !RenameNoReplace(damaged, aside); ++n) aside = stem + "-" + std::to_string(n);
    // Written where the damaged file was, which a link still points to.
    Write(damaged, Hive());
    return aside;
}

std::optional<std::string> RootPath(HKEY root) {
    if (root == HKEY_CLASSES_ROOT) return std::string("HKEY_CURRENT_USER\\Software\\Classes");
    if (root == HKEY_CURRENT_USER) return std::string("HKEY_CURRENT_USER");
    return std::nullopt;
}

}  // namespace platform::com::registry

namespace {

using namespace platform::com::registry;

std::mutex g_handleMutex;
std::unordered_set<HKEY> g_handles;

// The full path of `key` joined with `subkey`; false for a handle that is not
// open or a subkey no key may have (which would damage the file written).
bool Resolve(HKEY key, LPCSTR subkey, std::string& path) {
    if (auto root = RootPath(key)) {
        path = *root;
    } else {
        std::lock_guard lock(g_handleMutex);
        if (g_handles.count(key) == 0) return false;
        path = key->path;
    }
    if (subkey != nullptr && *subkey != '\0') {
        if (subkey[0] == '\\') return false;
        path += "\\";
        path += subkey;
        while (!path.empty() && path.back() == '\\') path.pop_back();
    }
    return !KeyPathProblem(path);
}

HKEY NewHandle(const std::string& path) {
    auto* handle = new HKEY__{path};
    std::lock_guard lock(g_handleMutex);
    g_handles.insert(handle);
    return handle;
}

// Every registry function reports through one guard: a failure of the file
// gives its status, anything unforeseen ERROR_CANTWRITE; the end of an
// enumeration is a result, not a failure.
template <typename F>
LSTATUS Guard(std::string_view function, F&& body) {
    return platform::RunGuardedStatus(function, std::forward<F>(body), ERROR_CANTWRITE,
                                      LSTATUS(ERROR_NOT_ENOUGH_MEMORY),
                                      {LSTATUS(ERROR_NO_MORE_ITEMS)});
}

bool Injected(const char* function, LSTATUS& status) {
    std::uint32_t code = 0;
    if (!platform::seams::Injected(function, code)) return false;
    status = static_cast<LSTATUS>(code);
    return true;
}

}  // namespace

LSTATUS RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, LPSTR, DWORD, REGSAM, void*,
                        PHKEY phkResult, DWORD* lpdwDisposition) {
    return Guard("RegCreateKeyExA", [&]() -> LSTATUS {
        LSTATUS injected;
        if (Injected("RegCreateKeyExA", injected)) return injected;
        std::string path;
        if (phkResult == nullptr || !Resolve(hKey, lpSubKey, path))
            return LSTATUS(ERROR_INVALID_PARAMETER);
        bool created = false;
        Update([&](Hive& hive) {
            hive.Create(path, &created);
            return created;
        });
        if (lpdwDisposition != nullptr)
            *lpdwDisposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
        *phkResult = NewHandle(path);
        return LSTATUS(ERROR_SUCCESS);
    });
}

LSTATUS RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, REGSAM, PHKEY phkResult) {
    return Guard("RegOpenKeyExA", [&]() -> LSTATUS {
        std::string path;
        if (phkResult == nullptr || !Resolve(hKey, lpSubKey, path))
            return LSTATUS(ERROR_INVALID_PARAMETER);
        const auto snapshot = Snapshot();
        const Hive& hive = *snapshot;
        if (RootPath(hKey) && (lpSubKey == nullptr || *lpSubKey == '\0')) {
            *phkResult = NewHandle(path);
            return LSTATUS(ERROR_SUCCESS);
        }
        if (hive.Find(path) == nullptr) {
            // A key that is not there is an answer, which callers look for.
            platform::ExpectedResult();
            return LSTATUS(ERROR_FILE_NOT_FOUND);
        }
        *phkResult = NewHandle(path);
        return LSTATUS(ERROR_SUCCESS);
    });
}

LSTATUS RegCloseKey(HKEY hKey) {
    return Guard("RegCloseKey", [&]() -> LSTATUS {
        if (RootPath(hKey)) return ERROR_SUCCESS;
        {
            std::lock_guard lock(g_handleMutex);
            if (g_handles.erase(hKey) == 0) return LSTATUS(ERROR_INVALID_HANDLE);
        }
        delete hKey;
        return ERROR_SUCCESS;
    });
}

LSTATUS RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD, DWORD dwType, const BYTE* lpData,
                       DWORD cbData) {
    return Guard("RegSetValueExA", [&]() -> LSTATUS {
        LSTATUS injected;
        if (Injected("RegSetValueExA", injected)) return injected;
        std::string path;
        if (!Resolve(hKey, nullptr, path) || (lpData == nullptr && cbData > 0))
            return LSTATUS(ERROR_INVALID_PARAMETER);
        if (lpValueName != nullptr && ValueNameProblem(lpValueName))
            return LSTATUS(ERROR_INVALID_PARAMETER);
        Value value;
        value.name = lpValueName == nullptr ? "" : lpValueName;
        value.type = dwType;
        value.data.assign(lpData, lpData + cbData);
        if ((dwType == REG_SZ || dwType == REG_EXPAND_SZ) &&
            (value.data.empty() || value.data.back() != 0))
            value.data.push_back(0);
        Update([&](Hive& hive) {
            Key& key = hive.Create(path);
            auto same = std::find_if(key.values.begin(), key.values.end(), [&](const Value& v) {
                return platform::text::EqualsNoCase(v.name, value.name);
            });
            if (same != key.values.end())
                *same = value;
            else
                key.values.push_back(value);
            return true;
        });
        return LSTATUS(ERROR_SUCCESS);
    });
}

LSTATUS RegSetValueA(HKEY hKey, LPCSTR lpSubKey, DWORD dwType, LPCSTR lpData, DWORD) {
    return Guard("RegSetValueA", [&]() -> LSTATUS {
        if (dwType != REG_SZ || lpData == nullptr) return LSTATUS(ERROR_INVALID_PARAMETER);
        HKEY sub = nullptr;
        LSTATUS status =
            RegCreateKeyExA(hKey, lpSubKey, 0, nullptr, 0, KEY_WRITE, nullptr, &sub, nullptr);
        if (status != ERROR_SUCCESS) return status;
        status = RegSetValueExA(sub, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(lpData),
                                static_cast<DWORD>(std::strlen(lpData) + 1));
        RegCloseKey(sub);
        return status;
    });
}

LSTATUS RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, DWORD*, DWORD* lpType, BYTE* lpData,
                         DWORD* lpcbData) {
    return Guard("RegQueryValueExA", [&]() -> LSTATUS {
        std::string path;
        if (!Resolve(hKey, nullptr, path) || (lpData != nullptr && lpcbData == nullptr))
            return LSTATUS(ERROR_INVALID_PARAMETER);
        const auto snapshot = Snapshot();
        const Key* key = snapshot->Find(path);
        if (key == nullptr) return LSTATUS(ERROR_FILE_NOT_FOUND);
        const std::string_view name = lpValueName == nullptr ? "" : lpValueName;
        const auto v = std::find_if(key->values.begin(), key->values.end(), [&](const Value& x) {
            return platform::text::EqualsNoCase(x.name, name);
        });
        if (v == key->values.end()) {
            platform::ExpectedResult();  // as for a key, an answer
            return LSTATUS(ERROR_FILE_NOT_FOUND);
        }
        if (lpType != nullptr) *lpType = v->type;
        if (lpcbData == nullptr) return LSTATUS(ERROR_SUCCESS);
        const auto* bytes = reinterpret_cast<const BYTE*>(v->data.data());
        return LSTATUS(platform::CopyOut({bytes, v->data.size()}, lpData, lpcbData));
    });
}

LSTATUS RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, DWORD* lpcchName, DWORD*, LPSTR,
                      DWORD*, FILETIME*) {
    return Guard("RegEnumKeyExA", [&]() -> LSTATUS {
        std::string path;
        if (!Resolve(hKey, nullptr, path) || lpName == nullptr || lpcchName == nullptr)
            return LSTATUS(ERROR_INVALID_PARAMETER);
        const auto names = Snapshot()->Subkeys(path);
        if (dwIndex >= names.size()) return ERROR_NO_MORE_ITEMS;
        const std::string& name = names[dwIndex];
        if (*lpcchName <= name.size()) return LSTATUS(ERROR_MORE_DATA);
        std::memcpy(lpName, name.c_str(), name.size() + 1);
        *lpcchName = static_cast<DWORD>(name.size());
        return LSTATUS(ERROR_SUCCESS);
    });
}

LSTATUS RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey) {
    return Guard("RegDeleteKeyA", [&]() -> LSTATUS {
        LSTATUS injected;
        if (Injected("RegDeleteKeyA", injected)) return injected;
        std::string path;
        if (!Resolve(hKey, lpSubKey, path) || lpSubKey == nullptr || *lpSubKey == '\0')
            return LSTATUS(ERROR_INVALID_PARAMETER);
        LSTATUS status = ERROR_SUCCESS;
        Update([&](Hive& hive) {
            if (hive.Find(path) == nullptr) {
                status = LSTATUS(ERROR_FILE_NOT_FOUND);
                return false;
            }
            if (!hive.Subkeys(path).empty()) {
                status = ERROR_KEY_HAS_CHILDREN;
                return false;
            }
            return hive.Remove(path);
        });
        return status;
    });
}

LSTATUS RegDeleteTreeA(HKEY hKey, LPCSTR lpSubKey) {
    return Guard("RegDeleteTreeA", [&]() -> LSTATUS {
        LSTATUS injected;
        if (Injected("RegDeleteTreeA", injected)) return injected;
        std::string path;
        if (!Resolve(hKey, lpSubKey, path)) return LSTATUS(ERROR_INVALID_PARAMETER);
        const bool keepKey = lpSubKey == nullptr || *lpSubKey == '\0';
        LSTATUS status = ERROR_SUCCESS;
        Update([&](Hive& hive) {
            if (hive.Find(path) == nullptr) {
                status = LSTATUS(ERROR_FILE_NOT_FOUND);
                return false;
            }
            if (!keepKey) return hive.Remove(path);
            bool changed = false;
            for (const auto& sub : hive.Subkeys(path)) changed |= hive.Remove(path + "\\" + sub);
            return changed;
        });
        return status;
    });
}
