#pragma once
// Where the Qt module (dialogs, boxes and the painter) may be found, in the
// order to try: the OSTREL_UI_QT_MODULE override alone when it is set;
// otherwise beside the program or library this code is linked into, beside the
// running program, then the loader's own search path.

#include <string>
#include <vector>

namespace platform::ui {
std::vector<std::string> QtModuleCandidates();
}  // namespace platform::ui
