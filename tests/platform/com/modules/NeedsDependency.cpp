// A module whose DllGetClassObject calls a function of another library. Built
// alone it names no library that provides the function; built with that
// library it names one the loader cannot find. Either way the loader has to
// refuse it before any of its code runs.

#include "tests/platform/com/modules/LoaderModules.h"

extern "C" int OstrelLoaderTestDependency();

OSTREL_LOADER_TEST_EXPORT HRESULT DllGetClassObject(REFCLSID, REFIID, LPVOID* ppv) {
    if (ppv != nullptr) *ppv = nullptr;
    return OstrelLoaderTestDependency() == 0 ? CLASS_E_CLASSNOTAVAILABLE : E_UNEXPECTED;
}

OSTREL_LOADER_TEST_EXPORT HRESULT DllCanUnloadNow() {
    return S_OK;
}
