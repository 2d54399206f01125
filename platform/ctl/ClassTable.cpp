#include "platform/ctl/ClassTable.h"

#include <map>
#include <mutex>

#include "platform/seams/Seams.h"
#include "platform/win/Failure.h"

namespace platform::ctl {
namespace {

struct Table {
    std::mutex mutex;
    std::multimap<CLSID, const CRuntimeClass*> classes;
};

Table& Classes() {
    // Never destroyed: static ModuleClass objects may go after it.
    static auto* table = new Table();
    return *table;
}

}  // namespace

ModuleClass::ModuleClass(const CLSID& clsid, const CRuntimeClass* pRuntimeClass)
    : m_clsid(clsid), m_pRuntimeClass(pRuntimeClass) {
    std::lock_guard lock(Classes().mutex);
    Classes().classes.emplace(clsid, pRuntimeClass);
}

ModuleClass::~ModuleClass() {
    std::lock_guard lock(Classes().mutex);
    auto [first, last] = Classes().classes.equal_range(m_clsid);
    for (auto it = first; it != last; ++it)
        if (it->second == m_pRuntimeClass) {
            Classes().classes.erase(it);
            break;
        }
}

HRESULT CreateModuleObject(REFCLSID clsid, REFIID riid, void** ppv) {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    return platform::GuardedHr("CreateModuleObject", [&]() -> HRESULT {
        const CRuntimeClass* rtc = nullptr;
        {
            std::lock_guard lock(Classes().mutex);
            const auto it = Classes().classes.find(clsid);
            if (it != Classes().classes.end()) rtc = it->second;
        }
        if (rtc == nullptr) return REGDB_E_CLASSNOTREG;
        IUnknown* object = rtc->CreateObject();
        if (object == nullptr) return HRESULT(E_OUTOFMEMORY);
        const HRESULT hr = object->QueryInterface(riid, ppv);
        object->Release();
        return hr;
    });
}

}  // namespace platform::ctl
