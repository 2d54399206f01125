#pragma once
// The module object of a control module: one static instance per module,
// which the framework initialises once the module's static objects are built
// and shuts down before they are destroyed. The module's exported entry
// points start the framework on their first call (a module that fails to
// initialise answers every call with CO_E_ERRORINDLL) and the shutdown runs
// when the module is unloaded.

#include "platform/com/ComError.h"
#include "platform/win/WinTypes.h"

class COleControlModule {
public:
    explicit COleControlModule(LPCTSTR lpszAppName = nullptr);
    virtual ~COleControlModule();
    COleControlModule(const COleControlModule&) = delete;
    COleControlModule& operator=(const COleControlModule&) = delete;

    virtual BOOL InitInstance();
    virtual int ExitInstance();

    LPCTSTR m_pszAppName;
};

namespace platform::com {
// Starts the framework of this module once: InitInstance, and ExitInstance
// when that fails; S_OK when the module is ready for use.
HRESULT StartControlModule();
}  // namespace platform::com
