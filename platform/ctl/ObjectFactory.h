#pragma once
// A module's class objects: the factories through which hosts create the
// module's classes, and the module-wide list that registration and
// DllGetClassObject walk. Each factory makes objects of one run-time class.

#include "platform/com/Registration.h"
#include "platform/ctl/RuntimeClass.h"

struct AFX_MODULE_STATE;

// The module's class object for one class: creates objects of its run-time
// class. Constructed factories join the module's list; destroyed ones leave.
class COleObjectFactory {
public:
    COleObjectFactory(REFCLSID clsid, const CRuntimeClass* pRuntimeClass, BOOL bMultiInstance,
                      LPCTSTR lpszProgID);
    virtual ~COleObjectFactory();
    COleObjectFactory(const COleObjectFactory&) = delete;
    COleObjectFactory& operator=(const COleObjectFactory&) = delete;

    REFCLSID GetClassID() const { return m_clsid; }
    const CRuntimeClass* GetRuntimeClass() const { return m_pRuntimeClass; }

    // Registers (TRUE) or unregisters (FALSE) this factory's class.
    virtual BOOL UpdateRegistry(BOOL bRegister);
    // UpdateRegistry on every factory of the module; TRUE only if all succeed.
    static BOOL UpdateRegistryAll(BOOL bRegister);

    // A new object of the class with one reference; null when none is made.
    virtual IUnknown* OnCreateObject();

    // The class object handed to hosts: one more reference.
    IClassFactory* GetClassFactory();

    // The module's factories, in construction order.
    static COleObjectFactory* GetFirst();
    COleObjectFactory* GetNext() const { return m_pNextFactory; }

protected:
    CLSID m_clsid;
    const CRuntimeClass* m_pRuntimeClass;
    BOOL m_bMultiInstance;
    LPCTSTR m_lpszProgID;

private:
    class ClassObject;
    // The state of the module the factory belongs to, current while it creates.
    AFX_MODULE_STATE* m_pModuleState;
    ClassObject* m_classObject;
    COleObjectFactory* m_pNextFactory = nullptr;
};

// The class object of `rclsid` among the module's factories, as `riid`;
// CLASS_E_CLASSNOTAVAILABLE (and nothing handed out) for a class the module
// does not have.
HRESULT AfxDllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv);
