// The Qt backend as the rest of the program sees it: a stand-in that opens
// the Qt module the first time a box or dialog has to be shown, so that a
// program that never shows one never loads Qt.

#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "platform/ui/Backend.h"

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

// Where the module may be: the override alone when it is set; otherwise
// beside the program or library this code is linked into, beside the
// running program, then the loader's own search path.
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

class QtBackend final : public Backend {
public:
    std::string_view Name() const override { return "qt"; }

    int ShowMessageBox(const std::string& text, UINT style) override {
        if (Backend* qt = Loaded()) {
            const int result = qt->ShowMessageBox(text, style);
            if (result != kBoxNotShown) return result;
            Declined();
        }
        return Fallback().ShowMessageBox(text, style);
    }

    std::intptr_t RunDialog(DialogSession& dialog) override {
        if (Backend* qt = Loaded()) {
            const std::intptr_t result = qt->RunDialog(dialog);
            if (dialog.Ended() || result != kDialogNotShown) return result;
            Declined();
        }
        return Fallback().RunDialog(dialog);
    }

private:
    Backend* Loaded() {
        std::call_once(m_once, [this] { Load(); });
        return m_loaded;
    }

    void Load() {
        std::string why;
        for (const std::string& file : Candidates()) {
            void* handle = ::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
            if (handle == nullptr) {
                const char* err = ::dlerror();
                if (why.empty()) why = err != nullptr ? err : file + ": cannot be opened";
                continue;
            }
            // The module stays loaded for the life of the process: Qt does not
            // take kindly to being unloaded.
            auto entry =
                reinterpret_cast<OstrelUiBackendEntry>(::dlsym(handle, kOstrelUiBackendEntry));
            m_loaded = entry == nullptr ? nullptr : entry(kDialogViewVersion);
            if (m_loaded != nullptr) return;
            why = file + " is not a user-interface module of this build";
        }
        std::fprintf(stderr, "ostrel: the Qt user interface is not available (%s); using the %s\n",
                     why.c_str(), isatty(STDIN_FILENO) != 0 ? "terminal" : "unattended one");
    }

    // Qt is there but cannot show anything here: no display, or a thread
    // other than the one its widgets live on.
    void Declined() {
        std::call_once(m_declinedOnce, [] {
            std::fprintf(stderr,
                         "ostrel: the Qt user interface cannot show anything here (no display, or "
                         "not its thread); using the %s\n",
                         isatty(STDIN_FILENO) != 0 ? "terminal" : "unattended one");
        });
    }

    Backend& Fallback() {
        std::call_once(m_fallbackOnce, [this] {
            m_fallback = isatty(STDIN_FILENO) != 0 ? MakeTtyBackend() : MakeNoneBackend();
        });
        return *m_fallback;
    }

    std::once_flag m_once;
    Backend* m_loaded = nullptr;
    std::once_flag m_declinedOnce;
    std::once_flag m_fallbackOnce;
    std::unique_ptr<Backend> m_fallback;
};

}  // namespace

std::unique_ptr<Backend> MakeQtBackend() {
    return std::make_unique<QtBackend>();
}

}  // namespace platform::ui
