#include "platform/win/Files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace platform::win {

std::string ReadAll(int fd, std::size_t limit, const std::string& name) {
    std::string data;
    char buf[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n == 0) return data;
        if (n < 0) {
            if (errno == EINTR) continue;
            const int err = errno;
            throw FileError(err, "cannot read " + name + ": " + std::strerror(err));
        }
        if (data.size() + std::size_t(n) > limit)
            throw FileError(0, name + " is larger than " + std::to_string(limit) + " bytes");
        data.append(buf, std::size_t(n));
    }
}

void WriteAtomically(const std::filesystem::path& target, std::string_view bytes, mode_t mode,
                     const std::string& tempPrefix) {
    const std::filesystem::path temp =
        target.parent_path() /
        (tempPrefix + std::to_string(::getpid()) + "-" + target.filename().string());
    const int fd =
        ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, mode);
    if (fd < 0) {
        const int err = errno;
        throw FileError(err, "cannot write " + temp.string() + ": " + std::strerror(err));
    }
    ::fchmod(fd, mode);  // whatever the umask says
    std::size_t done = 0;
    int err = 0;
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
        throw FileError(err, "cannot write " + target.string() + ": " + std::strerror(err));
    }
    const int dir = ::open(target.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
}

}  // namespace platform::win
