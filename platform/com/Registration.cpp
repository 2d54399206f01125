#include "platform/com/Registration.h"

#include <atomic>
#include <filesystem>
#include <mutex>
#include <string>

#include "platform/com/ModuleState.h"
#include "platform/com/TypeLibRegistry.h"
#include "platform/seams/Seams.h"
#include "platform/text/Utf.h"
#include "platform/win/Failure.h"

namespace {

std::atomic<long> g_objectCount{0};
std::atomic<long> g_lockCount{0};

std::string GuidText(REFGUID guid) {
    return platform::com::GuidToString(guid);
}

// The absolute, canonical form of a file's path as this process finds it
// now. A module loaded by a relative path knows itself by that path; written
// into the registry as it is, it would name a file in whatever folder each
// host later runs in.
std::optional<std::string> CanonicalPath(const std::string& path) {
    std::error_code ec;
    const auto canonical = std::filesystem::canonical(path, ec);
    if (ec) return std::nullopt;
    return canonical.string();
}

std::optional<std::string> ModulePath(HINSTANCE hInstance) {
    char path[4096];
    const DWORD n = GetModuleFileNameA(hInstance, path, sizeof path);
    if (n == 0 || n >= sizeof path) return std::nullopt;
    return CanonicalPath(std::string(path, n));
}

std::optional<std::string> ModuleString(HINSTANCE hInstance, UINT id) {
    char text[512];
    const int n = LoadStringA(hInstance, id, text, sizeof text);
    if (n <= 0) return std::nullopt;
    return std::string(text, std::size_t(n));
}

// Sets the default value (or the named value) of a subkey of the classes
// root, creating the key.
bool SetText(const std::string& subkey, const std::string& text, const char* valueName = nullptr) {
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_CLASSES_ROOT, subkey.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_WRITE, nullptr, &key, nullptr) != ERROR_SUCCESS)
        return false;
    const LSTATUS status =
        RegSetValueExA(key, valueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                       DWORD(text.size() + 1));
    RegCloseKey(key);
    return status == ERROR_SUCCESS;
}

// Removes a subkey of the classes root with everything below it; a key that
// is not there is already removed.
bool DeleteTree(const std::string& subkey) {
    const LSTATUS status = RegDeleteTreeA(HKEY_CLASSES_ROOT, subkey.c_str());
    return status == ERROR_SUCCESS || status == LSTATUS(ERROR_FILE_NOT_FOUND);
}

bool KeyExists(const std::string& subkey) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, subkey.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

std::string VersionText(WORD major, WORD minor) {
    return std::to_string(major) + "." + std::to_string(minor);
}

// Writes the class key shared by controls, pages and automation objects:
// type name and in-process server.
bool WriteServerClass(HINSTANCE hInstance, REFCLSID clsid, const std::string& typeName,
                      int nRegFlags, std::string& classKey, std::string& path) {
    const auto modulePath = ModulePath(hInstance);
    if (!modulePath) return false;
    path = *modulePath;
    classKey = "CLSID\\" + GuidText(clsid);
    if (!SetText(classKey, typeName)) return false;
    if (!SetText(classKey + "\\InprocServer32", path)) return false;
    if ((nRegFlags & afxRegFreeThreading) != 0)
        return SetText(classKey + "\\InprocServer32", "Both", "ThreadingModel");
    if ((nRegFlags & afxRegApartmentThreading) != 0)
        return SetText(classKey + "\\InprocServer32", "Apartment", "ThreadingModel");
    return true;
}

// The same with the type name from string `idTypeName` of the module.
bool RegisterServerClass(HINSTANCE hInstance, REFCLSID clsid, UINT idTypeName, int nRegFlags,
                         std::string& classKey, std::string& path, std::string& typeName) {
    const auto name = ModuleString(hInstance, idTypeName);
    if (!name) return false;
    typeName = *name;
    return WriteServerClass(hInstance, clsid, typeName, nRegFlags, classKey, path);
}

}  // namespace

