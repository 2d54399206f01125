// The module's registration, class objects and resources, with this test
// program standing in as the module: it links the module's objects and
// exports, and carries the same resource section.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "control/OstrelIds.h"
#include "platform/com/Activation.h"
#include "platform/com/ModuleState.h"
#include "platform/com/Registration.h"
#include "platform/com/Resource.h"
#include "platform/com/TypeLibRegistry.h"
#include "platform/ctl/OleInterfaces.h"
#include "platform/seams/Seams.h"
#include "platform/text/Utf.h"
#include "platform/win/LastError.h"
#include "tests/support/TestSupport.h"

extern "C" HRESULT DllCanUnloadNow();
extern "C" HRESULT DllGetClassObject(REFCLSID, REFIID, LPVOID*);
extern "C" HRESULT DllRegisterServer();
extern "C" HRESULT DllUnregisterServer();

namespace {

using platform::com::ComPtr;

const std::string kCtrlKey = "CLSID\\" + platform::com::GuidToString(CLSID_Ostrel);
const std::string kPageKey = "CLSID\\" + platform::com::GuidToString(CLSID_OstrelPropPage);
const std::string kLibKey = "TypeLib\\" + platform::com::GuidToString(LIBID_OSTRELLib);

// The default (or named) value of a key of the classes root; nothing when
// the key or value is missing.
std::optional<std::string> Value(const std::string& subkey, const char* name = nullptr) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, subkey.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return std::nullopt;
    char buf[1024];
    DWORD size = sizeof buf, type = 0;
    const LSTATUS status =
        RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buf), &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS) return std::nullopt;
    return std::string(buf, size > 0 && buf[size - 1] == 0 ? size - 1 : size);
}

bool KeyExists(const std::string& subkey) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, subkey.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

std::string SelfPath() {
    return std::filesystem::read_symlink("/proc/self/exe").string();
}

bool LibraryRegistered() {
    ComPtr<ITypeLib> lib;
    return SUCCEEDED(LoadRegTypeLib(LIBID_OSTRELLib, 1, 1, 0x0409, lib.Put())) && lib;
}

TEST(ModuleRegistration, RecordsEveryFactAndUnregistrationRemovesThem) {
    ostrel::test::TempHome home;
    ASSERT_EQ(DllRegisterServer(), S_OK);
    const std::string self = SelfPath();

    EXPECT_EQ(Value(kCtrlKey), "Ostrel Control");
    EXPECT_EQ(Value(kCtrlKey + "\\InprocServer32"), self);
    EXPECT_EQ(Value(kCtrlKey + "\\InprocServer32", "ThreadingModel"), "Apartment");
    EXPECT_EQ(Value(kCtrlKey + "\\ProgID"), "OSTREL.OstrelCtrl.1");
    EXPECT_TRUE(KeyExists(kCtrlKey + "\\Control"));
    EXPECT_FALSE(KeyExists(kCtrlKey + "\\Insertable"));
    EXPECT_EQ(Value(kCtrlKey + "\\ToolboxBitmap32"), self + ", 1");
    EXPECT_EQ(Value(kCtrlKey + "\\MiscStatus\\1"), "132241");
    EXPECT_EQ(Value(kCtrlKey + "\\TypeLib"), platform::com::GuidToString(LIBID_OSTRELLib));
    EXPECT_EQ(Value(kCtrlKey + "\\Version"), "1.1");
    EXPECT_EQ(Value("OSTREL.OstrelCtrl.1\\CLSID"), platform::com::GuidToString(CLSID_Ostrel));

    EXPECT_EQ(Value(kPageKey), "Ostrel Property Page");
    EXPECT_EQ(Value(kPageKey + "\\InprocServer32"), self);
    EXPECT_EQ(Value(kPageKey + "\\InprocServer32", "ThreadingModel"), std::nullopt);
    EXPECT_FALSE(KeyExists("OSTREL.OstrelPropPage.1"));

    EXPECT_EQ(Value(kLibKey + "\\1.1"), "Ostrel ActiveX Control module");
    EXPECT_EQ(Value(kLibKey + "\\1.1\\409\\win32"), self);
    EXPECT_EQ(Value(kLibKey + "\\1.1\\FLAGS"), "2");
    // What registration wrote is what the loader finds, from the module file.
    EXPECT_TRUE(LibraryRegistered());

    // The status registered is the one a control reports.
    ComPtr<IClassFactory> factory;
    ASSERT_EQ(DllGetClassObject(CLSID_Ostrel, IID_IClassFactory, factory.PutVoid()), S_OK);
    ComPtr<IOleObject> control;
    ASSERT_EQ(factory->CreateInstance(nullptr, IOleObject::kIid, control.PutVoid()), S_OK);
    DWORD misc = 0;
    ASSERT_EQ(control->GetMiscStatus(1, &misc), S_OK);
    EXPECT_EQ(std::to_string(misc), *Value(kCtrlKey + "\\MiscStatus\\1"));
    control.Reset();
    factory.Reset();

    ASSERT_EQ(DllUnregisterServer(), S_OK);
    EXPECT_FALSE(KeyExists(kCtrlKey));
    EXPECT_FALSE(KeyExists(kPageKey));
    EXPECT_FALSE(KeyExists("OSTREL.OstrelCtrl.1"));
    EXPECT_FALSE(KeyExists(kLibKey));
    EXPECT_FALSE(LibraryRegistered());
    // Unregistering what is not registered leaves nothing to undo.
    EXPECT_EQ(DllUnregisterServer(), S_OK);
}

