#pragma once
// The framework's module state: what the framework looks up "in the current
// module" (its type-library caches today; its instance, resources and class
// factories once modules are loaded). Each thread has a current state; code
// entered from outside a module makes the module's own state current for the
// duration of the call and restores the caller's on every way out.

#include <map>
#include <memory>
#include <mutex>

#include "platform/com/TypeInfo.h"
#include "platform/win/WinTypes.h"

// A cached type library of one module, with the last type information looked
// up in it.
class CTypeLibCache {
public:
    explicit CTypeLibCache(const GUID& typeLibID) : m_typeLibID(typeLibID) {}
    ~CTypeLibCache();
    CTypeLibCache(const CTypeLibCache&) = delete;
    CTypeLibCache& operator=(const CTypeLibCache&) = delete;

    const GUID& TypeLibID() const { return m_typeLibID; }

    // The cached library for the locale, with a reference for the caller.
    BOOL Lookup(LCID lcid, LPTYPELIB* pptlib);
    // Keeps the library (one more reference) for the locale.
    void Cache(LCID lcid, LPTYPELIB ptlib);
    BOOL LookupTypeInfo(LCID lcid, REFGUID guid, LPTYPEINFO* pptinfo);
    void CacheTypeInfo(LCID lcid, REFGUID guid, LPTYPEINFO ptinfo);
    // Drops what is cached.
    void Clear();

private:
    GUID m_typeLibID;
    std::mutex m_mutex;
    LCID m_lcid = 0;
    LPTYPELIB m_ptlib = nullptr;
    GUID m_guidInfo{};
    LPTYPEINFO m_ptinfo = nullptr;
};

struct AFX_MODULE_STATE {
    explicit AFX_MODULE_STATE(LPCTSTR lpszName = nullptr) : m_lpszCurrentAppName(lpszName) {}
    AFX_MODULE_STATE(const AFX_MODULE_STATE&) = delete;
    AFX_MODULE_STATE& operator=(const AFX_MODULE_STATE&) = delete;

    LPCTSTR m_lpszCurrentAppName;

    // The module's cache for a type library, made on first use.
    CTypeLibCache* TypeLibCache(const GUID& typeLibID);

private:
    std::mutex m_mutex;
    std::map<GUID, std::unique_ptr<CTypeLibCache>> m_typeLibCaches;
};

// The calling thread's current module state: the one last made current on
// this thread, else the process's own.
AFX_MODULE_STATE* AfxGetModuleState();
// The state of the process (the host), current when nothing else is.
AFX_MODULE_STATE* AfxGetAppModuleState();
// The state of the module this code is linked into.
AFX_MODULE_STATE* AfxGetStaticModuleState();
// Makes a state current on the calling thread; returns the previous one.
AFX_MODULE_STATE* AfxSetModuleState(AFX_MODULE_STATE* pNewState);

// The current module's cache for a type library.
CTypeLibCache* AfxGetTypeLibCache(const GUID* pTypeLibID);

// Makes a module state current for its lifetime, restoring the previous one
// however the scope is left (return or exception).
class AFX_MAINTAIN_STATE2 {
public:
    explicit AFX_MAINTAIN_STATE2(AFX_MODULE_STATE* pModuleState)
        : m_pPrevModuleState(AfxSetModuleState(pModuleState)) {}
    ~AFX_MAINTAIN_STATE2() { AfxSetModuleState(m_pPrevModuleState); }
    AFX_MAINTAIN_STATE2(const AFX_MAINTAIN_STATE2&) = delete;
    AFX_MAINTAIN_STATE2& operator=(const AFX_MAINTAIN_STATE2&) = delete;

private:
    AFX_MODULE_STATE* m_pPrevModuleState;
};

#define AFX_MANAGE_STATE(p) AFX_MAINTAIN_STATE2 _ctlState(p)

namespace platform::com {

// Looks a type up in a type library through a cache: the cached type
// information, else the library (cached, else from `getTypeLib`) and its type
// of that identifier, both cached for next time.
template <class GetTypeLib>
HRESULT GetCachedTypeInfoOfGuid(CTypeLibCache* cache, LCID lcid, REFGUID guid,
                                GetTypeLib&& getTypeLib, LPTYPEINFO* ppTypeInfo) {
    if (ppTypeInfo == nullptr) return E_POINTER;
    *ppTypeInfo = nullptr;
    if (cache != nullptr && cache->LookupTypeInfo(lcid, guid, ppTypeInfo)) return S_OK;
    LPTYPELIB lib = nullptr;
    if (cache == nullptr || !cache->Lookup(lcid, &lib)) {
        const HRESULT hr = getTypeLib(lcid, &lib);
        if (FAILED(hr)) return hr;
        if (lib == nullptr) return E_UNEXPECTED;
        if (cache != nullptr) cache->Cache(lcid, lib);
    }
    const HRESULT hr = lib->GetTypeInfoOfGuid(guid, ppTypeInfo);
    lib->Release();
    if (SUCCEEDED(hr) && cache != nullptr) cache->CacheTypeInfo(lcid, guid, *ppTypeInfo);
    return hr;
}

}  // namespace platform::com
