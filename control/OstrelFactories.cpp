#include "control/OstrelFactories.h"

#include "control/OstrelCtrl.h"
#include "control/OstrelIds.h"
#include "control/OstrelPropPage.h"
#include "control/OstrelResource.h"
#include "control/OstrelSigner.h"

#include <filesystem>
#include <string>

#include "platform/com/Guid.h"
#include "platform/com/Resource.h"

COstrelCtrlFactory::COstrelCtrlFactory()
    : COleObjectFactory(CLSID_Ostrel, RUNTIME_CLASS(COstrelCtrl), FALSE, "OSTREL.OstrelCtrl.1") {}

BOOL COstrelCtrlFactory::UpdateRegistry(BOOL bRegister) {
    if (bRegister)
        return AfxOleRegisterControlClass(AfxGetInstanceHandle(), m_clsid, m_lpszProgID,
                                          IDS_CONTROL_NAME, IDB_TOOLBOX, afxRegApartmentThreading,
                                          COstrelCtrl::kOleMisc, LIBID_OSTRELLib, g_wVerMajor,
                                          g_wVerMinor);
    return AfxOleUnregisterClass(m_clsid, m_lpszProgID);
}

COstrelPropPageFactory::COstrelPropPageFactory()
    : COleObjectFactory(CLSID_OstrelPropPage, RUNTIME_CLASS(COstrelPropPage), FALSE,
                        "OSTREL.OstrelPropPage.1") {}

BOOL COstrelPropPageFactory::UpdateRegistry(BOOL bRegister) {
    if (bRegister)
        return AfxOleRegisterPropertyPageClass(AfxGetInstanceHandle(), m_clsid, IDS_PROPPAGE_NAME,
                                               0);
    return AfxOleUnregisterClass(m_clsid, nullptr);
}

namespace {

// Sets the default value (or the named value) of a key of the classes root,
// creating the key.
bool SetClassesText(const std::string& subkey, const std::string& text,
                    LPCSTR valueName = nullptr) {
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

// The signer's type name, as registered (the module's resources hold the
// control's alone).
constexpr char kSignerTypeName[] = "Ostrel Signer";

bool DeleteClassesTree(const std::string& subkey) {
    const LSTATUS status = RegDeleteTreeA(HKEY_CLASSES_ROOT, subkey.c_str());
    return status == ERROR_SUCCESS || status == LSTATUS(ERROR_FILE_NOT_FOUND);
}

// The module's file by its full path, as every host finds it whatever
// folder it runs in.
std::string ModuleFile() {
    char path[4096];
    const DWORD n = GetModuleFileNameA(AfxGetInstanceHandle(), path, sizeof path);
    if (n == 0 || n >= sizeof path) return {};
    std::error_code ec;
    const auto canonical = std::filesystem::canonical(std::string(path, n), ec);
    return ec ? std::string() : canonical.string();
}

}  // namespace

COstrelSignerFactory::COstrelSignerFactory()
    : COleObjectFactory(CLSID_OstrelSigner, nullptr, FALSE, kSignerProgID) {}

// An automation object in process: its class with the module as server,
// both program identifiers (the version-independent one names the current
// version), and its type library; nothing that marks a control.
BOOL COstrelSignerFactory::UpdateRegistry(BOOL bRegister) {
    const std::string classKey = "CLSID\\" + platform::com::GuidToString(m_clsid);
    if (!bRegister)
        return DeleteClassesTree(classKey) && DeleteClassesTree(kSignerProgID) &&
                       DeleteClassesTree(kSignerVersionIndependentProgID)
                   ? TRUE
                   : FALSE;
    const std::string path = ModuleFile();
    const std::string name = kSignerTypeName;
    if (path.empty()) return FALSE;
    const std::string clsid = platform::com::GuidToString(m_clsid);
    char version[16];
    std::snprintf(version, sizeof version, "%u.%u", unsigned(g_wVerMajor), unsigned(g_wVerMinor));
    const bool ok =
        SetClassesText(classKey, name) && SetClassesText(classKey + "\\InprocServer32", path) &&
        SetClassesText(classKey + "\\InprocServer32", "Apartment", "ThreadingModel") &&
        SetClassesText(classKey + "\\ProgID", kSignerProgID) &&
        SetClassesText(classKey + "\\VersionIndependentProgID", kSignerVersionIndependentProgID) &&
        SetClassesText(classKey + "\\TypeLib", platform::com::GuidToString(LIBID_OSTRELLib)) &&
        SetClassesText(classKey + "\\Version", version) && SetClassesText(kSignerProgID, name) &&
        SetClassesText(std::string(kSignerProgID) + "\\CLSID", clsid) &&
        SetClassesText(kSignerVersionIndependentProgID, name) &&
        SetClassesText(std::string(kSignerVersionIndependentProgID) + "\\CLSID", clsid) &&
        SetClassesText(std::string(kSignerVersionIndependentProgID) + "\\CurVer", kSignerProgID);
    return ok ? TRUE : FALSE;
}

IUnknown* COstrelSignerFactory::OnCreateObject() {
    IUnknown* object = nullptr;
    if (FAILED(CreateOstrelSigner(IID_IUnknown, reinterpret_cast<void**>(&object)))) return nullptr;
    return object;
}
