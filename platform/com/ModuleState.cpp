#include "platform/com/ModuleState.h"

namespace {
thread_local AFX_MODULE_STATE* t_current = nullptr;
}  // namespace

CTypeLibCache::~CTypeLibCache() {
    Clear();
}

BOOL CTypeLibCache::Lookup(LCID lcid, LPTYPELIB* pptlib) {
    std::lock_guard lock(m_mutex);
    if (pptlib == nullptr || m_ptlib == nullptr || m_lcid != lcid) return FALSE;
    m_ptlib->AddRef();
    *pptlib = m_ptlib;
    return TRUE;
}

void CTypeLibCache::Cache(LCID lcid, LPTYPELIB ptlib) {
    if (ptlib != nullptr) ptlib->AddRef();
    LPTYPELIB oldLib = nullptr;
    LPTYPEINFO oldInfo = nullptr;
    {
        std::lock_guard lock(m_mutex);
        oldLib = std::exchange(m_ptlib, ptlib);
        // Type information of another library or locale no longer holds.
        oldInfo = std::exchange(m_ptinfo, nullptr);
        m_lcid = lcid;
    }
    if (oldInfo != nullptr) oldInfo->Release();
    if (oldLib != nullptr) oldLib->Release();
}

BOOL CTypeLibCache::LookupTypeInfo(LCID lcid, REFGUID guid, LPTYPEINFO* pptinfo) {
    std::lock_guard lock(m_mutex);
    if (pptinfo == nullptr || m_ptinfo == nullptr || m_lcid != lcid || m_guidInfo != guid)
        return FALSE;
    m_ptinfo->AddRef();
    *pptinfo = m_ptinfo;
    return TRUE;
}

void CTypeLibCache::CacheTypeInfo(LCID lcid, REFGUID guid, LPTYPEINFO ptinfo) {
    LPTYPEINFO old = nullptr;
    {
        std::lock_guard lock(m_mutex);
        // Only type information of the cached library and locale is kept.
        if (m_ptlib == nullptr || m_lcid != lcid) return;
        if (ptinfo != nullptr) ptinfo->AddRef();
        old = std::exchange(m_ptinfo, ptinfo);
        m_guidInfo = guid;
    }
    if (old != nullptr) old->Release();
}

void CTypeLibCache::Clear() {
    LPTYPELIB lib = nullptr;
    LPTYPEINFO info = nullptr;
    {
        std::lock_guard lock(m_mutex);
        lib = std::exchange(m_ptlib, nullptr);
        info = std::exchange(m_ptinfo, nullptr);
    }
    if (info != nullptr) info->Release();
    if (lib != nullptr) lib->Release();
}

CTypeLibCache* AFX_MODULE_STATE::TypeLibCache(const GUID& typeLibID) {
    std::lock_guard lock(m_mutex);
    auto& slot = m_typeLibCaches[typeLibID];
    if (!slot) slot = std::make_unique<CTypeLibCache>(typeLibID);
    return slot.get();
}

AFX_MODULE_STATE* AfxGetAppModuleState() {
    static AFX_MODULE_STATE state;
    return &state;
}

AFX_MODULE_STATE* AfxGetStaticModuleState() {
    static AFX_MODULE_STATE state;
    return &state;
}

AFX_MODULE_STATE* AfxGetModuleState() {
    return t_current != nullptr ? t_current : AfxGetAppModuleState();
}

AFX_MODULE_STATE* AfxSetModuleState(AFX_MODULE_STATE* pNewState) {
    AFX_MODULE_STATE* previous = AfxGetModuleState();
    t_current = pNewState;
    return previous;
}

CTypeLibCache* AfxGetTypeLibCache(const GUID* pTypeLibID) {
    if (pTypeLibID == nullptr) return nullptr;
    try {
        return AfxGetModuleState()->TypeLibCache(*pTypeLibID);
    } catch (...) {
        return nullptr;
    }
}
