#pragma once
// Where the Qt module (dialogs, boxes and the painter) may be found, in the
// order to try: the OSTREL_UI_QT_MODULE override alone when it is set;
// otherwise beside the program or library this code is linked into, beside the
// running program, then in the folder the packages install it to. Always by
// a full path: a bare name would go through the loader's search path, which
// an empty entry in LD_LIBRARY_PATH turns into the current folder.

#include <string>
#include <vector>

namespace platform::ui {
std::vector<std::string> QtModuleCandidates();

// Opens one candidate once its file passed the checks every module passes
// before its code runs (a full path, the user's or root's, nobody else may
// change it or its folder); nullptr with the reason in `why` otherwise.
void* OpenQtModuleFile(const std::string& file, std::string& why);
}  // namespace platform::ui
