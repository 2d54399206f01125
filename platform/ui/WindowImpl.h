#pragma once
// The window objects behind HWND: a dialog and its controls, as the framework
// keeps them. Private to the dialog framework.

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ui/DialogTemplate.h"
#include "platform/ui/WinUser.h"

class CWnd;

namespace platform::ui {

// Told about everything that a backend has to show anew.
class WindowListener {
public:
    virtual ~WindowListener() = default;
    virtual void ControlChanged(int index) = 0;
    virtual void DialogEnded(INT_PTR result) = 0;
};

}  // namespace platform::ui

struct HWND__ {
    HWND__* parent = nullptr;
    std::vector<std::unique_ptr<HWND__>> children;
    int index = -1;  // position among the dialog's controls
    int id = -1;
    platform::ui::ControlKind kind = platform::ui::ControlKind::Other;
    std::string className;
    DWORD style = 0;
    platform::ui::DuRect rect;
    std::string text;
    int imageId = 0;
    std::vector<std::string> rows;
    int selection = -1;
    // The member that DDX_LBIndex binds to this list box, if any.
    const int* boundIndex = nullptr;

    // A dialog: the object that handles its messages, and who shows it.
    CWnd* attached = nullptr;
    platform::ui::WindowListener* listener = nullptr;
    bool ended = false;
    INT_PTR result = 0;

    // The object GetDlgItem hands out for a control nothing is attached to;
    // it lives as long as the window.
    std::unique_ptr<CWnd> temporary;

    HWND__();
    ~HWND__();
    HWND__(const HWND__&) = delete;
    HWND__& operator=(const HWND__&) = delete;
};

namespace platform::ui {

// Makes the windows of a template: the dialog with every control, in the
// template's order. Null, with the last-error code set, when a control names
// a window class that is not available.
std::unique_ptr<HWND__> CreateDialogWindows(const DialogTemplate& dialog, int templateId);

// The window behind a handle that is alive, or null with the last-error code
// set to ERROR_INVALID_WINDOW_HANDLE.
HWND__* CheckedWindow(HWND hWnd);

// What a dialog does with WM_CLOSE unless told otherwise: the close box
// counts as Cancel.
void DefaultClose(HWND dialog);

// Makes the rich edit window class available (once per process).
void RegisterRichEditClass();

// True for an edit control whose text is a secret (ES_PASSWORD).
bool HoldsSecret(const HWND__* w);
// Replaces a window's text. A secret is overwritten where it stood before it
// is replaced, so that no copy of it stays behind in freed memory.
void ReplaceText(HWND__* w, std::string_view text);
// Overwrites the bytes of a text, then empties it.
void WipeText(std::string& text);

}  // namespace platform::ui
