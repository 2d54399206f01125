#include "platform/com/ControlModule.h"

#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>

#include "platform/com/Activation.h"
#include "platform/com/Registration.h"
#include "platform/com/Resource.h"

namespace {

COleControlModule* g_app = nullptr;
std::once_flag g_startOnce;
HRESULT g_startResult = E_UNEXPECTED;

// Runs before the module's static objects are destroyed: registered after
// they were all built, from the module itself, so unloading the module (or
// the end of the process) runs it first.
void StopControlModule() {
    if (g_app != nullptr) g_app->ExitInstance();
}

}  // namespace

COleControlModule::COleControlModule(LPCTSTR lpszAppName) : m_pszAppName(lpszAppName) {
    g_app = this;
}

COleControlModule::~COleControlModule() {
    if (g_app == this) g_app = nullptr;
}

BOOL COleControlModule::InitInstance() {
    return TRUE;
}

int COleControlModule::ExitInstance() {
    return 0;
}

COleControlModule* AfxGetApp() {
    return g_app;
}

LPCTSTR AfxGetAppName() {
    if (g_app != nullptr && g_app->m_pszAppName != nullptr && *g_app->m_pszAppName != '\0')
        return g_app->m_pszAppName;
    // A module's file does not change its name while it is loaded.
    static const std::string fileName = [] {
        try {
            const auto file = platform::com::ModuleFileName(AfxGetInstanceHandle());
            return file ? std::filesystem::path(*file).stem().string() : std::string();
        } catch (...) {
            return std::string();
        }
    }();
    return fileName.c_str();
}

namespace platform::com {

HRESULT StartControlModule() {
    std::call_once(g_startOnce, [] {
        if (g_app == nullptr) {
            g_startResult = CO_E_ERRORINDLL;
            return;
        }
        try {
            if (!g_app->InitInstance()) {
                g_app->ExitInstance();
                g_startResult = CO_E_ERRORINDLL;
                return;
            }
        } catch (...) {
            g_startResult = CO_E_ERRORINDLL;
            return;
        }
        std::atexit(&StopControlModule);
        g_startResult = S_OK;
    });
    return g_startResult;
}

}  // namespace platform::com