// ---------------------------------------------------------------------------

HINSTANCE AfxGetInstanceHandle() {
    // This code is linked into the module, so its own address names it.
    return platform::com::ModuleOfAddress(reinterpret_cast<const void*>(&AfxGetInstanceHandle));
}

HINSTANCE AfxGetResourceHandle() {
    return AfxGetInstanceHandle();
}

void AfxOleLockApp() {
    ++g_objectCount;
}
void AfxOleUnlockApp() {
    --g_objectCount;
}
void AfxOleLockServer(BOOL fLock) {
    if (fLock)
        ++g_lockCount;
    else if (g_lockCount.load() > 0)
        --g_lockCount;
}
BOOL AfxOleCanExitApp() {
    return g_objectCount.load() == 0 && g_lockCount.load() == 0;
}

// ---------------------------------------------------------------------------

HRESULT AfxDllCanUnloadNow() {
    return AfxOleCanExitApp() ? S_OK : S_FALSE;
}

// ---------------------------------------------------------------------------

BOOL AfxOleRegisterTypeLib(HINSTANCE hInstance, REFGUID tlid, LPCTSTR pszFileName,
                           LPCTSTR pszHelpDir) {
    return platform::RunGuardedCall("AfxOleRegisterTypeLib", [&]() -> BOOL {
        std::string path;
        if (pszFileName != nullptr) {
            const auto canonical = CanonicalPath(pszFileName);
            if (!canonical) return FALSE;
            path = *canonical;
        } else {
            const auto modulePath = ModulePath(hInstance);
            if (!modulePath) return FALSE;
            path = *modulePath;
        }
        const std::u16string widePath = platform::com::Utf8ToUtf16(path);
        platform::com::ComPtr<ITypeLib> lib;
        if (FAILED(LoadTypeLib(widePath.c_str(), lib.Put()))) return FALSE;
        TLIBATTR* attr = nullptr;
        if (FAILED(lib->GetLibAttr(&attr))) return FALSE;
        const bool same = attr->guid == tlid;
        lib->ReleaseTLibAttr(attr);
        if (!same) return FALSE;
        // Help files sit beside the library unless the caller says otherwise.
        const std::string helpDir = pszHelpDir != nullptr
                                        ? std::string(pszHelpDir)
                                        : std::filesystem::path(path).parent_path().string();
        const std::u16string wideHelpDir = platform::com::Utf8ToUtf16(helpDir);
        return SUCCEEDED(RegisterTypeLib(lib.Get(), widePath.c_str(), wideHelpDir.c_str()));
    });
}

BOOL AfxOleUnregisterTypeLib(REFGUID tlid, WORD wVerMajor, WORD wVerMinor, LCID) {
    return platform::RunGuardedCall("AfxOleUnregisterTypeLib", [&]() -> BOOL {
        const std::string libKey = "TypeLib\\" + GuidText(tlid);
        // The version goes with every locale it was registered for; no
        // version named: the whole library.
        char version[16];
        std::snprintf(version, sizeof version, "%x.%x", wVerMajor, wVerMinor);
        const std::string key = wVerMajor != 0 ? libKey + "\\" + version : libKey;
        if (!DeleteTree(key)) return FALSE;
        if (wVerMajor == 0 || !KeyExists(libKey)) return TRUE;
        HKEY lib = nullptr;
        if (RegOpenKeyExA(HKEY_CLASSES_ROOT, libKey.c_str(), 0, KEY_READ, &lib) != ERROR_SUCCESS)
            return FALSE;
        char name[256];
        DWORD cch = sizeof name;
        const LSTATUS more = RegEnumKeyExA(lib, 0, name, &cch, nullptr, nullptr, nullptr, nullptr);
        RegCloseKey(lib);
        return more == ERROR_NO_MORE_ITEMS ? DeleteTree(libKey) : TRUE;
    });
}

