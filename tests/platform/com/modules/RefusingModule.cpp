// A module that loads and answers, but never with a usable object: it refuses
// classes it does not serve, hands out a class object whose CreateInstance
// fails, and for one class claims success without an object. It may be
// unloaded whenever nobody holds its class object, as a sound module says.

#include <atomic>

#include "tests/platform/com/modules/LoaderModules.h"

namespace {

using namespace ostrel::test::loader;

std::atomic<long> g_references{0};

class Factory final : public IClassFactory {
public:
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        *ppv = nullptr;
        if (riid != IID_IUnknown && riid != IID_IClassFactory) return E_NOINTERFACE;
        AddRef();
        *ppv = static_cast<IClassFactory*>(this);
        return S_OK;
    }
    ULONG AddRef() override { return ULONG(++g_references); }
    ULONG Release() override { return ULONG(--g_references); }
    HRESULT CreateInstance(IUnknown*, REFIID, void** ppv) override {
        if (ppv != nullptr) *ppv = nullptr;
        return kCreateFailure;
    }
    HRESULT LockServer(BOOL lock) override {
        lock ? ++g_references : --g_references;
        return S_OK;
    }
};

Factory g_factory;

}  // namespace

OSTREL_LOADER_TEST_EXPORT HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv) {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (rclsid == kFailingFactoryClass) return g_factory.QueryInterface(riid, ppv);
    if (rclsid == kEmptyAnswerClass) return S_OK;
    return CLASS_E_CLASSNOTAVAILABLE;
}

OSTREL_LOADER_TEST_EXPORT HRESULT DllCanUnloadNow() {
    return g_references == 0 ? S_OK : S_FALSE;
}
