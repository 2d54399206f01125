#pragma once
// The classes of this module that the framework creates by class identifier:
// the property frame makes a control's pages this way. A class is known from
// the construction of its ModuleClass object to its destruction.

#include "platform/com/Guid.h"
#include "platform/ctl/RuntimeClass.h"

namespace platform::ctl {

class ModuleClass {
public:
    ModuleClass(const CLSID& clsid, const CRuntimeClass* pRuntimeClass);
    ~ModuleClass();
    ModuleClass(const ModuleClass&) = delete;
    ModuleClass& operator=(const ModuleClass&) = delete;

private:
    CLSID m_clsid;
    const CRuntimeClass* m_pRuntimeClass;
};

// A new object of the class asked as `riid`: REGDB_E_CLASSNOTREG when the
// module has no such class, E_OUTOFMEMORY when it cannot be made.
HRESULT CreateModuleObject(REFCLSID clsid, REFIID riid, void** ppv);

}  // namespace platform::ctl
