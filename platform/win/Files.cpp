#include "platform/win/Files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>

namespace platform::win {

namespace {

[[noreturn]] void Throw(int err, const std::string& what) {
    throw FileError(err, what + ": " + std::strerror(err));
}

std::atomic<unsigned> g_tempSerial{0};

}  // namespace

std::string OctalMode(mode_t mode) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%04o", unsigned(mode & 07777));
    return buf;
}

bool TrustedOwner(uid_t owner) {
    return owner == ::geteuid() || owner == 0;
}

std::string ReadAll(int fd, std::size_t limit, const std::string& name) {
    std::string data;
    char buf[65536];
    for (;;) {
        // Never ask for more than one byte past the limit, so that a huge
        // input costs no more than the limit to refuse.
        const std::size_t room = limit - data.size() + 1;
        const ssize_t n = ::read(fd, buf, std::min(sizeof buf, room));
        if (n == 0) return data;
        if (n < 0) {
            if (errno == EINTR) continue;
            Throw(errno, "cannot read " + name);
        }
        if (data.size() + std::size_t(n) > limit)
            throw FileError(0, name + " is larger than " + std::to_string(limit) + " bytes");
        data.append(buf, std::size_t(n));
    }
}

int OpenRegularFile(const std::filesystem::path& path, const std::string& name) {
    // Non-blocking, so that opening a FIFO with no writer returns at once.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) Throw(errno, "cannot read " + name);
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        const int err = errno;
        ::close(fd);
        Throw(err, "cannot read " + name);
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        throw FileError(EINVAL, "cannot read " + name + ": it is not a regular file");
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    return fd;
}

std::string ReadRegularFile(const std::filesystem::path& path, std::size_t limit,
                            const std::string& name) {
    const int fd = OpenRegularFile(path, name);
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat st {};
    if (::fstat(fd, &st) == 0 && std::uint64_t(st.st_size) > limit)
        throw FileError(0, name + " is larger than " + std::to_string(limit) + " bytes");
    return ReadAll(fd, limit, name);
}

void WriteAtomically(const std::filesystem::path& requested, std::string_view bytes, mode_t mode,
                     const std::string& tempPrefix) {
    // A link is written through: the file it names is replaced and the link
    // kept, as the user who made the link expects.
    std::filesystem::path target = requested;
    std::error_code ec;
    if (std::filesystem::is_symlink(requested, ec)) {
        target = std::filesystem::canonical(requested, ec);
        if (ec)
            throw FileError(ENOENT, "cannot write " + requested.string() +
                                        ": it is a symbolic link to a file that does not exist (" +
                                        ec.message() + ")");
    }
    const std::string tail = target.filename().string();
    std::filesystem::path temp;
    int fd = -1;
    for (int attempt = 0; fd < 0; ++attempt) {
        temp = target.parent_path() / (tempPrefix + std::to_string(::getpid()) + "-" +
                                       std::to_string(g_tempSerial++) + "-" + tail);
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode);
        // A name left by a dead process with the same number is passed over.
        if (fd < 0 && (errno != EEXIST || attempt > 100))
            Throw(errno, "cannot write " + temp.string());
    }
    int err = 0;
    if (::fchmod(fd, mode) != 0) err = errno;  // whatever the umask says
    std::size_t done = 0;
    while (err == 0 && done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0)
            err = n < 0 ? errno : EIO;
        else
            done += std::size_t(n);
    }
    if (err == 0 && ::fsync(fd) != 0) err = errno;
    if (::close(fd) != 0 && err == 0) err = errno;
    if (err == 0 && ::rename(temp.c_str(), target.c_str()) != 0) err = errno;
    if (err != 0) {
        ::unlink(temp.c_str());
        Throw(err, "cannot write " + target.string());
    }
    const int dir = ::open(target.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
}

std::optional<pid_t> TemporaryFileWriter(std::string_view name, std::string_view tempPrefix) {
    if (name.substr(0, tempPrefix.size()) != tempPrefix) return std::nullopt;
    name.remove_prefix(tempPrefix.size());
    pid_t pid = 0;
    const auto [end, ec] = std::from_chars(name.data(), name.data() + name.size(), pid);
    if (ec != std::errc{} || pid <= 0 || end == name.data() + name.size() || *end != '-')
        return std::nullopt;
    return pid;
}

}  // namespace platform::win
