#pragma once
// The user-interface backends. Which one runs is chosen by OSTREL_UI; the
// product never knows.

#include <memory>
#include <string>
#include <string_view>

#include "platform/win/WinTypes.h"

namespace platform::ui {

// The caption of every box and dialog frame the module shows.
inline constexpr char kCaption[] = "OSTREL";

class Backend {
public:
    virtual ~Backend() = default;
    virtual std::string_view Name() const = 0;
    // Shows a message box and returns the button that dismissed it.
    virtual int ShowMessageBox(const std::string& text, UINT style) = 0;
};

// The backend for this call: OSTREL_UI when set (qt, tty, script, none),
// otherwise the best one the session offers.
Backend& CurrentBackend();

// Appends one JSON line to the file OSTREL_UI_LOG names, if any.
void AppendUiLog(const std::string& jsonLine);

std::unique_ptr<Backend> MakeNoneBackend();
std::unique_ptr<Backend> MakeTtyBackend();

}  // namespace platform::ui
