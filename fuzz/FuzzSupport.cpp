#include "fuzz/FuzzSupport.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <system_error>

#include "platform/com/TypeLibFormat.h"

namespace ostrel::fuzz {

void Check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "fuzz check failed: %s\n", what);
        std::abort();
    }
}

namespace {

std::filesystem::path g_home;

void RemoveHome() {
    std::error_code ignored;
    std::filesystem::remove_all(g_home, ignored);
}

}  // namespace

const std::filesystem::path& PrivateHome() {
    if (!g_home.empty()) return g_home;
    // A target writes a file per input: in memory that costs no disk
    // writes, which would otherwise keep the fuzzer waiting most of its time.
    const char* tmp = std::getenv("TMPDIR");
    const char* base = ::access("/dev/shm", W_OK | X_OK) == 0 ? "/dev/shm"
                       : tmp != nullptr && *tmp == '/'        ? tmp
                                                              : "/tmp";
    std::string pattern = std::string(base) + "/ostrel-fuzz-XXXXXX";
    Check(::mkdtemp(pattern.data()) != nullptr, "a private home can be made");
    g_home = pattern;
    std::atexit(RemoveHome);
    ::setenv("OSTREL_HOME", pattern.c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (pattern + "/config").c_str(), 1);
    ::setenv("XDG_DATA_HOME", (pattern + "/data").c_str(), 1);
    // The machine's tokens are no input of a fuzz target.
    ::setenv("OSTREL_PKCS11_MODULES", "none", 1);
    return g_home;
}

void WriteFile(const std::filesystem::path& path, std::string_view bytes) {
    // A new file each time, not the old one truncated: a file system may
    // flush a truncated file's blocks to disk at once.
    ::unlink(path.c_str());
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    Check(fd >= 0, "an input file can be made");
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        Check(n > 0, "an input file can be written");
        done += std::size_t(n);
    }
    ::close(fd);
}

std::uint32_t Crc32(const std::uint8_t* data, std::size_t size) {
    return platform::com::typelib::Checksum({data, size});
}

void PutU32(std::uint8_t* at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = std::uint8_t(value >> (8 * i));
}

}  // namespace ostrel::fuzz
