#pragma once
// Whole-file reading and atomic replacement, as every file the platform and
// its hosts keep (store entries, the registry) and every input they take need.

#include <sys/types.h>

#include <cstddef>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>

namespace platform::win {

// A failure with the errno that caused it (0 when it was the size limit).
class FileError : public std::runtime_error {
public:
    FileError(int error, const std::string& what) : std::runtime_error(what), m_error(error) {}
    int Error() const { return m_error; }

private:
    int m_error;
};

// Reads a descriptor to its end; more than `limit` bytes is an error.
// `name` is how messages call the source.
std::string ReadAll(int fd, std::size_t limit, const std::string& name);

// Replaces `target` with `bytes` by writing a temporary file beside it (named
// with `tempPrefix`), syncing it and renaming it over the target, then syncing
// the folder: readers see the old or the new file, never a part of one.
void WriteAtomically(const std::filesystem::path& target, std::string_view bytes, mode_t mode,
                     const std::string& tempPrefix);

}  // namespace platform::win
