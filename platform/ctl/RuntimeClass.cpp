#include "platform/ctl/RuntimeClass.h"

#include "platform/seams/Seams.h"

IUnknown* CRuntimeClass::CreateObject() const {
    std::uint32_t code = 0;
    if (platform::seams::Injected("CRuntimeClass::CreateObject", code)) return nullptr;
    return m_pfnCreateObject == nullptr ? nullptr : m_pfnCreateObject();
}

BOOL CRuntimeClass::IsDerivedFrom(const CRuntimeClass* pBaseClass) const {
    for (const CRuntimeClass* c = this; c != nullptr; c = c->m_pBaseClass)
        if (c == pBaseClass) return TRUE;
    return FALSE;
}
