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

#include "platform/ui/QtModulePath.h"

namespace platform::ui {
namespace {

class QtBackend final : public Backend {
public:
    std::string_view Name() const override { return "qt"; }

    int ShowMessageBox(const std::string& caption, const std::string& text, UINT style) override {
        if (Backend* qt = Loaded()) {
            const int result = qt->ShowMessageBox(caption, text, style);
            if (result != kBoxNotShown) return result;
            Declined();
        }
        return Fallback().ShowMessageBox(caption, text, style);
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
        for (const std::string& file : QtModuleCandidates()) {
            std::string problem;
            void* handle = OpenQtModuleFile(file, problem);
            if (handle == nullptr) {
                if (why.empty()) why = problem;
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