// A library named by a relative path is registered by its full path: every
// process reads the registration, each from the folder it runs in.
TEST(ModuleRegistration, ALibraryNamedByARelativePathIsRegisteredByItsFullPath) {
    ostrel::test::TempHome home;
    const std::string self = SelfPath();
    const std::string relative =
        std::filesystem::relative(self, std::filesystem::current_path()).string();
    ASSERT_FALSE(relative.starts_with("/"));
    ASSERT_TRUE(AfxOleRegisterTypeLib(AfxGetInstanceHandle(), LIBID_OSTRELLib, relative.c_str()));
    EXPECT_EQ(Value(kLibKey + "\\1.1\\409\\win32"), self);
    EXPECT_EQ(Value(kLibKey + "\\1.1\\HELPDIR"),
              std::filesystem::path(self).parent_path().string());
    EXPECT_TRUE(LibraryRegistered());
    EXPECT_FALSE(AfxOleRegisterTypeLib(AfxGetInstanceHandle(), LIBID_OSTRELLib, "no/such/file"));
}

TEST(ModuleRegistration, LibraryFailureRegistersNoClass) {
    ostrel::test::TempHome home;
    {
        platform::seams::ScopedFault fault("RegSetValueExA", ERROR_ACCESS_DENIED);
        EXPECT_EQ(DllRegisterServer(), SELFREG_E_TYPELIB);
    }
    EXPECT_FALSE(KeyExists(kCtrlKey));
    EXPECT_FALSE(KeyExists(kPageKey));
    EXPECT_FALSE(KeyExists("OSTREL.OstrelCtrl.1"));
}

TEST(ModuleRegistration, ClassFailureLeavesTheLibraryRegistered) {
    ostrel::test::TempHome home;
    {
        // The library takes four values; the fifth is the control's first.
        platform::seams::ScopedFault fault("RegSetValueExA", ERROR_ACCESS_DENIED, 4);
        EXPECT_EQ(DllRegisterServer(), SELFREG_E_CLASS);
        EXPECT_TRUE(fault.Fired());
    }
    EXPECT_TRUE(LibraryRegistered());
    {
        // Unregistration stops at the library too, and touches no class.
        ASSERT_EQ(DllRegisterServer(), S_OK);
        platform::seams::ScopedFault fault("RegDeleteTreeA", ERROR_ACCESS_DENIED);
        EXPECT_EQ(DllUnregisterServer(), SELFREG_E_TYPELIB);
    }
    EXPECT_TRUE(KeyExists(kCtrlKey));
    {
        // The library takes two removals (its version, then its empty key).
        platform::seams::ScopedFault fault("RegDeleteTreeA", ERROR_ACCESS_DENIED, 2);
        EXPECT_EQ(DllUnregisterServer(), SELFREG_E_CLASS);
    }
    EXPECT_FALSE(LibraryRegistered());
}

