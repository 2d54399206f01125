#include "platform/ctl/ObjectFactory.h"

#include <atomic>
#include <mutex>

#include "platform/com/ModuleState.h"
#include "platform/win/Failure.h"

namespace {

// The module's factories. Factories are static objects of the module, built
// and destroyed on one thread at load and unload, but looked up from any.
std::mutex g_factoriesMutex;
COleObjectFactory* g_firstFactory = nullptr;

}  // namespace

// The class object: lives with its factory; references handed to hosts keep
// the module loaded like objects do.
class COleObjectFactory::ClassObject final : public IClassFactory {
public:
    explicit ClassObject(COleObjectFactory& factory) : m_factory(factory) {}

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        *ppv = nullptr;
        if (riid != IID_IUnknown && riid != IID_IClassFactory) return E_NOINTERFACE;
        AddRef();
        *ppv = static_cast<IClassFactory*>(this);
        return S_OK;
    }
    ULONG AddRef() override {
        AfxOleLockApp();
        return ++m_refs;
    }
    ULONG Release() override {
        const ULONG left = --m_refs;
        AfxOleUnlockApp();
        return left;
    }

    HRESULT CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) override {
        // Hosts call here directly, not through an export: objects are made
        // in the module's own state, so they find its resources.
        AFX_MANAGE_STATE(m_factory.m_pModuleState);
        if (ppvObject == nullptr) return E_POINTER;
        *ppvObject = nullptr;
        if (pUnkOuter != nullptr) return CLASS_E_NOAGGREGATION;
        return platform::RunGuardedHr("IClassFactory::CreateInstance", [&]() -> HRESULT {
            IUnknown* object = m_factory.OnCreateObject();
            if (object == nullptr) return HRESULT(E_OUTOFMEMORY);
            const HRESULT hr = object->QueryInterface(riid, ppvObject);
            object->Release();
            return hr;
        });
    }

    HRESULT LockServer(BOOL fLock) override {
        AfxOleLockServer(fLock);
        return S_OK;
    }

private:
    COleObjectFactory& m_factory;
    std::atomic<ULONG> m_refs{0};
};

COleObjectFactory::COleObjectFactory(REFCLSID clsid, const CRuntimeClass* pRuntimeClass,
                                     BOOL bMultiInstance, LPCTSTR lpszProgID)
    : m_clsid(clsid),
      m_pRuntimeClass(pRuntimeClass),
      m_bMultiInstance(bMultiInstance),
      m_lpszProgID(lpszProgID),
      m_pModuleState(AfxGetStaticModuleState()),
      m_classObject(new ClassObject(*this)) {
    std::lock_guard lock(g_factoriesMutex);
    COleObjectFactory** tail = &g_firstFactory;
    while (*tail != nullptr) tail = &(*tail)->m_pNextFactory;
    *tail = this;
}

COleObjectFactory::~COleObjectFactory() {
    {
        std::lock_guard lock(g_factoriesMutex);
        for (COleObjectFactory** p = &g_firstFactory; *p != nullptr; p = &(*p)->m_pNextFactory)
            if (*p == this) {
                *p = m_pNextFactory;
                break;
            }
    }
    delete m_classObject;
}

BOOL COleObjectFactory::UpdateRegistry(BOOL) {
    // A factory that does not say how it registers registers nothing.
    return TRUE;
}

BOOL COleObjectFactory::UpdateRegistryAll(BOOL bRegister) {
    BOOL all = TRUE;
    for (COleObjectFactory* f = GetFirst(); f != nullptr; f = f->GetNext())
        if (!f->UpdateRegistry(bRegister)) all = FALSE;
    return all;
}

IUnknown* COleObjectFactory::OnCreateObject() {
    if (m_pRuntimeClass == nullptr) return nullptr;
    return m_pRuntimeClass->CreateObject();
}

IClassFactory* COleObjectFactory::GetClassFactory() {
    m_classObject->AddRef();
    return m_classObject;
}

COleObjectFactory* COleObjectFactory::GetFirst() {
    std::lock_guard lock(g_factoriesMutex);
    return g_firstFactory;
}

HRESULT AfxDllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv) {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    return platform::RunGuardedHr("AfxDllGetClassObject", [&]() -> HRESULT {
        for (COleObjectFactory* f = COleObjectFactory::GetFirst(); f != nullptr; f = f->GetNext()) {
            if (f->GetClassID() != rclsid) continue;
            IClassFactory* classObject = f->GetClassFactory();
            const HRESULT hr = classObject->QueryInterface(riid, ppv);
            classObject->Release();
            return hr;
        }
        return CLASS_E_CLASSNOTAVAILABLE;
    });
}