BOOL AfxOleRegisterControlClass(HINSTANCE hInstance, REFCLSID clsid, LPCTSTR pszProgID,
                                UINT idTypeName, UINT idBitmap, int nRegFlags, DWORD dwMiscStatus,
                                REFGUID tlid, WORD wVerMajor, WORD wVerMinor) {
    return platform::RunGuardedCall("AfxOleRegisterControlClass", [&]() -> BOOL {
        std::string classKey, path, typeName;
        if (!RegisterServerClass(hInstance, clsid, idTypeName, nRegFlags, classKey, path, typeName))
            return FALSE;
        if (pszProgID != nullptr) {
            if (!SetText(classKey + "\\ProgID", pszProgID)) return FALSE;
            if (!SetText(pszProgID, typeName)) return FALSE;
            if (!SetText(std::string(pszProgID) + "\\CLSID", GuidText(clsid))) return FALSE;
            if ((nRegFlags & afxRegInsertable) != 0 &&
                !SetText(std::string(pszProgID) + "\\Insertable", ""))
                return FALSE;
        }
        if ((nRegFlags & afxRegInsertable) != 0 && !SetText(classKey + "\\Insertable", ""))
            return FALSE;
        return SetText(classKey + "\\Control", "") &&
               SetText(classKey + "\\ToolboxBitmap32", path + ", " + std::to_string(idBitmap)) &&
               SetText(classKey + "\\MiscStatus", "0") &&
               SetText(classKey + "\\MiscStatus\\1", std::to_string(dwMiscStatus)) &&
               SetText(classKey + "\\TypeLib", GuidText(tlid)) &&
               SetText(classKey + "\\Version", VersionText(wVerMajor, wVerMinor));
    });
}

BOOL AfxOleRegisterAutomationClass(HINSTANCE hInstance, REFCLSID clsid, LPCTSTR pszProgID,
                                   LPCTSTR pszVersionIndependentProgID, LPCTSTR pszTypeName,
                                   int nRegFlags, REFGUID tlid, WORD wVerMajor, WORD wVerMinor) {
    return platform::RunGuardedCall("AfxOleRegisterAutomationClass", [&]() -> BOOL {
        if (pszProgID == nullptr || pszVersionIndependentProgID == nullptr ||
            pszTypeName == nullptr)
            return FALSE;
        std::string classKey, path;
        const std::string clsidText = GuidText(clsid);
        const std::string current = pszProgID, independent = pszVersionIndependentProgID;
        return WriteServerClass(hInstance, clsid, pszTypeName, nRegFlags, classKey, path) &&
                       SetText(classKey + "\\ProgID", current) &&
                       SetText(classKey + "\\VersionIndependentProgID", independent) &&
                       SetText(classKey + "\\TypeLib", GuidText(tlid)) &&
                       SetText(classKey + "\\Version", VersionText(wVerMajor, wVerMinor)) &&
                       SetText(current, pszTypeName) && SetText(current + "\\CLSID", clsidText) &&
                       SetText(independent, pszTypeName) &&
                       SetText(independent + "\\CLSID", clsidText) &&
                       SetText(independent + "\\CurVer", current)
                   ? TRUE
                   : FALSE;
    });
}

BOOL AfxOleRegisterPropertyPageClass(HINSTANCE hInstance, REFCLSID clsid, UINT idTypeName,
                                     int nRegFlags) {
    return platform::RunGuardedCall("AfxOleRegisterPropertyPageClass", [&]() -> BOOL {
        std::string classKey, path, typeName;
        return RegisterServerClass(hInstance, clsid, idTypeName, nRegFlags, classKey, path,
                                   typeName)
                   ? TRUE
                   : FALSE;
    });
}

BOOL AfxOleUnregisterClass(REFCLSID clsid, LPCTSTR pszProgID) {
    return platform::RunGuardedCall("AfxOleUnregisterClass", [&]() -> BOOL {
        if (!DeleteTree("CLSID\\" + GuidText(clsid))) return FALSE;
        if (pszProgID != nullptr && *pszProgID != 0 && !DeleteTree(pszProgID)) return FALSE;
        return TRUE;
    });
}
