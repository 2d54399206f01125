// The painter lives in the Qt module beside the dialog backend. The module is
// looked for where the backend looks for it (the override, beside this code,
// beside the program, then the loader's path); painting needs no display, so
// a program without one can still draw.

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
        void* handle = ::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) {
            const char* err = ::dlerror();
            if (result.why.empty()) result.why = err != nullptr ? err : file + ": cannot be opened";
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
