#include "platform/win/ModuleFile.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <vector>

#include "platform/win/Files.h"

namespace platform::win {
namespace {

namespace fs = std::filesystem;

// Others may replace what a folder holds when they own it, or may write to
// it and it is not sticky (in a sticky folder only an entry's owner may
// rename or remove it, and the entry is checked in its turn).
std::optional<std::string> FolderProblem(const fs::path& folder, const std::string& of) {
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0) return std::nullopt;  // the file check reports it
    const bool foreign = !TrustedOwner(st.st_uid);
    if (!foreign && ((st.st_mode & (S_IWGRP | S_IWOTH)) == 0 || (st.st_mode & S_ISVTX) != 0))
        return std::nullopt;
    return "the folder " + folder.string() + " of " + of + " has mode " + OctalMode(st.st_mode) +
           (foreign ? " and another owner" : "") + "; others could replace it";
}

// Every folder from `folder` up to the root.
std::optional<std::string> ChainProblem(fs::path folder, const std::string& of) {
    for (;;) {
        if (auto problem = FolderProblem(folder, of)) return problem;
        if (!folder.has_relative_path()) return std::nullopt;
        folder = folder.parent_path();
    }
}

}  // namespace

std::optional<std::string> ModuleFileProblem(const std::string& path) {
    return TrustedFileProblem(path, "the module file");
}

std::optional<std::string> TrustedFileProblem(const std::string& path, const std::string& what) {
    const std::string file = what + " " + path;
    // A relative name is found wherever the process happens to run, or
    // along the loader's search path, which may hold the current folder.
    if (path.empty() || path.front() != '/') return file + " is not an absolute path";
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        const int err = errno;
        return err == ENOENT || err == ENOTDIR ? file + " does not exist"
                                               : "cannot open " + file + ": " + std::strerror(err);
    }
    // Loading a FIFO or a device would block or read what is not a module.
    if (!S_ISREG(st.st_mode)) return file + " is not a regular file";
    const bool foreign = !TrustedOwner(st.st_uid);
    if (foreign || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        return file + " has mode " + OctalMode(st.st_mode) + (foreign ? " and another owner" : "") +
               "; others could change it";

    // The folders the name is looked up in as written, and those of every
    // link followed to the file: each could be made to lead elsewhere.
    fs::path at = fs::path(path).lexically_normal();
    if (auto problem = ChainProblem(at.parent_path(), file)) return problem;
    for (int hops = 0; hops < 40; ++hops) {
        std::error_code ec;
        const fs::path folder = fs::canonical(at.parent_path(), ec);
        if (ec) return "cannot resolve the folder of " + file + ": " + ec.message();
        if (auto problem = ChainProblem(folder, file)) return problem;
        const fs::path here = folder / at.filename();
        if (!fs::is_symlink(fs::symlink_status(here, ec))) return std::nullopt;
        const fs::path target = fs::read_symlink(here, ec);
        if (ec) return "cannot follow the link " + here.string() + ": " + ec.message();
        at = (target.is_absolute() ? target : folder / target).lexically_normal();
    }
    return file + " leads through too many symbolic links";
}

}  // namespace platform::win
