#pragma once
// Which Qt the Qt user-interface module would run with, for a program's
// version report: the module is opened from the places the backend tries,
// without starting Qt.

#include <string>

namespace platform::ui {

struct QtModuleProbe {
    std::string version;  // Qt's own version; empty when the module is unavailable
    std::string module;   // the module file that answered
    std::string problem;  // why no module answered
};

QtModuleProbe ProbeQtModule();

}  // namespace platform::ui
