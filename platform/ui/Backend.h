#pragma once
// The user-interface backends. Which one runs is chosen by OSTREL_UI; the
// product never knows.

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

#include "platform/ui/DialogView.h"
#include "platform/win/WinTypes.h"

namespace platform::ui {

// Returned by RunDialog when the backend cannot show the dialog at all, and
// by ShowMessageBox when it cannot show the box.
inline constexpr std::intptr_t kDialogNotShown = -1;
inline constexpr int kBoxNotShown = 0;

class Backend {
public:
    virtual ~Backend() = default;
    virtual std::string_view Name() const = 0;
    // Shows a message box with its caption and returns the button that
    // dismissed it.
    virtual int ShowMessageBox(const std::string& caption, const std::string& text, UINT style) = 0;
    // Shows the dialog and lets the user work in it until it has ended (the
    // session says so), then returns its result; kDialogNotShown when it
    // could not be shown.
    virtual std::intptr_t RunDialog(DialogSession& dialog) = 0;
    // Tells the user something while the program waits on someone else (a
    // reader that takes the PIN itself), until EndNotice. Without a window
    // of its own, a backend writes the notice on standard error. (Defined
    // here: the backend module sees no function of the framework's own.)
    virtual void ShowNotice(const std::string& caption, const std::string& text) {
        const std::string line = caption + ": " + text + "\n";
        std::fwrite(line.data(), 1, line.size(), stderr);
        std::fflush(stderr);
    }
    virtual void EndNotice() {}
};

// The backend for this call: OSTREL_UI when set (qt, tty, script, none),
// otherwise qt where a display is available (or QT_QPA_PLATFORM names a Qt
// platform), tty on a terminal, none else. qt, asked for or chosen, is used
// only when its display can be reached (see CheckDisplay); else tty on a
// terminal, none else, and standard error says so once.
//
// The none backend answers every box at once and writes its text to
// standard error; dialogs go as if cancelled.
Backend& CurrentBackend();

// Appends one JSON line to the file OSTREL_UI_LOG names, if any.
void AppendUiLog(const std::string& jsonLine);

std::unique_ptr<Backend> MakeNoneBackend();
std::unique_ptr<Backend> MakeTtyBackend();
std::unique_ptr<Backend> MakeScriptBackend();
// The Qt backend, loaded from its module the first time it has to show
// something.
std::unique_ptr<Backend> MakeQtBackend();

}  // namespace platform::ui

// The entry point of a backend module: the backend it offers, or null when
// its interface version differs from `version`.
using OstrelUiBackendEntry = platform::ui::Backend* (*)(int version);
inline constexpr char kOstrelUiBackendEntry[] = "ostrel_ui_backend";
// The Qt module also says which Qt it runs with (a C string it keeps).
using OstrelUiQtVersionEntry = const char* (*)();
inline constexpr char kOstrelUiQtVersionEntry[] = "ostrel_ui_qt_version";
