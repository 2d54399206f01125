// The module's four entry points. Each makes the module's own framework
// state current for the calling thread and restores the caller's on every
// way out, so that resources, factories and the module object are found in
// this module; nothing thrown inside reaches the caller.

#include "control/OstrelIds.h"
#include "platform/com/ControlModule.h"
#include "platform/com/ModuleState.h"
#include "platform/ctl/ObjectFactory.h"
#include "platform/win/Failure.h"

#define OSTREL_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

// Built before every other static object of the module: the module state
// that the others are found through.
AFX_MODULE_STATE* const g_pModuleState = AfxGetStaticModuleState();

template <class Body>
HRESULT Guarded(Body&& body, const char* caller = __builtin_FUNCTION()) noexcept {
    return platform::RunGuardedHr(
        caller,
        [&]() -> HRESULT {
            AFX_MANAGE_STATE(g_pModuleState);
            const HRESULT started = platform::com::StartControlModule();
            if (FAILED(started)) return started;
            return body();
        },
        E_UNEXPECTED, E_UNEXPECTED);
}

}  // namespace

OSTREL_EXPORT HRESULT DllCanUnloadNow() {
    return Guarded([] { return AfxDllCanUnloadNow(); });
}

OSTREL_EXPORT HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv) {
    return Guarded([&] { return AfxDllGetClassObject(rclsid, riid, ppv); });
}

OSTREL_EXPORT HRESULT DllRegisterServer() {
    return Guarded([] {
        if (!AfxOleRegisterTypeLib(AfxGetInstanceHandle(), LIBID_OSTRELLib))
            return SELFREG_E_TYPELIB;
        if (!COleObjectFactory::UpdateRegistryAll(TRUE)) return SELFREG_E_CLASS;
        return S_OK;
    });
}

OSTREL_EXPORT HRESULT DllUnregisterServer() {
    return Guarded([] {
        if (!AfxOleUnregisterTypeLib(LIBID_OSTRELLib, g_wVerMajor, g_wVerMinor, 0))
            return SELFREG_E_TYPELIB;
        if (!COleObjectFactory::UpdateRegistryAll(FALSE)) return SELFREG_E_CLASS;
        return S_OK;
    });
}
