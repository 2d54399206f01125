#pragma once
// Whether a shared object may be loaded into this process: loading runs its
// constructors as the user, so a file that someone else could have written,
// or could swap for another, is refused before the loader ever opens it.

#include <optional>
#include <string>

namespace platform::win {

// Why the shared object `path` may not be loaded, in words that name the
// file or folder at fault; nothing when it may. The path must be absolute;
// the file it leads to (through any symbolic links) must be a regular file
// of the user or root that neither group nor others may write; and no
// folder on the way to it, nor one holding a link followed on the way, may
// let anyone else replace what it holds.
std::optional<std::string> ModuleFileProblem(const std::string& path);

// The same checks for a file that says which code to load (a module's
// configuration), named `what` in the words returned.
std::optional<std::string> TrustedFileProblem(const std::string& path, const std::string& what);

}  // namespace platform::win
