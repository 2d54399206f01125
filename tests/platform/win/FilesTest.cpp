#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "platform/win/Files.h"
#include "tests/support/TestSupport.h"

namespace fs = std::filesystem;
using platform::win::FileError;

namespace {

struct Folder {
    fs::path path;
    Folder() {
        char tmpl[] = "/tmp/ostrel-files-XXXXXX";
        path = ::mkdtemp(tmpl);
    }
    ~Folder() { fs::remove_all(path); }
};

std::string Slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

TEST(Files, OnlyRegularFilesAreOpenedAndNothingBlocks) {
    Folder dir;
    const fs::path fifo = dir.path / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // A FIFO with no writer would block a plain open forever.
    try {
        platform::win::ReadRegularFile(fifo, 100, "the fifo");
        FAIL() << "a FIFO was read";
    } catch (const FileError& e) {
        EXPECT_EQ(e.Error(), EINVAL);
        EXPECT_NE(std::string(e.what()).find("not a regular file"), std::string::npos);
    }
    EXPECT_THROW(platform::win::ReadRegularFile(dir.path, 100, "a folder"), FileError);
    EXPECT_THROW(platform::win::ReadRegularFile("/dev/zero", 100, "a device"), FileError);

    std::ofstream(dir.path / "big") << std::string(101, 'x');
    try {
        platform::win::ReadRegularFile(dir.path / "big", 100, "the big file");
        FAIL();
    } catch (const FileError& e) {
        EXPECT_EQ(e.Error(), 0);
    }
    std::ofstream(dir.path / "fits") << "abc";
    EXPECT_EQ(platform::win::ReadRegularFile(dir.path / "fits", 3, "f"), "abc");
}

TEST(Files, ReadingStopsAtTheLimitInsteadOfReadingEverything) {
    // An endless source: refusing it must not read it to the end.
    const int fd = ::open("/dev/zero", O_RDONLY);
    ASSERT_GE(fd, 0);
    EXPECT_THROW(platform::win::ReadAll(fd, 1 << 20, "zeros"), FileError);
    ::close(fd);
}

TEST(Files, AtomicWritesUseFreshTemporariesAndWriteThroughLinks) {
    Folder dir;
    const fs::path real = dir.path / "real.reg";
    std::ofstream(real) << "old";
    const fs::path link = dir.path / "link.reg";
    fs::create_symlink(real, link);

    // A file already sitting where a temporary would go, as a crash leaves
    // one, is neither followed nor reused.
    const fs::path planted = dir.path / (".tmp-" + std::to_string(::getpid()) + "-0-real.reg");
    fs::create_symlink(dir.path / "elsewhere", planted);

    platform::win::WriteAtomically(link, "new", 0600, ".tmp-");
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(Slurp(real), "new");
    EXPECT_FALSE(fs::exists(dir.path / "elsewhere"));
    struct stat st {};
    ASSERT_EQ(::stat(real.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);

    fs::create_symlink(dir.path / "missing", dir.path / "dangling");
    EXPECT_THROW(platform::win::WriteAtomically(dir.path / "dangling", "x", 0600, ".tmp-"),
                 FileError);
    EXPECT_FALSE(fs::exists(dir.path / "missing"));

    for (const auto& entry : fs::directory_iterator(dir.path)) {
        const std::string name = entry.path().filename().string();
        if (entry.path() == planted) continue;
        EXPECT_FALSE(platform::win::TemporaryFileWriter(name, ".tmp-")) << name;
    }
}

TEST(Files, TemporaryNamesTellTheirWriter) {
    EXPECT_EQ(platform::win::TemporaryFileWriter(".tmp-123-4-0000000001.pem", ".tmp-"), 123);
    EXPECT_FALSE(platform::win::TemporaryFileWriter(".tmp-123", ".tmp-"));
    EXPECT_FALSE(platform::win::TemporaryFileWriter(".tmp--1-x", ".tmp-"));
    EXPECT_FALSE(platform::win::TemporaryFileWriter("0000000001.pem", ".tmp-"));
}

}  // namespace

TEST(Files, ModesReadAsOctalAndOnlyTheUserAndRootAreTrusted) {
    EXPECT_EQ(platform::win::OctalMode(S_IFREG | 0644), "0644") << "the file type is left out";
    EXPECT_EQ(platform::win::OctalMode(S_IFDIR | S_ISVTX | 0777), "1777");
    EXPECT_EQ(platform::win::OctalMode(04755), "4755");
    EXPECT_EQ(platform::win::OctalMode(0), "0000");

    EXPECT_TRUE(platform::win::TrustedOwner(::geteuid()));
    EXPECT_TRUE(platform::win::TrustedOwner(0));
    EXPECT_FALSE(platform::win::TrustedOwner(::geteuid() + 1));
}
