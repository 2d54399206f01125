#pragma once
// A modal dialog as the user-interface backends see it: a snapshot of each
// control to draw, what the user can do to it, and the notices a backend gets
// when the dialog changes under it. The backend module opened on demand (Qt)
// sees nothing else of the framework, so this header stays free of it: only
// the standard library, and every call a backend makes goes through a virtual
// function.

#include <cstdint>
#include <string>
#include <vector>

namespace platform::ui {

// Raised whenever this interface changes, so that a backend module built from
// other sources is refused rather than misread.
inline constexpr int kDialogViewVersion = 3;

enum class ControlKind {
    PushButton,
    DefPushButton,
    Label,    // static text
    Picture,  // static bitmap
    Edit,     // one-line edit
    ListBox,
    RichEdit,  // multi-line text
    Other,
};

// Positions and sizes in dialog units of the template's font.
struct DuRect {
    int x = 0;
    int y = 0;
    int cx = 0;
    int cy = 0;
};

enum class TextAlign { Left, Center, Right };

struct ControlView {
    int id = -1;
    ControlKind kind = ControlKind::Other;
    std::uint32_t style = 0;
    DuRect rect;
    std::string text;  // UTF-8
    bool visible = true;
    bool enabled = true;
    bool readOnly = false;
    bool password = false;  // edits: what is typed is not shown
    bool tabStop = false;
    bool border = false;
    bool vscroll = false;
    TextAlign align = TextAlign::Left;
    std::vector<std::string> rows;      // list boxes
    int selection = -1;                 // list boxes: the selected row, -1 for none
    std::vector<unsigned char> bitmap;  // pictures: a BMP file image
};

// The ways a user ends or answers a dialog without a button of it.
enum class UserKey { Enter, Escape, CloseBox };

class DialogObserver {
public:
    virtual ~DialogObserver() = default;
    // Control `index` changed: text, visibility, rows or selection.
    virtual void ControlChanged(int index) noexcept = 0;
    // The dialog has ended with `result`; the backend leaves its loop.
    virtual void DialogEnded(std::intptr_t result) noexcept = 0;
};

class DialogSession {
public:
    virtual ~DialogSession() = default;

    virtual int TemplateId() const = 0;  // 0 when made from a template in memory
    virtual std::string Caption() const = 0;
    virtual DuRect Frame() const = 0;
    virtual std::string FontName() const = 0;
    virtual int PointSize() const = 0;
    virtual int ControlCount() const = 0;
    virtual ControlView Control(int index) const = 0;
    // The control that has the focus when the dialog shows, or -1.
    virtual int FocusIndex() const = 0;
    virtual bool Ended() const = 0;
    virtual std::intptr_t Result() const = 0;

    // What the user does. Each runs the dialog's handlers before it returns;
    // none throws.
    virtual void UserSelect(int index, int row) noexcept = 0;
    virtual void UserClick(int index) noexcept = 0;
    virtual void UserPress(UserKey key) noexcept = 0;
    // The user typed into an edit control, which now holds `text`.
    virtual void UserType(int index, const std::string& text) noexcept = 0;

    // At most one observer; null to stop observing.
    virtual void SetObserver(DialogObserver* observer) noexcept = 0;
};

}  // namespace platform::ui
