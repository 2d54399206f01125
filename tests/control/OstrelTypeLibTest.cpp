#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>

#include "control/OstrelIds.h"
#include "control/OstrelTypeLib.h"
#include "platform/com/TypeLibFormat.h"
#include "platform/com/TypeLibRegistry.h"
#include "tests/platform/com/ComTestSupport.h"
#include "tests/support/TestSupport.h"

namespace ostrel::test {
namespace {

namespace typelib = platform::com::typelib;
using platform::com::Bstr;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

std::string Text(BSTR owned) {
    const Bstr b(owned);
    return b.IsNull() ? "(null)" : b.Utf8();
}

std::filesystem::path BuiltFile() {
    return std::filesystem::path(std::getenv("OSTREL_BIN")) / "Ostrel.tlb";
}

// One function as a viewer would print it: "1 SignMessage(Message: 8) -> 8".
std::string Signature(ITypeInfo* info, UINT index) {
    FUNCDESC* f = nullptr;
    EXPECT_EQ(info->GetFuncDesc(index, &f), S_OK);
    BSTR names[4] = {};
    UINT count = 0;
    EXPECT_EQ(info->GetNames(f->memid, names, 4, &count), S_OK);
    std::string out = std::to_string(f->memid) + " " + Text(names[0]) + "(";
    for (SHORT p = 0; p < f->cParams; ++p) {
        const TYPEDESC& t = f->lprgelemdescParam[p].tdesc;
        out += (p ? ", " : "") + Text(names[p + 1]) + ": " + std::to_string(t.vt);
        if (t.vt == VT_PTR) out += "->" + std::to_string(t.lptdesc->vt);
        EXPECT_EQ(f->lprgelemdescParam[p].paramdesc.wParamFlags, PARAMFLAG_NONE);
    }
    out += ") -> " + std::to_string(f->elemdescFunc.tdesc.vt);
    EXPECT_EQ(f->invkind, INVOKE_FUNC);
    EXPECT_EQ(f->funckind, FUNC_DISPATCH);
    EXPECT_EQ(f->cParamsOpt, 0);
    BSTR doc = nullptr;
    DWORD context = 1;
    EXPECT_EQ(info->GetDocumentation(f->memid, nullptr, &doc, &context, nullptr), S_OK);
    EXPECT_EQ(doc, nullptr) << out;  // no help strings on functions
    EXPECT_EQ(context, 0u);
    info->ReleaseFuncDesc(f);
    return out;
}

struct TypeView {
    TYPEATTR attr;
    std::string name, doc;
    std::vector<std::string> functions;
    std::vector<std::pair<std::string, INT>> implemented;  // name and flags
};

TypeView View(ITypeLib* lib, UINT index) {
    TypeView v{};
    ComPtr<ITypeInfo> info;
    EXPECT_EQ(lib->GetTypeInfo(index, info.Put()), S_OK);
    TYPEATTR* a = nullptr;
    EXPECT_EQ(info->GetTypeAttr(&a), S_OK);
    v.attr = *a;
    info->ReleaseTypeAttr(a);
    BSTR name = nullptr, doc = nullptr, file = nullptr;
    DWORD context = 1;
    EXPECT_EQ(info->GetDocumentation(MEMBERID_NIL, &name, &doc, &context, &file), S_OK);
    v.name = Text(name);
    v.doc = Text(doc);
    EXPECT_EQ(Text(file), "Ostrel.hlp");
    EXPECT_EQ(context, 0u);
    for (UINT i = 0; i < v.attr.cFuncs; ++i) v.functions.push_back(Signature(info.Get(), i));
    for (UINT i = 0; i < v.attr.cImplTypes; ++i) {
        HREFTYPE href = 0;
        INT flags = -1;
        ComPtr<ITypeInfo> ref;
        EXPECT_EQ(info->GetRefTypeOfImplType(i, &href), S_OK);
        EXPECT_EQ(info->GetImplTypeFlags(i, &flags), S_OK);
        EXPECT_EQ(info->GetRefTypeInfo(href, ref.Put()), S_OK);
        EXPECT_EQ(ref->GetDocumentation(MEMBERID_NIL, &name, nullptr, nullptr, nullptr), S_OK);
        v.implemented.emplace_back(Text(name), flags);
    }
    return v;
}

class OstrelTypeLib : public ::testing::Test {
protected:
    void SetUp() override { m_live = platform::com::LiveObjects(); }
    void TearDown() override { EXPECT_EQ(platform::com::LiveObjects(), m_live); }
    long m_live = 0;
};

TEST_F(OstrelTypeLib, TheBuiltFileIsTheLibraryInTheProduct) {
    const std::string file = ReadFile(BuiltFile());
    const auto image = OstrelTypeLibImage();
    EXPECT_EQ(file, std::string(image.begin(), image.end()));
}

TEST_F(OstrelTypeLib, LibraryAttributes) {
    ComPtr<ITypeLib> lib;
    ASSERT_EQ(platform::com::LoadTypeLibFromImage(OstrelTypeLibImage(), lib.Put()), S_OK);
    TLIBATTR* attr = nullptr;
    ASSERT_EQ(lib->GetLibAttr(&attr), S_OK);
    EXPECT_EQ(attr->guid, LIBID_OSTRELLib);
    EXPECT_EQ(attr->lcid, 0x0409u);
    EXPECT_EQ(attr->syskind, SYS_WIN32);
    EXPECT_EQ(attr->wMajorVerNum, 1);
    EXPECT_EQ(attr->wMinorVerNum, 1);
    EXPECT_EQ(attr->wLibFlags, LIBFLAG_FCONTROL);
    lib->ReleaseTLibAttr(attr);

    BSTR name = nullptr, doc = nullptr, file = nullptr;
    DWORD context = 1;
    ASSERT_EQ(lib->GetDocumentation(-1, &name, &doc, &context, &file), S_OK);
    EXPECT_EQ(Text(name), "OSTRELLib");
    EXPECT_EQ(Text(doc), "Ostrel ActiveX Control module");
    EXPECT_EQ(Text(file), "Ostrel.hlp");
    EXPECT_EQ(context, 0u);

    typelib::Library model;
    ASSERT_EQ(typelib::Read(OstrelTypeLibImage(), model), S_OK);
    ASSERT_EQ(model.imports.size(), 1u);
    EXPECT_EQ(model.imports[0].file, "stdole2.tlb");
    EXPECT_EQ(model.imports[0].libid, LIBID_STDOLE2);
}

TEST_F(OstrelTypeLib, ThreeTypesInOrderWithTheirFlagsAndMembers) {
    ComPtr<ITypeLib> lib;
    ASSERT_EQ(platform::com::LoadTypeLibFromImage(OstrelTypeLibImage(), lib.Put()), S_OK);
    // The control's three types come first; the signer's two follow them.
    ASSERT_EQ(lib->GetTypeInfoCount(), 5u);

    const TypeView dispatch = View(lib.Get(), 0);
    EXPECT_EQ(dispatch.name, "_DOstrel");
    EXPECT_EQ(dispatch.attr.guid, IID__DOstrel);
    EXPECT_EQ(dispatch.attr.typekind, TKIND_DISPATCH);
    EXPECT_EQ(dispatch.attr.wTypeFlags, 0x1010);
    EXPECT_EQ(dispatch.doc, "Dispatch interface for Ostrel Control");
    EXPECT_EQ(dispatch.attr.cVars, 0);
    EXPECT_THAT(dispatch.implemented, ElementsAre(std::pair<std::string, INT>("IDispatch", 0)));
    EXPECT_THAT(
        dispatch.functions,
        ElementsAre("1 SignMessage(Message: 8) -> 8", "2 VerifyMessage(SignedMessage: 8) -> 11",
                    "3 GetSubjectName(SignedMessage: 8) -> 8",
                    "4 GetSerialNumber(SignedMessage: 8) -> 8",
                    "5 SignMessageNoPrompt(Message: 8, CertIndex: 3) -> 8",
                    "6 ChooseCertificate() -> 3", "-552 AboutBox() -> 24"));

    const TypeView events = View(lib.Get(), 1);
    EXPECT_EQ(events.name, "_DOstrelEvents");
    EXPECT_EQ(events.attr.guid, IID__DOstrelEvents);
    EXPECT_EQ(events.attr.typekind, TKIND_DISPATCH);
    EXPECT_EQ(events.attr.wTypeFlags, 0x1000);  // not hidden
    EXPECT_EQ(events.doc, "Event interface for Ostrel Control");
    EXPECT_THAT(events.implemented, ElementsAre(std::pair<std::string, INT>("IDispatch", 0)));
    EXPECT_THAT(events.functions, ElementsAre("1 SignMessage(Message: 8, Signature: 26->8) -> 24"));

    const TypeView coclass = View(lib.Get(), 2);
    EXPECT_EQ(coclass.name, "Ostrel");
    EXPECT_EQ(coclass.attr.guid, CLSID_Ostrel);
    EXPECT_EQ(coclass.attr.typekind, TKIND_COCLASS);
    EXPECT_EQ(coclass.attr.wTypeFlags, 0x22);
    EXPECT_EQ(coclass.doc, "Ostrel Control");
    EXPECT_TRUE(coclass.functions.empty());
    EXPECT_THAT(coclass.implemented,
                ElementsAre(std::pair<std::string, INT>("_DOstrel", IMPLTYPEFLAG_FDEFAULT),
                            std::pair<std::string, INT>(
                                "_DOstrelEvents", IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE)));

    // The property page is not in the library; every identifier is distinct.
    ComPtr<ITypeInfo> info;
    EXPECT_EQ(lib->GetTypeInfoOfGuid(CLSID_OstrelPropPage, info.Put()), TYPE_E_ELEMENTNOTFOUND);
    const GUID ids[] = {LIBID_OSTRELLib, IID__DOstrel, IID__DOstrelEvents, CLSID_Ostrel,
                        CLSID_OstrelPropPage};
    for (std::size_t i = 0; i < 5; ++i)
        for (std::size_t k = i + 1; k < 5; ++k) EXPECT_NE(ids[i], ids[k]);
}

TEST_F(OstrelTypeLib, TheSignerFollowsTheControlAsADispatchInterfaceAndAClass) {
    ComPtr<ITypeLib> lib;
    ASSERT_EQ(platform::com::LoadTypeLibFromImage(OstrelTypeLibImage(), lib.Put()), S_OK);
    ASSERT_EQ(lib->GetTypeInfoCount(), 5u);

    const TypeView dispatch = View(lib.Get(), 3);
    EXPECT_EQ(dispatch.name, "_DOstrelSigner");
    EXPECT_EQ(dispatch.attr.guid, IID__DOstrelSigner);
    EXPECT_EQ(dispatch.attr.typekind, TKIND_DISPATCH);
    EXPECT_EQ(dispatch.attr.wTypeFlags, 0x1010);
    EXPECT_EQ(dispatch.doc, "Dispatch interface for Ostrel Signer");
    EXPECT_THAT(dispatch.implemented, ElementsAre(std::pair<std::string, INT>("IDispatch", 0)));
    EXPECT_THAT(dispatch.functions, ElementsAre("1 Sign(Text: 8, Options: 8) -> 8",
                                                "2 ChooseCertificate(Options: 8) -> 3"));

    const TypeView coclass = View(lib.Get(), 4);
    EXPECT_EQ(coclass.name, "OstrelSigner");
    EXPECT_EQ(coclass.attr.guid, CLSID_OstrelSigner);
    EXPECT_EQ(coclass.attr.typekind, TKIND_COCLASS);
    EXPECT_EQ(coclass.attr.wTypeFlags, TYPEFLAG_FCANCREATE);  // not a control
    EXPECT_EQ(coclass.doc, "Ostrel Signer");
    EXPECT_THAT(coclass.implemented,
                ElementsAre(std::pair<std::string, INT>("_DOstrelSigner", IMPLTYPEFLAG_FDEFAULT)));

    const GUID ids[] = {LIBID_OSTRELLib,      IID__DOstrel,       IID__DOstrelEvents, CLSID_Ostrel,
                        CLSID_OstrelPropPage, IID__DOstrelSigner, CLSID_OstrelSigner};
    for (std::size_t i = 0; i < std::size(ids); ++i)
        for (std::size_t k = i + 1; k < std::size(ids); ++k) EXPECT_NE(ids[i], ids[k]);
}

TEST_F(OstrelTypeLib, TheControlLoadsTheRegisteredLibraryOnly) {
    ComPtr<ITypeLib> lib;
    EXPECT_EQ(OstrelGetTypeInfoCount(), 1u);
    EXPECT_EQ(OstrelGetTypeLib(0x0409, lib.Put()), TYPE_E_LIBNOTREGISTERED);
    {
        platform::com::ScopedTypeLibRegistration registration(OstrelTypeLibImage());
        ASSERT_EQ(registration.Result(), S_OK);
        ASSERT_EQ(OstrelGetTypeLib(0x0409, lib.Put()), S_OK);
        EXPECT_EQ(lib->GetTypeInfoCount(), 5u);
        EXPECT_EQ(OstrelGetTypeLib(0, lib.Put()), S_OK);
    }
    EXPECT_EQ(OstrelGetTypeLib(0x0409, lib.Put()), TYPE_E_LIBNOTREGISTERED);
    platform::seams::ScopedFault fault("LoadRegTypeLib", DWORD(TYPE_E_REGISTRYACCESS));
    EXPECT_EQ(OstrelGetTypeLib(0x0409, lib.Put()), TYPE_E_REGISTRYACCESS);
}

TEST_F(OstrelTypeLib, TheCacheIsTheModulesWhateverStateIsCurrent) {
    AFX_MODULE_STATE host;
    AFX_MANAGE_STATE(&host);
    CTypeLibCache* cache = OstrelGetTypeLibCache();
    ASSERT_NE(cache, nullptr);
    EXPECT_EQ(cache->TypeLibID(), LIBID_OSTRELLib);
    EXPECT_EQ(AfxGetModuleState(), &host);  // restored
    {
        AFX_MANAGE_STATE(AfxGetStaticModuleState());
        EXPECT_EQ(AfxGetTypeLibCache(&LIBID_OSTRELLib), cache);
    }
    EXPECT_NE(AfxGetTypeLibCache(&LIBID_OSTRELLib), cache);
}

TEST_F(OstrelTypeLib, TheViewerShowsTheLibrary) {
    const std::string ostrel = std::string(std::getenv("OSTREL_BIN")) + "/ostrel";
    const CommandResult r = RunCommand(ostrel + " typelib");
    EXPECT_EQ(r.status, 0);
    EXPECT_THAT(r.out, HasSubstr("library OSTRELLib\n"));
    EXPECT_THAT(r.out, HasSubstr("  version      1.1\n  lcid         0x0409\n"));
    EXPECT_THAT(r.out, HasSubstr("  importlib    \"stdole2.tlb\""));
    EXPECT_THAT(r.out, HasSubstr("[0] dispinterface _DOstrel\n"));
    EXPECT_THAT(r.out, HasSubstr("0x1010 TYPEFLAG_FHIDDEN | TYPEFLAG_FDISPATCHABLE"));
    EXPECT_THAT(r.out, HasSubstr("[id 5, INVOKE_FUNC] BSTR SignMessageNoPrompt(BSTR Message, long "
                                 "CertIndex)\n"));
    EXPECT_THAT(r.out, HasSubstr("void SignMessage(BSTR Message, BSTR* Signature)\n"));
    EXPECT_THAT(r.out, HasSubstr("[id -552 (0xFFFFFDD8), INVOKE_FUNC] void AboutBox()\n"));
    EXPECT_THAT(r.out, HasSubstr("[2] coclass Ostrel\n"));
    EXPECT_THAT(r.out, HasSubstr("[3] dispinterface _DOstrelSigner\n"));
    EXPECT_THAT(r.out, HasSubstr("[id 1, INVOKE_FUNC] BSTR Sign(BSTR Text, BSTR Options)\n"));
    EXPECT_THAT(r.out, HasSubstr("[id 2, INVOKE_FUNC] long ChooseCertificate(BSTR Options)\n"));
    EXPECT_THAT(r.out, HasSubstr("[4] coclass OstrelSigner\n"));

    EXPECT_EQ(RunCommand(ostrel + " typelib " + BuiltFile().string()).out, r.out);

    TempHome home;
    const std::string file = ReadFile(BuiltFile());
    WriteFile(home.Path() / "cut.tlb", file.substr(0, file.size() / 2));
    const CommandResult damaged =
        RunCommand(ostrel + " typelib " + (home.Path() / "cut.tlb").string() + " 2>&1");
    EXPECT_EQ(damaged.status, 2);
    EXPECT_THAT(damaged.out, HasSubstr("TYPE_E_INVDATAREAD"));
}

}  // namespace
}  // namespace ostrel::test
