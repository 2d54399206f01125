#pragma once
// A module's class objects and its registration: the factories through which
// hosts create the module's classes, the module-wide list that registration
// and DllGetClassObject walk, the object and lock counts that tell whether
// the module may be unloaded, and the functions that write and remove the
// registry entries of type libraries, controls and property pages.
//
// Everything here belongs to the module this code is linked into: a module
// loaded into a host has its own list, counts and instance handle.

#include "platform/com/Registry.h"
#include "platform/com/Resource.h"
#include "platform/com/TypeInfo.h"
#include "platform/com/Unknown.h"

struct AFX_MODULE_STATE;

struct IClassFactory : IUnknown {
    static constexpr IID kIid = platform::com::MakeGuid("{00000001-0000-0000-C000-000000000046}");
    using Base = IUnknown;
    virtual HRESULT CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) = 0;
    virtual HRESULT LockServer(BOOL fLock) = 0;

protected:
    ~IClassFactory() = default;
};
inline constexpr IID IID_IClassFactory = IClassFactory::kIid;

// Registration flags of AfxOleRegisterControlClass and
// AfxOleRegisterPropertyPageClass.
inline constexpr int afxRegDefault = 0x0000;
inline constexpr int afxRegInsertable = 0x0001;
inline constexpr int afxRegApartmentThreading = 0x0002;
inline constexpr int afxRegFreeThreading = 0x0004;

// The module this code is linked into: its load address, which names its
// file and finds its resources.
HINSTANCE AfxGetInstanceHandle();
HINSTANCE AfxGetResourceHandle();

// Objects alive and locks held in this module; while either is not zero the
// module must stay loaded. Objects handed to hosts lock on construction and
// unlock on destruction.
void AfxOleLockApp();
void AfxOleUnlockApp();
// A lock a host takes or gives back through a class object (never below zero).
void AfxOleLockServer(BOOL fLock);
BOOL AfxOleCanExitApp();

// S_OK when no object is alive and no lock is held, else S_FALSE.
HRESULT AfxDllCanUnloadNow();

// Registers the type library stored in the module's own file (or in
// `pszFileName`) under its identifier; TRUE on success.
BOOL AfxOleRegisterTypeLib(HINSTANCE hInstance, REFGUID tlid, LPCTSTR pszFileName = nullptr,
                           LPCTSTR pszHelpDir = nullptr);
BOOL AfxOleUnregisterTypeLib(REFGUID tlid, WORD wVerMajor = 0, WORD wVerMinor = 0, LCID lcid = 0);

// Writes CLSID\{clsid} with the module as in-process server, the type name
// (string idTypeName of the module), the program identifier both ways, the
// control mark, the toolbox bitmap, the miscellaneous status, the threading
// model the flags ask for, and the type library with its version.
BOOL AfxOleRegisterControlClass(HINSTANCE hInstance, REFCLSID clsid, LPCTSTR pszProgID,
                                UINT idTypeName, UINT idBitmap, int nRegFlags, DWORD dwMiscStatus,
                                REFGUID tlid, WORD wVerMajor, WORD wVerMinor);
// Writes CLSID\{clsid} of an automation object that is not a control: the
// module as in-process server, the type name, the threading model the flags
// ask for, both program identifiers (the version-independent one naming the
// current), and the type library with its version.
BOOL AfxOleRegisterAutomationClass(HINSTANCE hInstance, REFCLSID clsid, LPCTSTR pszProgID,
                                   LPCTSTR pszVersionIndependentProgID, LPCTSTR pszTypeName,
                                   int nRegFlags, REFGUID tlid, WORD wVerMajor, WORD wVerMinor);
// Writes CLSID\{clsid} with the module as in-process server and the type name.
BOOL AfxOleRegisterPropertyPageClass(HINSTANCE hInstance, REFCLSID clsid, UINT idTypeName,
                                     int nRegFlags = 0);
// Removes CLSID\{clsid} and, when given, the program identifier's key.
BOOL AfxOleUnregisterClass(REFCLSID clsid, LPCTSTR pszProgID);
