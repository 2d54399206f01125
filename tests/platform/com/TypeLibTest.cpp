#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <random>
#include <thread>

#include "platform/com/TypeInfo.h"
#include "platform/com/TypeLibFormat.h"
#include "platform/com/TypeLibRegistry.h"
#include "tests/platform/com/ComTestSupport.h"
#include "tests/platform/com/SampleTypeLib.h"
#include "tests/support/TestSupport.h"

namespace ostrel::test {
namespace {

namespace typelib = platform::com::typelib;
using platform::com::Bstr;
using ::testing::AnyOf;
using ::testing::ElementsAre;

std::vector<BYTE> SampleImage() {
    return typelib::Write(SampleLibrary());
}

// Writes the length and checksum of a changed body back into the header, so
// that the change reaches the parser behind them.
void Reseal(std::vector<BYTE>& image) {
    const std::uint32_t length = std::uint32_t(image.size() - typelib::kHeaderSize);
    const std::uint32_t sum = typelib::Checksum(std::span(image).subspan(typelib::kHeaderSize));
    for (int i = 0; i < 4; ++i) {
        image[12 + i] = BYTE(length >> (8 * i));
        image[16 + i] = BYTE(sum >> (8 * i));
    }
}

ComPtr<ITypeLib> Load(const std::vector<BYTE>& image) {
    ComPtr<ITypeLib> lib;
    EXPECT_EQ(platform::com::LoadTypeLibFromImage(image, lib.Put()), S_OK);
    return lib;
}

std::string Text(BSTR owned) {
    const Bstr b(owned);
    return b.IsNull() ? "(null)" : b.Utf8();
}

class TypeLib : public ::testing::Test {
protected:
    void SetUp() override {
        m_live = platform::com::LiveObjects();
        m_bstrs = LiveCounts::Now().bstrs;
    }
    void TearDown() override {
        EXPECT_EQ(platform::com::LiveObjects(), m_live);
        EXPECT_EQ(LiveCounts::Now().bstrs, m_bstrs);
    }
    long m_live = 0, m_bstrs = 0;
};

TEST_F(TypeLib, ImageReadsBackAsItsDescription) {
    const std::vector<BYTE> image = SampleImage();
    EXPECT_TRUE(std::equal(std::begin(typelib::kMagic), std::end(typelib::kMagic), image.begin()));
    typelib::Library back;
    ASSERT_EQ(typelib::Read(image, back), S_OK);
    EXPECT_EQ(back, SampleLibrary());
    // Writing is deterministic: the same description, the same bytes.
    EXPECT_EQ(typelib::Write(back), image);
}

TEST_F(TypeLib, LibraryAttributesAndDocumentation) {
    const ComPtr<ITypeLib> lib = Load(SampleImage());
    TLIBATTR* attr = nullptr;
    ASSERT_EQ(lib->GetLibAttr(&attr), S_OK);
    EXPECT_EQ(attr->guid, kSampleLibId);
    EXPECT_EQ(attr->lcid, 0x0409u);
    EXPECT_EQ(attr->syskind, SYS_WIN32);
    EXPECT_EQ(attr->wMajorVerNum, 2);
    EXPECT_EQ(attr->wMinorVerNum, 3);
    EXPECT_EQ(attr->wLibFlags, LIBFLAG_FHIDDEN);
    lib->ReleaseTLibAttr(attr);
    lib->ReleaseTLibAttr(nullptr);  // what it did not hand out is ignored

    BSTR name = nullptr, doc = nullptr, file = nullptr;
    DWORD context = 0;
    ASSERT_EQ(lib->GetDocumentation(-1, &name, &doc, &context, &file), S_OK);
    EXPECT_EQ(Text(name), "SampleLib");
    EXPECT_EQ(Text(doc), "Sample library");
    EXPECT_EQ(Text(file), "sample.hlp");
    EXPECT_EQ(context, 5u);
    ASSERT_EQ(lib->GetDocumentation(1, &name, &doc, nullptr, nullptr), S_OK);
    EXPECT_EQ(Text(name), "Sample");
    EXPECT_EQ(Text(doc), "(null)");
    EXPECT_EQ(lib->GetDocumentation(2, &name, nullptr, nullptr, nullptr), TYPE_E_ELEMENTNOTFOUND);
    EXPECT_EQ(lib->GetDocumentation(-2, &name, nullptr, nullptr, nullptr), TYPE_E_ELEMENTNOTFOUND);

    EXPECT_EQ(lib->GetTypeInfoCount(), 2u);
    TYPEKIND kind{};
    EXPECT_EQ(lib->GetTypeInfoType(0, &kind), S_OK);
    EXPECT_EQ(kind, TKIND_DISPATCH);
    EXPECT_EQ(lib->GetTypeInfoType(1, &kind), S_OK);
    EXPECT_EQ(kind, TKIND_COCLASS);
    EXPECT_EQ(lib->GetTypeInfoType(2, &kind), TYPE_E_ELEMENTNOTFOUND);
    ComPtr<ITypeInfo> info;
    EXPECT_EQ(lib->GetTypeInfo(2, info.Put()), TYPE_E_ELEMENTNOTFOUND);
    EXPECT_EQ(lib->GetTypeInfoOfGuid(kSampleLibId, info.Put()), TYPE_E_ELEMENTNOTFOUND);
    EXPECT_EQ(lib->GetTypeInfoOfGuid(kSampleClsid, info.Put()), S_OK);
    UINT index = 9;
    ComPtr<ITypeLib> containing;
    EXPECT_EQ(info->GetContainingTypeLib(containing.Put(), &index), S_OK);
    EXPECT_EQ(index, 1u);
    EXPECT_EQ(containing.Get(), lib.Get());

    std::u16string probe = u"eCHO";
    BOOL found = FALSE;
    EXPECT_EQ(lib->IsName(probe.data(), 0, &found), S_OK);
    EXPECT_TRUE(found);
    EXPECT_EQ(probe, u"Echo");  // the library's own spelling
    probe = u"Echoes";
    EXPECT_EQ(lib->IsName(probe.data(), 0, &found), S_OK);
    EXPECT_FALSE(found);
}

TEST_F(TypeLib, TypesFunctionsAndParameters) {
    const ComPtr<ITypeLib> lib = Load(SampleImage());
    ComPtr<ITypeInfo> info;
    ASSERT_EQ(lib->GetTypeInfoOfGuid(kSampleDispatchIid, info.Put()), S_OK);

    TYPEATTR* attr = nullptr;
    ASSERT_EQ(info->GetTypeAttr(&attr), S_OK);
    EXPECT_EQ(attr->guid, kSampleDispatchIid);
    EXPECT_EQ(attr->typekind, TKIND_DISPATCH);
    EXPECT_EQ(attr->wTypeFlags, TYPEFLAG_FDISPATCHABLE);
    EXPECT_EQ(attr->cFuncs, 3);
    EXPECT_EQ(attr->cVars, 0);
    EXPECT_EQ(attr->cImplTypes, 1);
    EXPECT_EQ(attr->lcid, 0x0409u);
    EXPECT_EQ(attr->cbSizeVft, 7 * 4);  // IDispatch's table on a 32-bit system
    info->ReleaseTypeAttr(attr);

    FUNCDESC* f = nullptr;
    ASSERT_EQ(info->GetFuncDesc(1, &f), S_OK);
    EXPECT_EQ(f->memid, 2);
    EXPECT_EQ(f->invkind, INVOKE_FUNC);
    EXPECT_EQ(f->funckind, FUNC_DISPATCH);
    EXPECT_EQ(f->cParams, 2);
    EXPECT_EQ(f->cParamsOpt, 0);
    EXPECT_EQ(f->elemdescFunc.tdesc.vt, VT_BOOL);
    EXPECT_EQ(f->lprgelemdescParam[0].tdesc.vt, VT_BSTR);
    EXPECT_EQ(f->lprgelemdescParam[1].tdesc.vt, VT_I4);
    info->ReleaseFuncDesc(f);
    ASSERT_EQ(info->GetFuncDesc(2, &f), S_OK);
    EXPECT_EQ(f->memid, -600);
    EXPECT_EQ(f->elemdescFunc.tdesc.vt, VT_VOID);
    const TYPEDESC& out = f->lprgelemdescParam[0].tdesc;
    ASSERT_EQ(out.vt, VT_PTR);
    ASSERT_EQ(out.lptdesc->vt, VT_PTR);
    EXPECT_EQ(out.lptdesc->lptdesc->vt, VT_BSTR);
    EXPECT_EQ(f->lprgelemdescParam[0].paramdesc.wParamFlags, PARAMFLAG_FOUT);
    info->ReleaseFuncDesc(f);
    EXPECT_EQ(info->GetFuncDesc(3, &f), TYPE_E_ELEMENTNOTFOUND);

    BSTR names[3] = {};
    UINT count = 0;
    ASSERT_EQ(info->GetNames(2, names, 3, &count), S_OK);
    ASSERT_EQ(count, 3u);
    EXPECT_EQ(Text(names[0]), "Pair");
    EXPECT_EQ(Text(names[1]), "Text");
    EXPECT_EQ(Text(names[2]), "Number");
    ASSERT_EQ(info->GetNames(2, names, 1, &count), S_OK);  // room for the member's name only
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(Text(names[0]), "Pair");
    EXPECT_EQ(info->GetNames(77, names, 3, &count), TYPE_E_ELEMENTNOTFOUND);

    std::u16string member = u"PAIR", p1 = u"number", p2 = u"Bogus";
    LPOLESTR query[] = {member.data(), p1.data(), p2.data()};
    MEMBERID ids[3] = {};
    EXPECT_EQ(info->GetIDsOfNames(query, 2, ids), S_OK);
    EXPECT_THAT(std::vector<MEMBERID>(ids, ids + 2), ElementsAre(2, 1));
    EXPECT_EQ(info->GetIDsOfNames(query, 3, ids), DISP_E_UNKNOWNNAME);
    EXPECT_THAT(ids, ElementsAre(2, 1, MEMBERID_NIL));

    BSTR name = nullptr, doc = nullptr;
    DWORD context = 0;
    ASSERT_EQ(info->GetDocumentation(1, &name, &doc, &context, nullptr), S_OK);
    EXPECT_EQ(Text(name), "Echo");
    EXPECT_EQ(Text(doc), "Gives the text back");
    EXPECT_EQ(context, 9u);
    ASSERT_EQ(info->GetDocumentation(MEMBERID_NIL, &name, &doc, nullptr, nullptr), S_OK);
    EXPECT_EQ(Text(name), "_DSample");
    EXPECT_EQ(Text(doc), "Sample dispatch interface");
}

TEST_F(TypeLib, ImplementedTypesAreFoundInTheLibraryOrAmongItsImports) {
    const ComPtr<ITypeLib> lib = Load(SampleImage());
    ComPtr<ITypeInfo> coclass, dispatch, base;
    ASSERT_EQ(lib->GetTypeInfo(1, coclass.Put()), S_OK);
    HREFTYPE href = 0;
    INT flags = 0;
    ASSERT_EQ(coclass->GetRefTypeOfImplType(0, &href), S_OK);
    EXPECT_EQ(coclass->GetImplTypeFlags(0, &flags), S_OK);
    EXPECT_EQ(flags, IMPLTYPEFLAG_FDEFAULT);
    EXPECT_EQ(coclass->GetRefTypeOfImplType(1, &href), TYPE_E_ELEMENTNOTFOUND);
    ASSERT_EQ(coclass->GetRefTypeOfImplType(0, &href), S_OK);
    ASSERT_EQ(coclass->GetRefTypeInfo(href, dispatch.Put()), S_OK);
    BSTR name = nullptr;
    ASSERT_EQ(dispatch->GetDocumentation(MEMBERID_NIL, &name, nullptr, nullptr, nullptr), S_OK);
    EXPECT_EQ(Text(name), "_DSample");

    ASSERT_EQ(dispatch->GetRefTypeOfImplType(0, &href), S_OK);
    ASSERT_EQ(dispatch->GetRefTypeInfo(href, base.Put()), S_OK);
    ASSERT_EQ(base->GetDocumentation(MEMBERID_NIL, &name, nullptr, nullptr, nullptr), S_OK);
    EXPECT_EQ(Text(name), "IDispatch");
    TYPEATTR* attr = nullptr;
    ASSERT_EQ(base->GetTypeAttr(&attr), S_OK);
    EXPECT_EQ(attr->guid, IID_IDispatch);
    EXPECT_EQ(attr->typekind, TKIND_INTERFACE);
    base->ReleaseTypeAttr(attr);
    ComPtr<ITypeLib> imported;
    EXPECT_EQ(base->GetContainingTypeLib(imported.Put(), nullptr), TYPE_E_CANTLOADLIBRARY);
    EXPECT_EQ(dispatch->GetRefTypeInfo(12345, base.Put()), TYPE_E_ELEMENTNOTFOUND);
    EXPECT_EQ(dispatch->GetRefTypeInfo(typelib::kExternalRef | 7, base.Put()),
              TYPE_E_ELEMENTNOTFOUND);
}

TEST_F(TypeLib, UnsoundDescriptionsAreNotWritten) {
    using Change = std::function<void(typelib::Library&)>;
    const std::pair<const char*, Change> changes[] = {
        {"no name", [](auto& l) { l.name.clear(); }},
        {"no identifier", [](auto& l) { l.libid = GUID_NULL; }},
        {"a NUL in a name", [](auto& l) { l.types[0].name = std::string("a\0b", 3); }},
        {"not UTF-8", [](auto& l) { l.doc = "\xC3"; }},
        {"a string too long", [](auto& l) { l.doc = std::string(typelib::kMaxString + 1, 'x'); }},
        {"two types, one identifier", [](auto& l) { l.types[1].guid = l.types[0].guid; }},
        {"a dangling reference", [](auto& l) { l.types[1].implTypes[0].href = 5; }},
        {"a dangling import", [](auto& l) { l.externals[0].import = 1; }},
        {"implementing a class", [](auto& l) { l.types[1].implTypes[0].href = 1; }},
        {"an unknown type code",
         [](auto& l) { l.types[0].functions[0].result = {VT_USERDEFINED}; }},
        {"a pointer to nothing", [](auto& l) { l.types[0].functions[0].result = {VT_PTR}; }},
        {"a void parameter", [](auto& l) { l.types[0].functions[0].params[0].type = {VT_VOID}; }},
        {"a repeated identifier", [](auto& l) { l.types[0].functions[1].memid = 1; }},
        {"a class with functions", [](auto& l) { l.types[1].functions = l.types[0].functions; }},
        {"an unknown kind", [](auto& l) { l.types[0].kind = TKIND_ALIAS; }},
    };
    for (const auto& [what, change] : changes) {
        SCOPED_TRACE(what);
        typelib::Library lib = SampleLibrary();
        change(lib);
        EXPECT_FALSE(typelib::Check(lib).empty());
        EXPECT_THROW(typelib::Write(lib), std::invalid_argument);
    }
}

TEST_F(TypeLib, ImagesThatAreNotOursOrOfAnotherVersionAreUnsupported) {
    const std::vector<BYTE> good = SampleImage();
    typelib::Library lib;
    EXPECT_EQ(typelib::Read({}, lib), TYPE_E_UNSUPFORMAT);
    std::vector<BYTE> image = good;
    image[0] = 'X';
    EXPECT_EQ(typelib::Read(image, lib), TYPE_E_UNSUPFORMAT);
    image = good;
    image[8] = 2;  // format version 2
    EXPECT_EQ(typelib::Read(image, lib), TYPE_E_UNSUPFORMAT);
    image = good;
    image[11] = 1;  // flags this version does not know
    EXPECT_EQ(typelib::Read(image, lib), TYPE_E_UNSUPFORMAT);
    EXPECT_EQ(lib, typelib::Library{});  // nothing was filled in
}

TEST_F(TypeLib, DamagedImagesAreRefused) {
    const std::vector<BYTE> good = SampleImage();
    typelib::Library lib;
    // Cut anywhere.
    for (std::size_t n = 8; n < good.size(); ++n)
        EXPECT_EQ(typelib::Read(std::span(good).first(n), lib), TYPE_E_INVDATAREAD) << n;

    std::vector<BYTE> image = good;
    image.back() ^= 1;  // the checksum no longer matches
    EXPECT_EQ(typelib::Read(image, lib), TYPE_E_INVDATAREAD);
    image = good;
    image[12] += 1;  // the length field no longer matches
    EXPECT_EQ(typelib::Read(image, lib), TYPE_E_INVDATAREAD);
    image = good;
    image.push_back(0);  // a byte after the library
    Reseal(image);
    EXPECT_EQ(typelib::Read(image, lib), TYPE_E_INVDATAREAD);
    image = good;
    image[typelib::kHeaderSize] = 0xFE;  // the library name claims more bytes than there are
    image[typelib::kHeaderSize + 1] = 0xFF;
    Reseal(image);
    EXPECT_EQ(typelib::Read(image, lib), TYPE_E_INVDATAREAD);

    // Any length or count out of bounds, wherever it stands.
    for (std::size_t at = typelib::kHeaderSize; at + 1 < good.size(); ++at) {
        for (WORD value : {WORD(0xFFFF), WORD(0x7FFF), WORD(0x0800)}) {
            image = good;
            image[at] = BYTE(value);
            image[at + 1] = BYTE(value >> 8);
            Reseal(image);
            const HRESULT hr = typelib::Read(image, lib);
            ASSERT_THAT(hr, AnyOf(S_OK, TYPE_E_INVDATAREAD)) << at;
            if (hr == S_OK) {
                EXPECT_EQ(typelib::Check(lib), "");
            }
        }
    }

    std::vector<BYTE> huge(platform::com::kMaxTypeLibImage + 1, 0);
    std::copy(good.begin(), good.begin() + typelib::kHeaderSize, huge.begin());
    EXPECT_EQ(typelib::Read(huge, lib), TYPE_E_INVDATAREAD);
}

// Walks everything a library offers, as a viewer would.
void WalkAll(ITypeLib* lib) {
    TLIBATTR* la = nullptr;
    if (SUCCEEDED(lib->GetLibAttr(&la))) lib->ReleaseTLibAttr(la);
    for (UINT t = 0; t < lib->GetTypeInfoCount(); ++t) {
        ComPtr<ITypeInfo> info;
        ASSERT_EQ(lib->GetTypeInfo(t, info.Put()), S_OK);
        TYPEATTR* a = nullptr;
        ASSERT_EQ(info->GetTypeAttr(&a), S_OK);
        for (UINT i = 0; i < a->cImplTypes; ++i) {
            HREFTYPE href = 0;
            ComPtr<ITypeInfo> ref;
            ASSERT_EQ(info->GetRefTypeOfImplType(i, &href), S_OK);
            ASSERT_EQ(info->GetRefTypeInfo(href, ref.Put()), S_OK);
        }
        for (UINT i = 0; i < a->cFuncs; ++i) {
            FUNCDESC* f = nullptr;
            ASSERT_EQ(info->GetFuncDesc(i, &f), S_OK);
            std::vector<BSTR> names(std::size_t(f->cParams) + 1, nullptr);
            UINT count = 0;
            ASSERT_EQ(info->GetNames(f->memid, names.data(), UINT(names.size()), &count), S_OK);
            for (UINT k = 0; k < count; ++k) SysFreeString(names[k]);
            info->ReleaseFuncDesc(f);
        }
        info->ReleaseTypeAttr(a);
    }
}

TEST_F(TypeLib, RandomCorruptionIsRefusedOrReadsAsASoundLibrary) {
    const std::vector<BYTE> good = SampleImage();
    std::mt19937 random(20240611);
    int refused = 0;
    for (int round = 0; round < 3000; ++round) {
        std::vector<BYTE> image = good;
        const int flips = 1 + int(random() % 4);
        for (int k = 0; k < flips; ++k) {
            const std::size_t at =
                typelib::kHeaderSize + random() % (image.size() - typelib::kHeaderSize);
            image[at] = BYTE(random());
        }
        if (round % 5 == 0) image.resize(image.size() - random() % 16);
        // Most rounds get past the checksum, so that the parser sees the damage.
        if (round % 10 != 0) Reseal(image);
        ComPtr<ITypeLib> lib;
        const HRESULT hr = platform::com::LoadTypeLibFromImage(image, lib.Put());
        ASSERT_THAT(hr, AnyOf(S_OK, TYPE_E_INVDATAREAD)) << round;
        if (hr == S_OK)
            WalkAll(lib.Get());
        else
            ++refused;
    }
    EXPECT_GT(refused, 1000);
}

TEST_F(TypeLib, FilesAreLoadedByPath) {
    TempHome home;
    const auto good = home.Path() / "sample.tlb";
    const std::vector<BYTE> image = SampleImage();
    WriteFile(good, std::string(image.begin(), image.end()));
    const auto damaged = home.Path() / "damaged.tlb";
    WriteFile(damaged, std::string(image.begin(), image.end() - 3));

    ComPtr<ITypeLib> lib;
    EXPECT_EQ(LoadTypeLib(platform::com::Utf8ToUtf16(good.string()).c_str(), lib.Put()), S_OK);
    EXPECT_EQ(lib->GetTypeInfoCount(), 2u);
    EXPECT_EQ(LoadTypeLib(platform::com::Utf8ToUtf16(damaged.string()).c_str(), lib.Put()),
              TYPE_E_INVDATAREAD);
    EXPECT_FALSE(lib);
    const std::u16string missing = platform::com::Utf8ToUtf16((home.Path() / "none").string());
    EXPECT_EQ(LoadTypeLib(missing.c_str(), lib.Put()), TYPE_E_CANTLOADLIBRARY);
    const std::u16string folder = platform::com::Utf8ToUtf16(home.Path().string());
    EXPECT_EQ(LoadTypeLib(folder.c_str(), lib.Put()), TYPE_E_CANTLOADLIBRARY);
    EXPECT_EQ(LoadTypeLib(u"", lib.Put()), TYPE_E_CANTLOADLIBRARY);
    EXPECT_EQ(LoadTypeLib(nullptr, lib.Put()), HRESULT(E_INVALIDARG));
    EXPECT_EQ(LoadTypeLib(u"x", nullptr), E_POINTER);
    {
        platform::seams::ScopedFault fault("LoadTypeLib", DWORD(TYPE_E_IOERROR));
        EXPECT_EQ(LoadTypeLib(platform::com::Utf8ToUtf16(good.string()).c_str(), lib.Put()),
                  TYPE_E_IOERROR);
    }
}

// A FIFO named as a library file is refused at once. Were it waited on, the
// load would hang until a writer came: the test then plays that writer, so
// that it fails instead of hanging.
TEST_F(TypeLib, AFifoNamedAsAFileIsRefusedWithoutWaiting) {
    TempHome home;
    const auto fifo = home.Path() / "library.tlb";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::promise<HRESULT> result;
    auto answer = result.get_future();
    std::thread loader([&] {
        ComPtr<ITypeLib> lib;
        result.set_value(LoadTypeLib(platform::com::Utf8ToUtf16(fifo.string()).c_str(), lib.Put()));
    });
    const bool answered = answer.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    if (!answered) {
        const int writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
        if (writer >= 0) ::close(writer);
    }
    loader.join();
    EXPECT_TRUE(answered) << "the load waited on the FIFO";
    EXPECT_EQ(answer.get(), TYPE_E_CANTLOADLIBRARY);
}

// The same library under another version or locale.
std::vector<BYTE> Edition(WORD minor, LCID lcid) {
    typelib::Library lib = SampleLibrary();
    lib.wMinorVerNum = minor;
    lib.lcid = lcid;
    return typelib::Write(lib);
}

WORD LoadedMinor(WORD major, WORD minor, LCID lcid, HRESULT& hr) {
    ComPtr<ITypeLib> lib;
    hr = LoadRegTypeLib(kSampleLibId, major, minor, lcid, lib.Put());
    if (FAILED(hr)) return 0;
    TLIBATTR* attr = nullptr;
    lib->GetLibAttr(&attr);
    const WORD found = attr->wMinorVerNum;
    lib->ReleaseTLibAttr(attr);
    return found;
}

TEST_F(TypeLib, RegisteredLibrariesAreFoundByVersionAndLocale) {
    HRESULT hr = S_OK;
    LoadedMinor(2, 3, 0x0409, hr);
    EXPECT_EQ(hr, TYPE_E_LIBNOTREGISTERED);

    const std::vector<BYTE> english3 = Edition(3, 0x0409), english5 = Edition(5, 0x0409),
                            neutral1 = Edition(1, 0);
    platform::com::ScopedTypeLibRegistration a(english3), b(english5), c(neutral1);
    ASSERT_EQ(a.Result(), S_OK);
    EXPECT_EQ(LoadedMinor(2, 3, 0x0409, hr), 5);  // the highest minor version
    EXPECT_EQ(LoadedMinor(2, 5, 0x0409, hr), 5);
    EXPECT_EQ(LoadedMinor(2, 6, 0x0409, hr), 0);
    EXPECT_EQ(hr, TYPE_E_LIBNOTREGISTERED);
    EXPECT_EQ(LoadedMinor(2, 0, 0x0809, hr), 5);  // another English: the language
    EXPECT_EQ(LoadedMinor(2, 0, 0x0407, hr), 1);  // German: the neutral one
    EXPECT_EQ(LoadedMinor(2, 2, 0x0407, hr), 0);
    EXPECT_EQ(hr, TYPE_E_LIBNOTREGISTERED);
    EXPECT_EQ(LoadedMinor(3, 0, 0x0409, hr), 0);  // another major version is another library
    EXPECT_EQ(hr, TYPE_E_LIBNOTREGISTERED);
    EXPECT_EQ(LoadedMinor(1, 0, 0x0409, hr), 0);
    EXPECT_EQ(hr, TYPE_E_LIBNOTREGISTERED);
    EXPECT_EQ(LoadedMinor(2, 2, LOCALE_USER_DEFAULT, hr), 5);
    EXPECT_EQ(hr, S_OK);
}

TEST_F(TypeLib, RegistrationNamesTheFileAndIsUndone) {
    TempHome home;
    const auto path = home.Path() / "sample.tlb";
    const std::vector<BYTE> image = SampleImage();
    WriteFile(path, std::string(image.begin(), image.end()));
    const std::u16string wide = platform::com::Utf8ToUtf16(path.string());

    ComPtr<ITypeLib> lib;
    ASSERT_EQ(LoadTypeLib(wide.c_str(), lib.Put()), S_OK);
    ASSERT_EQ(RegisterTypeLib(lib.Get(), wide.c_str(), nullptr), S_OK);
    lib.Reset();
    BSTR found = nullptr;
    ASSERT_EQ(QueryPathOfRegTypeLib(kSampleLibId, 2, 0, 0x0409, &found), S_OK);
    EXPECT_EQ(Text(found), path.string());
    EXPECT_EQ(LoadRegTypeLib(kSampleLibId, 2, 3, 0x0409, lib.Put()), S_OK);
    lib.Reset();

    EXPECT_EQ(UnRegisterTypeLib(kSampleLibId, 2, 3, 0x0409, SYS_WIN32), S_OK);
    EXPECT_EQ(UnRegisterTypeLib(kSampleLibId, 2, 3, 0x0409, SYS_WIN32), TYPE_E_LIBNOTREGISTERED);
    EXPECT_EQ(LoadRegTypeLib(kSampleLibId, 2, 3, 0x0409, lib.Put()), TYPE_E_LIBNOTREGISTERED);

    // A registration whose file went away fails the load, not the process.
    ASSERT_EQ(LoadTypeLib(wide.c_str(), lib.Put()), S_OK);
    ASSERT_EQ(RegisterTypeLib(lib.Get(), wide.c_str(), nullptr), S_OK);
    lib.Reset();
    std::filesystem::remove(path);
    EXPECT_EQ(LoadRegTypeLib(kSampleLibId, 2, 3, 0x0409, lib.Put()), TYPE_E_CANTLOADLIBRARY);
    EXPECT_EQ(UnRegisterTypeLib(kSampleLibId, 2, 3, 0x0409, SYS_WIN32), S_OK);
}

TEST_F(TypeLib, RegistrationsLiveWhereverTheInstalledStorageKeepsThem) {
    struct Storage : platform::com::TypeLibRegistrations {
        std::vector<platform::com::TypeLibRegistration> entries;
        HRESULT Add(const platform::com::TypeLibRegistration& e) override {
            entries.push_back(e);
            return S_OK;
        }
        HRESULT Remove(REFGUID, WORD, WORD, LCID, SYSKIND) override {
            return TYPE_E_REGISTRYACCESS;
        }
        std::vector<platform::com::TypeLibRegistration> Find(REFGUID) override { return entries; }
    } storage;
    const std::vector<BYTE> image = SampleImage();
    auto* previous = platform::com::SetTypeLibRegistrations(&storage);
    EXPECT_EQ(platform::com::RegisterTypeLibImage(image), S_OK);
    ASSERT_EQ(storage.entries.size(), 1u);
    EXPECT_EQ(storage.entries[0].wMinorVerNum, 3);
    ComPtr<ITypeLib> lib;
    EXPECT_EQ(LoadRegTypeLib(kSampleLibId, 2, 0, 0x0409, lib.Put()), S_OK);
    EXPECT_EQ(UnRegisterTypeLib(kSampleLibId, 2, 3, 0x0409, SYS_WIN32), TYPE_E_REGISTRYACCESS);
    // A registration naming another library does not load it in its place.
    const GUID other = platform::com::MakeGuid("{11111111-2222-3333-4444-555555555555}");
    EXPECT_EQ(LoadRegTypeLib(other, 2, 0, 0x0409, lib.Put()), TYPE_E_LIBNOTREGISTERED);
    platform::com::SetTypeLibRegistrations(previous);
    EXPECT_EQ(LoadRegTypeLib(kSampleLibId, 2, 0, 0x0409, lib.Put()), TYPE_E_LIBNOTREGISTERED);
}

}  // namespace
}  // namespace ostrel::test
