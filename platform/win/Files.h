#pragma once
// Whole-file reading and atomic replacement, as every file the platform and
// its hosts keep (store entries, the registry) and every input they take need.

#include <sys/types.h>

#include <cstddef>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace platform::win {

// A file's permission bits as they are written for a person: "0644".
std::string OctalMode(mode_t mode);

// Whether files of `owner` may be trusted: the user's own, and the
// administrator's (root can change anything anyway).
bool TrustedOwner(uid_t owner);

// A failure with the errno that caused it (0 when it was the size limit).
class FileError : public std::runtime_error {
public:
    FileError(int error, const std::string& what) : std::runtime_error(what), m_error(error) {}
    int Error() const { return m_error; }

private:
    int m_error;
};

// Reads a descriptor to its end; more than `limit` bytes is an error, found
// as soon as the limit is passed (nothing beyond it is read).
std::string ReadAll(int fd, std::size_t limit, const std::string& name);

// Opens `path` for reading only when it is a regular file (following a
// symbolic link): a FIFO, a device or a folder is refused with EINVAL without
// ever blocking on it. Returns the descriptor (close-on-exec, blocking).
int OpenRegularFile(const std::filesystem::path& path, const std::string& name);

// OpenRegularFile, then ReadAll; a file whose size is already past `limit`
// is refused before any byte is read.
std::string ReadRegularFile(const std::filesystem::path& path, std::size_t limit,
                            const std::string& name);

// Replaces `target` with `bytes` by writing a temporary file beside it,
// syncing it and renaming it over the target, then syncing the folder:
// readers see the old or the new file, never a part of one.
//
// The temporary file is `<tempPrefix><pid>-<n>-<target's name>`, created
// exclusively (never through an existing file or link) with `mode`. When
// `target` is a symbolic link, the file it points to is replaced, so the
// link stays; a link that points nowhere is refused.
void WriteAtomically(const std::filesystem::path& target, std::string_view bytes, mode_t mode,
                     const std::string& tempPrefix);

// The process that wrote a temporary file named as WriteAtomically names it
// with `tempPrefix`, or nothing when `name` is not such a file.
std::optional<pid_t> TemporaryFileWriter(std::string_view name, std::string_view tempPrefix);

}  // namespace platform::win
