#include "platform/ui/QtModulePath.h"

#include <dlfcn.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "platform/com/Activation.h"

namespace platform::ui {
namespace {

constexpr char kModuleFile[] = "libostrel_ui_qt.so";

std::filesystem::path FolderOfThisCode() {
    Dl_info info{};
    if (::dladdr(reinterpret_cast<void*>(&FolderOfThisCode), &info) == 0 ||
        info.dli_fname == nullptr)
        return {};
    std::error_code ec;
    const auto file = std::filesystem::canonical(info.dli_fname, ec);
    return ec ? std::filesystem::path() : file.parent_path();
}

std::filesystem::path FolderOfProgram() {
    std::error_code ec;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::filesystem::path() : exe.parent_path();
}

}  // namespace

std::vector<std::string> QtModuleCandidates() {
    if (const char* over = std::getenv("OSTREL_UI_QT_MODULE"); over != nullptr && *over != '\0')
        return {over};
    std::vector<std::string> out;
    for (const auto& folder : {FolderOfThisCode(), FolderOfProgram()}) {
        if (folder.empty()) continue;
        const std::string file = (folder / kModuleFile).string();
        if (std::find(out.begin(), out.end(), file) == out.end()) out.push_back(file);
    }
    const std::string installed = std::string(OSTREL_UI_QT_INSTALLED_DIR) + "/" + kModuleFile;
    if (std::find(out.begin(), out.end(), installed) == out.end()) out.push_back(installed);
    return out;
}

void* OpenQtModuleFile(const std::string& file, std::string& why) {
    if (FAILED(platform::com::CheckModuleFile(file, why))) return nullptr;
    void* handle = ::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* err = ::dlerror();
        why = err != nullptr ? err : file + ": cannot be opened";
    }
    return handle;
}

}  // namespace platform::ui