TEST(ModuleClassObjects, HandOutBothClassesAndNothingElse) {
    ComPtr<IClassFactory> ctrlFactory, pageFactory;
    ASSERT_EQ(DllGetClassObject(CLSID_Ostrel, IID_IClassFactory, ctrlFactory.PutVoid()), S_OK);
    ASSERT_EQ(DllGetClassObject(CLSID_OstrelPropPage, IID_IClassFactory, pageFactory.PutVoid()),
              S_OK);

    ComPtr<IPersist> control;
    ASSERT_EQ(ctrlFactory->CreateInstance(nullptr, IPersist::kIid, control.PutVoid()), S_OK);
    CLSID clsid{};
    EXPECT_EQ(control->GetClassID(&clsid), S_OK);
    EXPECT_EQ(clsid, CLSID_Ostrel);
    ComPtr<IDispatch> dispatch = control.As<IDispatch>();
    ASSERT_TRUE(dispatch);
    std::u16string name = u"SignMessageNoPrompt";
    LPOLESTR names[] = {name.data()};
    DISPID id = 0;
    EXPECT_EQ(dispatch->GetIDsOfNames(IID_NULL, names, 1, 0, &id), S_OK);
    EXPECT_EQ(id, 5);

    ComPtr<IUnknown> page;
    EXPECT_EQ(pageFactory->CreateInstance(nullptr, IID_IUnknown, page.PutVoid()), S_OK);
    EXPECT_TRUE(page);
    // A page is not a control.
    ComPtr<IOleObject> notControl;
    EXPECT_EQ(pageFactory->CreateInstance(nullptr, IOleObject::kIid, notControl.PutVoid()),
              E_NOINTERFACE);
    EXPECT_FALSE(notControl);
    EXPECT_EQ(ctrlFactory->CreateInstance(page.Get(), IID_IUnknown, notControl.PutVoid()),
              CLASS_E_NOAGGREGATION);

    void* unknown = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(DllGetClassObject(IID__DOstrel, IID_IClassFactory, &unknown),
              CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(unknown, nullptr);
}

TEST(ModuleClassObjects, UnloadOnlyWithoutObjectsOrLocks) {
    ASSERT_EQ(DllCanUnloadNow(), S_OK);
    ComPtr<IClassFactory> factory;
    ASSERT_EQ(DllGetClassObject(CLSID_Ostrel, IID_IClassFactory, factory.PutVoid()), S_OK);
    ComPtr<IDispatch> control;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IDispatch, control.PutVoid()), S_OK);
    EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    factory.Reset();
    EXPECT_EQ(DllCanUnloadNow(), S_FALSE);  // a control and a lock
    control.Reset();
    EXPECT_EQ(DllCanUnloadNow(), S_FALSE);  // the lock
    ASSERT_EQ(DllGetClassObject(CLSID_Ostrel, IID_IClassFactory, factory.PutVoid()), S_OK);
    EXPECT_EQ(factory->LockServer(FALSE), S_OK);
    factory.Reset();
    EXPECT_EQ(DllCanUnloadNow(), S_OK);
}

TEST(ModuleClassObjects, ControlAloneKeepsTheModuleLoaded) {
    ComPtr<IClassFactory> factory;
    ASSERT_EQ(DllGetClassObject(CLSID_Ostrel, IID_IClassFactory, factory.PutVoid()), S_OK);
    ComPtr<IDispatch> control;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IDispatch, control.PutVoid()), S_OK);
    factory.Reset();
    EXPECT_EQ(DllCanUnloadNow(), S_FALSE);
    control.Reset();
    EXPECT_EQ(DllCanUnloadNow(), S_OK);
}

TEST(ModuleExports, RestoreTheCallersModuleState) {
    AFX_MODULE_STATE callerState;
    AFX_MODULE_STATE* previous = AfxSetModuleState(&callerState);
    EXPECT_EQ(DllCanUnloadNow(), S_OK);
    void* none = nullptr;
    DllGetClassObject(GUID_NULL, IID_IClassFactory, &none);
    EXPECT_EQ(AfxGetModuleState(), &callerState);
    AfxSetModuleState(previous);
}

