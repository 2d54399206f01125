// Choosing the backend, the unattended one, and the log of boxes and dialogs.

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/ui/Backend.h"
#include "platform/ui/Display.h"
#include "platform/ui/MessageBox.h"
#include "platform/ui/PinDialog.h"

namespace platform::ui {
namespace {

class NoneBackend final : public Backend {
public:
    std::string_view Name() const override { return "none"; }
    // Nobody sees a box here, so its text goes where a person running the
    // command, or the log of a service, does look: standard error.
    int ShowMessageBox(const std::string& caption, const std::string& text, UINT style) override {
        const bool stop = (style & MB_ICONHAND) != 0;
        // One line break after the text, whatever breaks the text ends in.
        std::string body;
        for (char c : text)
            if (c != '\r') body += c;
        while (!body.empty() && body.back() == '\n') body.pop_back();
        const std::string line = caption + (stop ? " [error]: " : ": ") + body + "\n";
        std::fwrite(line.data(), 1, line.size(), stderr);
        std::fflush(stderr);
        return IDOK;
    }
    std::intptr_t RunDialog(DialogSession& dialog) override {
        // Nobody is there to answer: the dialog goes as if Escape was pressed.
        dialog.UserPress(UserKey::Escape);
        return dialog.Ended() ? dialog.Result() : kDialogNotShown;
    }
};

std::string Env(const char* name) {
    const char* v = std::getenv(name);
    return v == nullptr ? std::string() : std::string(v);
}

}  // namespace

// Whatever shows boxes and dialogs also asks for the PINs of tokens.
[[maybe_unused]] const bool g_pinPromptRegistered = RegisterPinDialog();

std::unique_ptr<Backend> MakeNoneBackend() {
    return std::make_unique<NoneBackend>();
}

Backend& CurrentBackend() {
    static const auto none = MakeNoneBackend();
    static const auto tty = MakeTtyBackend();
    static const auto script = MakeScriptBackend();
    static const auto qt = MakeQtBackend();
    const std::string choice = Env("OSTREL_UI");
    if (choice == "none") return *none;
    if (choice == "tty") return *tty;
    if (choice == "script") return *script;
    if (!choice.empty() && choice != "qt") {
        static std::atomic<bool> warned{false};
        if (!warned.exchange(true))
            std::fprintf(stderr,
                         "ostrel: OSTREL_UI=%s is not a user interface (qt, tty, script, none); "
                         "choosing one for this session\n",
                         choice.c_str());
    }
    Backend& fallback = isatty(STDIN_FILENO) != 0 ? *tty : *none;
    // A display, or a Qt platform named outright (offscreen, in tests).
    if (choice != "qt" && Env("DISPLAY").empty() && Env("WAYLAND_DISPLAY").empty() &&
        Env("QT_QPA_PLATFORM").empty())
        return fallback;
    // Qt ends the process when its display cannot be reached, which would
    // take a host down with it; another user interface does instead.
    const DisplayCheck display = CheckDisplay();
    if (display.reachable) return *qt;
    static std::atomic<bool> told{false};
    if (!told.exchange(true))
        std::fprintf(stderr,
                     "ostrel: no display can be reached (%s); using the %s (OSTREL_UI=%s)\n",
                     display.why.c_str(),
                     &fallback == tty.get() ? "terminal user interface"
                                            : "unattended user interface, boxes on standard error",
                     std::string(fallback.Name()).c_str());
    return fallback;
}

void AppendUiLog(const std::string& jsonLine) {
    const char* path = std::getenv("OSTREL_UI_LOG");
    if (path == nullptr || *path == '\0') return;
    // One write per line on an append-only descriptor keeps lines whole when
    // several processes log to one file.
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0) return;
    const std::string line = jsonLine + "\n";
    [[maybe_unused]] auto written = ::write(fd, line.data(), line.size());
    ::close(fd);
}

}  // namespace platform::ui
