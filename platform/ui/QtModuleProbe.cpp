#include "platform/ui/QtModuleProbe.h"

#include <dlfcn.h>

#include "platform/ui/Backend.h"
#include "platform/ui/QtModulePath.h"

namespace platform::ui {

QtModuleProbe ProbeQtModule() {
    QtModuleProbe probe;
    for (const std::string& file : QtModuleCandidates()) {
        // Kept loaded, as the backend keeps it: Qt does not take kindly to
        // being unloaded.
        void* handle = ::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) {
            const char* err = ::dlerror();
            if (probe.problem.empty())
                probe.problem = err != nullptr ? err : file + ": cannot be opened";
            continue;
        }
        auto entry =
            reinterpret_cast<OstrelUiQtVersionEntry>(::dlsym(handle, kOstrelUiQtVersionEntry));
        const char* version = entry != nullptr ? entry() : nullptr;
        if (version != nullptr && *version != '\0') {
            probe.version = version;
            probe.module = file;
            probe.problem.clear();
            return probe;
        }
        probe.problem = file + " is not a user-interface module of this build";
    }
    return probe;
}

}  // namespace platform::ui
