#include "platform/ui/MessageBox.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <mutex>
#include <nlohmann/json.hpp>

#include "platform/seams/Seams.h"
#include "platform/ui/Backend.h"
#include "platform/win/LastError.h"

namespace platform::ui {
namespace {

class NoneBackend final : public Backend {
public:
    std::string_view Name() const override { return "none"; }
    int ShowMessageBox(const std::string&, UINT) override { return IDOK; }
};

class TtyBackend final : public Backend {
public:
    std::string_view Name() const override { return "tty"; }
    int ShowMessageBox(const std::string& text, UINT style) override {
        const bool stop = (style & MB_ICONHAND) != 0;
        std::string out = std::string(kCaption) + (stop ? " [error]: " : ": ") + text + "\n";
        const bool interactive = isatty(STDIN_FILENO) != 0;
        if (interactive) out += "[OK: press Enter] ";
        std::fwrite(out.data(), 1, out.size(), stderr);
        std::fflush(stderr);
        if (interactive) {
            int c;
            while ((c = std::getchar()) != EOF && c != '\n') {
            }
        }
        return IDOK;
    }
};

std::string EnvOr(const char* name, const char* fallback) {
    const char* v = std::getenv(name);
    return (v != nullptr && *v != '\0') ? std::string(v) : std::string(fallback);
}

}  // namespace

std::unique_ptr<Backend> MakeNoneBackend() { return std::make_unique<NoneBackend>(); }
std::unique_ptr<Backend> MakeTtyBackend() { return std::make_unique<TtyBackend>(); }

Backend& CurrentBackend() {
    static NoneBackend none;
    static TtyBackend tty;
    const std::string choice = EnvOr("OSTREL_UI", "");
    if (choice == "none") return none;
    if (choice == "tty") return tty;
    // Unset or not offered here: a terminal gets the text form, anything else
    // is unattended.
    return isatty(STDIN_FILENO) != 0 ? static_cast<Backend&>(tty) : none;
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

int AfxMessageBox(LPCSTR lpszText, UINT nType, UINT nIDHelp) {
    (void)nIDHelp;
    const DWORD saved = GetLastError();
    const std::string text = lpszText == nullptr ? std::string() : std::string(lpszText);
    platform::seams::Trace("AfxMessageBox " + std::to_string(nType) + " " + text);
    nlohmann::json line = {{"box", text}, {"style", nType}};
    platform::ui::AppendUiLog(line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
    int result = IDOK;
    try {
        result = platform::ui::CurrentBackend().ShowMessageBox(text, nType);
    } catch (...) {
        // A box that cannot be shown counts as dismissed.
    }
    SetLastError(saved);
    return result;
}
