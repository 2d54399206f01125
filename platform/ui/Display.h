#pragma once
// Whether Qt would find a display to show on. Qt ends the process when its
// platform cannot connect (an X display nobody serves, a Wayland socket
// gone), so the program asks the same question first, without Qt, and
// chooses another user interface when the answer is no.

#include <string>

namespace platform::ui {

struct DisplayCheck {
    bool reachable = false;
    std::string why;  // when not reachable: what was tried, in words
};

// Looks at the Qt platforms QT_QPA_PLATFORM names (or, unset, the ones Qt
// would try: Wayland first in a Wayland session, then X): X is reached as
// Qt's X platform reaches it (libxcb, opened for the check only), Wayland by
// connecting to its socket; a platform that needs no display (offscreen,
// minimal, ...) is taken at its word. Reachable when one of them is. Asked
// afresh each time: a display can come and go while the program runs.
DisplayCheck CheckDisplay();

}  // namespace platform::ui
