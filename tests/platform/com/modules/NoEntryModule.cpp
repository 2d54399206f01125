// A sound shared object that is no server: its DllGetClassObject was written
// without C linkage, so the export carries a C++ name and the loader finds
// no entry point by that name.

#include "tests/platform/com/modules/LoaderModules.h"

__attribute__((visibility("default"))) HRESULT DllGetClassObject(REFCLSID, REFIID, LPVOID* ppv) {
    if (ppv != nullptr) *ppv = nullptr;
    return CLASS_E_CLASSNOTAVAILABLE;
}

OSTREL_LOADER_TEST_EXPORT HRESULT DllCanUnloadNow() {
    return S_OK;
}