TEST(ModuleResources, AreFoundInTheLoadedModule) {
    const HINSTANCE self = AfxGetInstanceHandle();
    ASSERT_NE(self, nullptr);
    char text[64];
    EXPECT_EQ(LoadStringA(self, 1, text, sizeof text), 14);
    EXPECT_STREQ(text, "Ostrel Control");
    EXPECT_EQ(LoadStringA(self, 2, text, sizeof text), 20);
    EXPECT_STREQ(text, "Ostrel Property Page");
    EXPECT_EQ(LoadStringA(self, 200, text, 4), 3);  // truncated and terminated
    EXPECT_STREQ(text, "Gen");
    EXPECT_EQ(LoadStringA(self, 3, text, sizeof text), 0);

    // Bitmaps: width, height and colour depth from their headers.
    const struct {
        int id, width, height, bits;
    } bitmaps[] = {{1, 16, 15, 4}, {203, 48, 39, 4}, {205, 315, 40, 24}};
    for (const auto& b : bitmaps) {
        HRSRC found = FindResourceA(self, MAKEINTRESOURCEA(WORD(b.id)), RT_BITMAP);
        ASSERT_NE(found, nullptr) << b.id;
        const auto* header = static_cast<const BYTE*>(LockResource(LoadResource(self, found)));
        ASSERT_GE(SizeofResource(self, found), 40u);
        auto dword = [&](int at) {
            return int(header[at] | header[at + 1] << 8 | header[at + 2] << 16 |
                       header[at + 3] << 24);
        };
        EXPECT_EQ(dword(4), b.width) << b.id;
        EXPECT_EQ(std::abs(dword(8)), b.height) << b.id;
        EXPECT_EQ(header[14], b.bits) << b.id;
    }

    // The icon group: two 16-colour images, 32 and 16 pixels square.
    HRSRC group = FindResourceA(self, MAKEINTRESOURCEA(1), RT_GROUP_ICON);
    ASSERT_NE(group, nullptr);
    const auto* dir = static_cast<const BYTE*>(LockResource(LoadResource(self, group)));
    ASSERT_EQ(SizeofResource(self, group), 6u + 2 * 14);
    EXPECT_EQ(dir[4], 2);
    EXPECT_EQ(dir[6], 32);
    EXPECT_EQ(dir[6 + 14], 16);
    EXPECT_EQ(dir[6 + 2], 16);

    for (int id : {1, 200, 201})
        EXPECT_NE(FindResourceA(self, MAKEINTRESOURCEA(WORD(id)), RT_DIALOG), nullptr) << id;
    EXPECT_NE(FindResourceExA(self, "TYPELIB", MAKEINTRESOURCEA(1), 0x0409), nullptr);
    EXPECT_NE(FindResourceA(self, "#1", "TYPELIB"), nullptr);

    EXPECT_EQ(FindResourceExA(self, "TYPELIB", MAKEINTRESOURCEA(1), 0x0407), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_RESOURCE_LANG_NOT_FOUND);
    EXPECT_EQ(FindResourceA(self, MAKEINTRESOURCEA(2), "TYPELIB"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_RESOURCE_NAME_NOT_FOUND);
    EXPECT_EQ(FindResourceA(self, MAKEINTRESOURCEA(1), "NOSUCHTYPE"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_RESOURCE_TYPE_NOT_FOUND);
    EXPECT_EQ(FindResourceA(reinterpret_cast<HMODULE>(0x10), MAKEINTRESOURCEA(1), RT_STRING),
              nullptr);
    EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
}

}  // namespace

namespace {

const std::string kSignerKey = "CLSID\\" + platform::com::GuidToString(CLSID_OstrelSigner);

TEST(SignerRegistration, RegistersAnAutomationObjectWithBothNamesAndRemovesThem) {
    ostrel::test::TempHome home;
    ASSERT_EQ(DllRegisterServer(), S_OK);
    const std::string self = SelfPath();
    const std::string clsid = platform::com::GuidToString(CLSID_OstrelSigner);

    EXPECT_EQ(Value(kSignerKey), "Ostrel Signer");
    EXPECT_EQ(Value(kSignerKey + "\\InprocServer32"), self);
    EXPECT_EQ(Value(kSignerKey + "\\InprocServer32", "ThreadingModel"), "Apartment");
    EXPECT_EQ(Value(kSignerKey + "\\ProgID"), "OSTREL.Signer.1");
    EXPECT_EQ(Value(kSignerKey + "\\VersionIndependentProgID"), "OSTREL.Signer");
    EXPECT_EQ(Value(kSignerKey + "\\TypeLib"), platform::com::GuidToString(LIBID_OSTRELLib));
    EXPECT_EQ(Value(kSignerKey + "\\Version"), "1.1");
    // Not a control.
    EXPECT_FALSE(KeyExists(kSignerKey + "\\Control"));
    EXPECT_FALSE(KeyExists(kSignerKey + "\\MiscStatus"));
    EXPECT_FALSE(KeyExists(kSignerKey + "\\ToolboxBitmap32"));
    EXPECT_EQ(Value("OSTREL.Signer.1\\CLSID"), clsid);
    EXPECT_EQ(Value("OSTREL.Signer\\CLSID"), clsid);
    EXPECT_EQ(Value("OSTREL.Signer\\CurVer"), "OSTREL.Signer.1");
    // Activation finds it by either name.
    CLSID found{};
    EXPECT_EQ(CLSIDFromProgID(u"OSTREL.Signer.1", &found), S_OK);
    EXPECT_EQ(found, CLSID_OstrelSigner);
    EXPECT_EQ(CLSIDFromProgID(u"OSTREL.Signer", &found), S_OK);
    EXPECT_EQ(found, CLSID_OstrelSigner);
    // The control's registration is what it was.
    EXPECT_EQ(Value("OSTREL.OstrelCtrl.1\\CLSID"), platform::com::GuidToString(CLSID_Ostrel));

    ASSERT_EQ(DllUnregisterServer(), S_OK);
    EXPECT_FALSE(KeyExists(kSignerKey));
    EXPECT_FALSE(KeyExists("OSTREL.Signer.1"));
    EXPECT_FALSE(KeyExists("OSTREL.Signer"));
}

TEST(SignerClassObject, MakesSignersThatAnswerByNameAndKeepTheModuleLoaded) {
    ASSERT_EQ(DllCanUnloadNow(), S_OK);
    ComPtr<IClassFactory> factory;
    ASSERT_EQ(DllGetClassObject(CLSID_OstrelSigner, IID_IClassFactory, factory.PutVoid()), S_OK);
    ComPtr<IDispatch> signer;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IDispatch, signer.PutVoid()), S_OK);
    factory.Reset();
    for (const auto& [name, dispid] :
         {std::pair<std::u16string, DISPID>{u"Sign", 1}, {u"chooseCERTIFICATE", 2}}) {
        std::u16string copy = name;
        LPOLESTR names[] = {copy.data()};
        DISPID id = 0;
        EXPECT_EQ(signer->GetIDsOfNames(IID_NULL, names, 1, 0, &id), S_OK);
        EXPECT_EQ(id, dispid);
    }
    // The control's methods are not the signer's.
    std::u16string other = u"SignMessage";
    LPOLESTR names[] = {other.data()};
    DISPID id = 0;
    EXPECT_EQ(signer->GetIDsOfNames(IID_NULL, names, 1, 0, &id), DISP_E_UNKNOWNNAME);
    // An automation object, not a control.
    EXPECT_FALSE(signer.As<IOleObject>());
    ComPtr<IUnknown> asInterface;
    EXPECT_EQ(signer->QueryInterface(IID__DOstrelSigner, asInterface.PutVoid()), S_OK);
    asInterface.Reset();
    EXPECT_EQ(DllCanUnloadNow(), S_FALSE);
    signer.Reset();
    EXPECT_EQ(DllCanUnloadNow(), S_OK);
}

}  // namespace
