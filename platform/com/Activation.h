#pragma once
// Activation of registered classes by hosts: a class identifier (or a
// program identifier that names one) leads through the registry to the
// module file of its in-process server; the module is loaded once, asked for
// its class object through DllGetClassObject, and the class object creates
// the instance. Modules stay loaded until CoFreeUnusedLibraries finds that
// they allow it.
//
// Loading a module runs its code with everything the user holds, so a module
// file is loaded only when it is named by an absolute path, is a regular file,
// and nobody but the user (or root) can change it or its folder. A registry
// that cannot be trusted or read is reported as such, never taken for one
// without the class.

#include <string>

#include "platform/com/Registration.h"

inline constexpr DWORD CLSCTX_INPROC_SERVER = 0x1;
inline constexpr DWORD CLSCTX_INPROC_HANDLER = 0x2;
inline constexpr DWORD CLSCTX_LOCAL_SERVER = 0x4;
inline constexpr DWORD CLSCTX_ALL = 0x17;

inline constexpr HRESULT CO_E_ERRORINDLL = platform::com::Hr(0x800401F9);
inline constexpr HRESULT CO_E_DLLNOTFOUND = platform::com::Hr(0x800401F8);

constexpr HRESULT HRESULT_FROM_WIN32(DWORD code) {
    return code == 0 ? S_OK : platform::com::Hr(0x80070000 | (code & 0xFFFF));
}

// The class a program identifier names (HKEY_CLASSES_ROOT\<id>\CLSID);
// CO_E_CLASSSTRING when it names none; the registry's own code as an HRESULT
// (ERROR_BADDB: damaged, ERROR_ACCESS_DENIED: others may write it) when the
// registry cannot be used, with LastActivationError saying why.
HRESULT CLSIDFromProgID(LPCOLESTR lpszProgID, LPCLSID lpclsid);

// The class object of a registered in-process class. REGDB_E_CLASSNOTREG
// when the class (or its in-process server) is not registered; the code of
// ERROR_MOD_NOT_FOUND when its module file is missing, of
// ERROR_BAD_EXE_FORMAT when it cannot be loaded (or is not a regular file,
// is cut short, or needs a symbol that nothing provides); of
// ERROR_INVALID_NAME when it is registered by a relative path; of
// ERROR_ACCESS_DENIED when others can change it; CO_E_ERRORINDLL when the
// module has no DllGetClassObject or answers with success but no object;
// the module's own code when its DllGetClassObject fails; the registry's
// own code as CLSIDFromProgID gives it.
HRESULT CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, LPVOID pvReserved, REFIID riid,
                         LPVOID* ppv);
// A new instance of a registered class, through its class object; the class
// object's own code when it makes none.
HRESULT CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext, REFIID riid,
                         LPVOID* ppv);
// Unloads every module loaded for activation whose DllCanUnloadNow answers S_OK.
void CoFreeUnusedLibraries();

namespace platform::com {
// Why the calling thread's last activation failed, in words (the module file
// and the loader's message); empty after a success.
std::string LastActivationError();
// The class object of a class served by the module file `path`, loaded as
// activation loads it (and unloaded by CoFreeUnusedLibraries), for hosts that
// ship a module of their own and use it where the class is not registered.
HRESULT GetClassObjectFromModule(const std::string& path, REFCLSID rclsid, REFIID riid,
                                 LPVOID* ppv);
// Modules loaded for activation and still loaded.
std::size_t LoadedServerModules();
// S_OK when the file `path` may be loaded as a module, as activation decides
// it; otherwise the code activation would give and, in `why`, the reason.
HRESULT CheckModuleFile(const std::string& path, std::string& why);
}  // namespace platform::com
