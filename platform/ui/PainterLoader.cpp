// The painter lives in the Qt module beside the dialog backend. The module is
// looked for where the backend looks for it (the override, beside this code,
// beside the program, then the loader's path); painting needs no display, so
// a program without one can still draw.

#include "platform/ui/PainterLoader.h"

#include <dlfcn.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <vector>

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

std::vector<std::string> Candidates() {
    if (const char* over = std::getenv("OSTREL_UI_QT_MODULE"); over != nullptr && *over != '\0')
        return {over};
    std::vector<std::string> out;
    for (const auto& folder : {FolderOfThisCode(), FolderOfProgram()}) {
        if (folder.empty()) continue;
        const std::string file = (folder / kModuleFile).string();
        if (std::find(out.begin(), out.end(), file) == out.end()) out.push_back(file);
    }
    out.emplace_back(kModuleFile);
    return out;
}

struct Loaded {
    Painter* painter = nullptr;
    std::string why;
};

Loaded Load() {
    Loaded result;
    for (const std::string& file : Candidates()) {
        void* handle = ::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) {
            const char* err = ::dlerror();
            if (result.why.empty()) result.why = err != nullptr ? err : file + ": cannot be opened";
            continue;
        }
        // Kept loaded for the life of the process, as the dialog backend is.
        auto entry = reinterpret_cast<OstrelUiPainterEntry>(::dlsym(handle, kOstrelUiPainterEntry));
        result.painter = entry == nullptr ? nullptr : entry(kPaintViewVersion);
        if (result.painter != nullptr) return result;
        result.why = file + " offers no painter of this build";
    }
    return result;
}

}  // namespace

Painter* LoadPainter(std::string* why) {
    static std::once_flag once;
    static Loaded loaded;
    std::call_once(once, [] { loaded = Load(); });
    if (loaded.painter == nullptr && why != nullptr) *why = loaded.why;
    return loaded.painter;
}

}  // namespace platform::ui
