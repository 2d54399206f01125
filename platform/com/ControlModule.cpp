#include "platform/com/ControlModule.h"

#include <cstdlib>
#include <mutex>

#include "platform/com/Activation.h"

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
