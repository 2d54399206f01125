// The painter lives in the Qt module beside the dialog backend. The module is
// looked for where the backend looks for it (the override, beside this code,
// beside the program, then where the packages install it); painting needs
// no display, so a program without one can still draw.

#include "platform/ui/PainterLoader.h"

#include <dlfcn.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <vector>

#include "platform/ui/QtModulePath.h"

namespace platform::ui {
namespace {

struct Loaded {
    Painter* painter = nullptr;
    std::string why;
};

Loaded Load() {
    Loaded result;
    for (const std::string& file : QtModuleCandidates()) {
        std::string problem;
        void* handle = OpenQtModuleFile(file, problem);
        if (handle == nullptr) {
            if (result.why.empty()) result.why = problem;
            continue;
        }
        // Kept loaded for the life of the process, as the dialog backend is.
        auto entry = reinterpret_cast<OstrelUiPainterEntry>(::dlsym(handle, kOstrelUiPainterEntry));
        result.painter = entry == nullptr ? nullptr : entry(kPaintViewVersion);
        if (result.painter != nullptr) return result;
        result.why = file + " offers no painter of this build";
    }
    return result;
}

}  // namespace

Painter* LoadPainter(std::string* why) {
    static std::once_flag once;
    static Loaded loaded;
    std::call_once(once, [] { loaded = Load(); });
    if (loaded.painter == nullptr && why != nullptr) *why = loaded.why;
    return loaded.painter;
}

}  // namespace platform::ui
