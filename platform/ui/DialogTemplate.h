#pragma once
// Dialog templates as data: what a resource compiler would have made of a
// dialog script. Positions and sizes are in dialog units of the template's
// font.

#include <optional>
#include <span>

#include "platform/ui/DialogView.h"
#include "platform/win/WinTypes.h"

namespace platform::ui {

struct DialogItemTemplate {
    DWORD style;
    DWORD exStyle;
    short x, y, cx, cy;
    int id;              // -1 for a control the program never addresses
    LPCSTR windowClass;  // "BUTTON", "STATIC", "EDIT", "LISTBOX", "RICHEDIT"
    LPCSTR text;
    int imageId;  // a static picture's bitmap resource, 0 for none
};

struct DialogTemplate {
    DWORD style;
    DWORD exStyle;
    short x, y, cx, cy;
    LPCSTR caption;
    WORD pointSize;
    LPCSTR typeface;
    std::span<const DialogItemTemplate> items;
};

// What a control of the given class and style is to the backends.
ControlKind KindOf(const DialogItemTemplate& item);

}  // namespace platform::ui
