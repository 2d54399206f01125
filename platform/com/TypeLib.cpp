// Type library objects over a library read from its image.

#include <sys/stat.h>

#include <cerrno>
#include <deque>
#include <map>
#include <memory>
#include <mutex>

#include "platform/com/Resource.h"
#include "platform/com/TypeInfo.h"
#include "platform/com/TypeLibFormat.h"
#include "platform/com/TypeLibRegistry.h"
#include "platform/seams/Seams.h"
#include "platform/text/NoCase.h"
#include "platform/text/Utf.h"
#include "platform/win/Failure.h"
#include "platform/win/Files.h"

namespace platform::com {
namespace {

using typelib::ElemType;
using typelib::Library;

// A name handed in by a caller, as UTF-8; nothing for text that is not a name.
std::optional<std::string> NameOf(LPCOLESTR name) {
    if (name == nullptr) return std::nullopt;
    std::size_t n = 0;
    while (name[n] != 0) {
        if (++n > typelib::kMaxString) return std::nullopt;
    }
    return Utf16ToUtf8Exact(std::u16string_view(name, n));
}

BSTR NewBstr(const std::string& utf8) {
    const std::u16string wide = Utf8ToUtf16(utf8);
    return SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
}

// Fills the optional out-strings of GetDocumentation; on failure none is set.
HRESULT Document(const std::string& name, const std::optional<std::string>& doc, DWORD helpContext,
                 const std::optional<std::string>& helpFile, BSTR* pName, BSTR* pDoc,
                 DWORD* pContext, BSTR* pFile) {
    Bstr n, d, f;
    if (pName) {
        n = Bstr(NewBstr(name));
        if (n.IsNull()) return HRESULT(E_OUTOFMEMORY);
    }
    if (pDoc && doc) {
        d = Bstr(NewBstr(*doc));
        if (d.IsNull()) return HRESULT(E_OUTOFMEMORY);
    }
    if (pFile && helpFile) {
        f = Bstr(NewBstr(*helpFile));
        if (f.IsNull()) return HRESULT(E_OUTOFMEMORY);
    }
    if (pName) *pName = n.Release();
    if (pDoc) *pDoc = d.Release();
    if (pFile) *pFile = f.Release();
    if (pContext) *pContext = helpContext;
    return S_OK;
}

WORD PointerSize(SYSKIND kind) {
    return kind == SYS_WIN64 ? 8 : kind == SYS_WIN16 ? 2 : 4;
}

// Records handed out to a caller until it gives them back; a pointer this
// object did not hand out is ignored when given back.
template <class Record, class Block>
class HandedOut {
public:
    Record* Add(std::unique_ptr<Block> block) {
        Record* record = &block->record;
        std::lock_guard lock(m_mutex);
        m_blocks.emplace(record, std::move(block));
        return record;
    }
    void Remove(Record* record) {
        std::unique_ptr<Block> gone;
        std::lock_guard lock(m_mutex);
        if (auto it = m_blocks.find(record); it != m_blocks.end()) {
            gone = std::move(it->second);
            m_blocks.erase(it);
        }
    }

private:
    std::mutex m_mutex;
    std::map<Record*, std::unique_ptr<Block>> m_blocks;
};

template <class Record>
struct Plain {
    Record record{};
};

struct FuncDescBlock {
    FUNCDESC record{};
    std::vector<ELEMDESC> params;
    std::deque<TYPEDESC> pointees;  // what VT_PTR types point to; addresses stay put

    void Describe(const ElemType& type, TYPEDESC& out) {
        TYPEDESC* at = &out;
        for (std::size_t i = 0; i < type.size(); ++i) {
            at->vt = type[i];
            if (type[i] == VT_PTR && i + 1 < type.size()) {
                at->lptdesc = &pointees.emplace_back();
                at = at->lptdesc;
            }
        }
    }
};

class TypeLibObject;

class TypeInfoObject final : public ComObject<ITypeInfo> {
public:
    // A type of the library by position, or (external) a type it imports.
    TypeInfoObject(ComPtr<TypeLibObject> lib, UINT index, bool external)
        : m_lib(std::move(lib)), m_index(index), m_external(external) {}

    HRESULT GetTypeAttr(TYPEATTR** pp) override;
    HRESULT GetFuncDesc(UINT index, FUNCDESC** pp) override;
    HRESULT GetNames(MEMBERID memid, BSTR* names, UINT cMax, UINT* pcNames) override;
    HRESULT GetRefTypeOfImplType(UINT index, HREFTYPE* pRefType) override;
    HRESULT GetImplTypeFlags(UINT index, INT* pFlags) override;
    HRESULT GetIDsOfNames(LPOLESTR* names, UINT cNames, MEMBERID* ids) override;
    HRESULT GetDocumentation(MEMBERID memid, BSTR* pName, BSTR* pDoc, DWORD* pContext,
                             BSTR* pFile) override;
    HRESULT GetRefTypeInfo(HREFTYPE href, ITypeInfo** pp) override;
    HRESULT GetContainingTypeLib(ITypeLib** ppTLib, UINT* pIndex) override;
    void ReleaseTypeAttr(TYPEATTR* p) override { m_attrs.Remove(p); }
    void ReleaseFuncDesc(FUNCDESC* p) override { m_funcs.Remove(p); }

private:
    const Library& Lib() const;
    const typelib::Type* Type() const;  // null for an external type
    const typelib::Function* FindFunction(MEMBERID memid) const;

    ComPtr<TypeLibObject> m_lib;
    UINT m_index;
    bool m_external;
    HandedOut<TYPEATTR, Plain<TYPEATTR>> m_attrs;
    HandedOut<FUNCDESC, FuncDescBlock> m_funcs;
};

class TypeLibObject final : public ComObject<ITypeLib> {
public:
    explicit TypeLibObject(Library lib) : m_lib(std::move(lib)) {}
    const Library& Lib() const { return m_lib; }

    // A new type information object on this library, handed out with one reference.
    HRESULT MakeTypeInfo(UINT index, bool external, ITypeInfo** pp) {
        if (pp == nullptr) return HRESULT(E_INVALIDARG);
        *pp = nullptr;
        if (index >= (external ? m_lib.externals.size() : m_lib.types.size()))
            return TYPE_E_ELEMENTNOTFOUND;
        *pp = new TypeInfoObject(ComPtr<TypeLibObject>::Share(this), index, external);
        return S_OK;
    }

    UINT GetTypeInfoCount() override { return static_cast<UINT>(m_lib.types.size()); }

    HRESULT GetTypeInfo(UINT index, ITypeInfo** pp) override {
        return platform::RunGuardedHr("ITypeLib::GetTypeInfo",
                                      [&]() -> HRESULT { return MakeTypeInfo(index, false, pp); });
    }

    HRESULT GetTypeInfoType(UINT index, TYPEKIND* pKind) override {
        if (pKind == nullptr) return HRESULT(E_INVALIDARG);
        if (index >= m_lib.types.size()) return TYPE_E_ELEMENTNOTFOUND;
        *pKind = m_lib.types[index].kind;
        return S_OK;
    }

    HRESULT GetTypeInfoOfGuid(REFGUID guid, ITypeInfo** pp) override {
        if (pp == nullptr) return HRESULT(E_INVALIDARG);
        *pp = nullptr;
        for (UINT i = 0; i < m_lib.types.size(); ++i)
            if (m_lib.types[i].guid == guid) return GetTypeInfo(i, pp);
        return TYPE_E_ELEMENTNOTFOUND;
    }

    HRESULT GetLibAttr(TLIBATTR** pp) override {
        if (pp == nullptr) return HRESULT(E_INVALIDARG);
        *pp = nullptr;
        return platform::RunGuardedHr("ITypeLib::GetLibAttr", [&]() -> HRESULT {
            auto block = std::make_unique<Plain<TLIBATTR>>();
            TLIBATTR& a = block->record;
            a.guid = m_lib.libid;
            a.lcid = m_lib.lcid;
            a.syskind = m_lib.syskind;
            a.wMajorVerNum = m_lib.wMajorVerNum;
            a.wMinorVerNum = m_lib.wMinorVerNum;
            a.wLibFlags = m_lib.flags;
            *pp = m_attrs.Add(std::move(block));
            return S_OK;
        });
    }

    HRESULT GetDocumentation(INT index, BSTR* pName, BSTR* pDoc, DWORD* pContext,
                             BSTR* pFile) override {
        if (index == -1)
            return Document(m_lib.name, m_lib.doc, m_lib.helpContext, m_lib.helpFile, pName, pDoc,
                            pContext, pFile);
        if (index < 0 || std::size_t(index) >= m_lib.types.size()) return TYPE_E_ELEMENTNOTFOUND;
        const auto& t = m_lib.types[std::size_t(index)];
        return Document(t.name, t.doc, t.helpContext, m_lib.helpFile, pName, pDoc, pContext, pFile);
    }

    HRESULT IsName(LPOLESTR szNameBuf, ULONG, BOOL* pfName) override {
        if (szNameBuf == nullptr || pfName == nullptr) return HRESULT(E_INVALIDARG);
        *pfName = FALSE;
        const auto name = NameOf(szNameBuf);
        if (!name) return S_OK;
        const std::string* found = nullptr;
        auto consider = [&](const std::string& candidate) {
            if (found == nullptr && platform::text::EqualsNoCase(candidate, *name))
                found = &candidate;
        };
        consider(m_lib.name);
        for (const auto& t : m_lib.types) {
            consider(t.name);
            for (const auto& f : t.functions) {
                consider(f.name);
                for (const auto& p : f.params) consider(p.name);
            }
        }
        if (found == nullptr) return S_OK;
        // The caller's buffer receives the library's own spelling, which has
        // the same length: names differ only in the case of ASCII letters.
        const std::u16string spelled = Utf8ToUtf16(*found);
        std::copy(spelled.begin(), spelled.end(), szNameBuf);
        *pfName = TRUE;
        return S_OK;
    }

    void ReleaseTLibAttr(TLIBATTR* p) override { m_attrs.Remove(p); }

private:
    Library m_lib;
    HandedOut<TLIBATTR, Plain<TLIBATTR>> m_attrs;
};

const Library& TypeInfoObject::Lib() const {
    return m_lib->Lib();
}

const typelib::Type* TypeInfoObject::Type() const {
    return m_external ? nullptr : &Lib().types[m_index];
}

const typelib::Function* TypeInfoObject::FindFunction(MEMBERID memid) const {
    if (const auto* t = Type())
        for (const auto& f : t->functions)
            if (f.memid == memid) return &f;
    return nullptr;
}

HRESULT TypeInfoObject::GetTypeAttr(TYPEATTR** pp) {
    if (pp == nullptr) return HRESULT(E_INVALIDARG);
    *pp = nullptr;
    return platform::RunGuardedHr("ITypeInfo::GetTypeAttr", [&]() -> HRESULT {
        auto block = std::make_unique<Plain<TYPEATTR>>();
        TYPEATTR& a = block->record;
        const WORD ptr = PointerSize(Lib().syskind);
        a.lcid = Lib().lcid;
        a.memidConstructor = MEMBERID_NIL;
        a.memidDestructor = MEMBERID_NIL;
        a.cbSizeInstance = ptr;
        a.cbAlignment = ptr;
        a.tdescAlias.vt = VT_EMPTY;
        if (const auto* t = Type()) {
            a.guid = t->guid;
            a.typekind = t->kind;
            a.cFuncs = static_cast<WORD>(t->functions.size());
            a.cImplTypes = static_cast<WORD>(t->implTypes.size());
            a.wTypeFlags = t->flags;
            a.wMajorVerNum = t->wMajorVerNum;
            a.wMinorVerNum = t->wMinorVerNum;
            // The dispatch interface's table is IDispatch's: seven entries.
            if (t->kind == TKIND_DISPATCH) a.cbSizeVft = WORD(7 * ptr);
            if (t->kind == TKIND_INTERFACE) a.cbSizeVft = WORD((3 + t->functions.size()) * ptr);
        } else {
            const auto& ext = Lib().externals[m_index];
            a.guid = ext.guid;
            a.typekind = ext.kind;
        }
        *pp = m_attrs.Add(std::move(block));
        return S_OK;
    });
}

HRESULT TypeInfoObject::GetFuncDesc(UINT index, FUNCDESC** pp) {
    if (pp == nullptr) return HRESULT(E_INVALIDARG);
    *pp = nullptr;
    const auto* t = Type();
    if (t == nullptr || index >= t->functions.size()) return TYPE_E_ELEMENTNOTFOUND;
    const auto& f = t->functions[index];
    return platform::RunGuardedHr("ITypeInfo::GetFuncDesc", [&]() -> HRESULT {
        auto block = std::make_unique<FuncDescBlock>();
        FUNCDESC& d = block->record;
        d.memid = f.memid;
        d.funckind = f.funckind;
        d.invkind = f.invkind;
        d.callconv = f.callconv;
        d.cParams = static_cast<SHORT>(f.params.size());
        d.cParamsOpt = 0;
        d.wFuncFlags = f.flags;
        block->Describe(f.result, d.elemdescFunc.tdesc);
        block->params.resize(f.params.size());
        for (std::size_t i = 0; i < f.params.size(); ++i) {
            block->Describe(f.params[i].type, block->params[i].tdesc);
            block->params[i].paramdesc.wParamFlags = f.params[i].flags;
        }
        d.lprgelemdescParam = block->params.empty() ? nullptr : block->params.data();
        *pp = m_funcs.Add(std::move(block));
        return S_OK;
    });
}

HRESULT TypeInfoObject::GetNames(MEMBERID memid, BSTR* names, UINT cMax, UINT* pcNames) {
    if (names == nullptr || pcNames == nullptr) return HRESULT(E_INVALIDARG);
    *pcNames = 0;
    const auto* f = FindFunction(memid);
    if (f == nullptr) return TYPE_E_ELEMENTNOTFOUND;
    std::vector<const std::string*> all{&f->name};
    for (const auto& p : f->params) all.push_back(&p.name);
    const UINT n = std::min<UINT>(cMax, static_cast<UINT>(all.size()));
    for (UINT i = 0; i < n; ++i) {
        names[i] = NewBstr(*all[i]);
        if (names[i] == nullptr) {
            for (UINT k = 0; k < i; ++k) SysFreeString(std::exchange(names[k], nullptr));
            return HRESULT(E_OUTOFMEMORY);
        }
    }
    *pcNames = n;
    return S_OK;
}

HRESULT TypeInfoObject::GetRefTypeOfImplType(UINT index, HREFTYPE* pRefType) {
    if (pRefType == nullptr) return HRESULT(E_INVALIDARG);
    const auto* t = Type();
    if (t == nullptr || index >= t->implTypes.size()) return TYPE_E_ELEMENTNOTFOUND;
    *pRefType = t->implTypes[index].href;
    return S_OK;
}

HRESULT TypeInfoObject::GetImplTypeFlags(UINT index, INT* pFlags) {
    if (pFlags == nullptr) return HRESULT(E_INVALIDARG);
    const auto* t = Type();
    if (t == nullptr || index >= t->implTypes.size()) return TYPE_E_ELEMENTNOTFOUND;
    *pFlags = t->implTypes[index].flags;
    return S_OK;
}

HRESULT TypeInfoObject::GetIDsOfNames(LPOLESTR* names, UINT cNames, MEMBERID* ids) {
    if (cNames == 0) return S_OK;
    if (names == nullptr || ids == nullptr) return HRESULT(E_INVALIDARG);
    for (UINT i = 0; i < cNames; ++i) ids[i] = MEMBERID_NIL;
    const auto* t = Type();
    const auto member = NameOf(names[0]);
    const typelib::Function* f = nullptr;
    if (t != nullptr && member)
        for (const auto& candidate : t->functions)
            if (platform::text::EqualsNoCase(candidate.name, *member)) {
                f = &candidate;
                break;
            }
    if (f == nullptr) return DISP_E_UNKNOWNNAME;
    ids[0] = f->memid;
    HRESULT hr = S_OK;
    for (UINT i = 1; i < cNames; ++i) {
        const auto param = NameOf(names[i]);
        for (std::size_t k = 0; param && k < f->params.size(); ++k)
            if (platform::text::EqualsNoCase(f->params[k].name, *param))
                ids[i] = static_cast<MEMBERID>(k);
        if (ids[i] == MEMBERID_NIL) hr = DISP_E_UNKNOWNNAME;
    }
    return hr;
}

HRESULT TypeInfoObject::GetDocumentation(MEMBERID memid, BSTR* pName, BSTR* pDoc, DWORD* pContext,
                                         BSTR* pFile) {
    if (memid == MEMBERID_NIL) {
        if (const auto* t = Type())
            return Document(t->name, t->doc, t->helpContext, Lib().helpFile, pName, pDoc, pContext,
                            pFile);
        return Document(Lib().externals[m_index].name, std::nullopt, 0, std::nullopt, pName, pDoc,
                        pContext, pFile);
    }
    const auto* f = FindFunction(memid);
    if (f == nullptr) return TYPE_E_ELEMENTNOTFOUND;
    return Document(f->name, f->doc, f->helpContext, Lib().helpFile, pName, pDoc, pContext, pFile);
}

HRESULT TypeInfoObject::GetRefTypeInfo(HREFTYPE href, ITypeInfo** pp) {
    if (pp == nullptr) return HRESULT(E_INVALIDARG);
    *pp = nullptr;
    return platform::RunGuardedHr("ITypeInfo::GetRefTypeInfo", [&]() -> HRESULT {
        if (href & typelib::kExternalRef)
            return m_lib->MakeTypeInfo(href & ~typelib::kExternalRef, true, pp);
        return m_lib->MakeTypeInfo(href, false, pp);
    });
}

HRESULT TypeInfoObject::GetContainingTypeLib(ITypeLib** ppTLib, UINT* pIndex) {
    // An imported type's own library is not loaded here.
    if (m_external) return TYPE_E_CANTLOADLIBRARY;
    if (ppTLib != nullptr) {
        m_lib->AddRef();
        *ppTLib = m_lib.Get();
    }
    if (pIndex != nullptr) *pIndex = m_index;
    return S_OK;
}

// A FIFO or a device named as a library file is refused, never waited on:
// a reader would block on it before it could tell what it is.
HRESULT ReadWholeFile(const std::string& path, std::vector<BYTE>& out) {
    try {
        const std::string bytes = platform::win::ReadRegularFile(
            path, platform::com::kMaxTypeLibImage, "the type library " + path);
        out.assign(bytes.begin(), bytes.end());
        return S_OK;
    } catch (const platform::win::FileError& e) {
        if (e.Error() == 0) return TYPE_E_INVDATAREAD;  // past the size limit
        return e.Error() == EIO ? TYPE_E_IOERROR : TYPE_E_CANTLOADLIBRARY;
    }
}

}  // namespace

HRESULT LoadTypeLibFromImage(std::span<const BYTE> image, ITypeLib** pptlib) {
    if (pptlib == nullptr) return E_POINTER;
    *pptlib = nullptr;
    return platform::RunGuardedHr("LoadTypeLibFromImage", [&]() -> HRESULT {
        Library lib;
        const HRESULT hr = typelib::Read(image, lib);
        if (FAILED(hr)) return hr;
        *pptlib = new TypeLibObject(std::move(lib));
        return S_OK;
    });
}

}  // namespace platform::com

using platform::com::TypeLibRegistration;

namespace {

// The TYPELIB resource of the module this code is linked into, when `path`
// is that module's file: it is read where it lies instead of from the file.
std::optional<std::span<const BYTE>> OwnModuleTypeLib(const std::string& path) {
    const HMODULE self =
        platform::com::ModuleOfAddress(reinterpret_cast<const void*>(&LoadTypeLib));
    if (self == nullptr) return std::nullopt;
    const auto selfPath = platform::com::ModuleFileName(self);
    struct stat asked {};
    struct stat own {};
    if (!selfPath || ::stat(path.c_str(), &asked) != 0 || ::stat(selfPath->c_str(), &own) != 0 ||
        asked.st_dev != own.st_dev || asked.st_ino != own.st_ino)
        return std::nullopt;
    const HRSRC found = FindResourceA(self, MAKEINTRESOURCEA(1), "TYPELIB");
    if (found == nullptr) return std::nullopt;
    const auto* bytes = static_cast<const BYTE*>(LoadResource(self, found));
    if (bytes == nullptr) return std::nullopt;
    return std::span<const BYTE>(bytes, SizeofResource(self, found));
}

}  // namespace

HRESULT LoadTypeLib(LPCOLESTR szFile, ITypeLib** pptlib) {
    if (pptlib == nullptr) return E_POINTER;
    *pptlib = nullptr;
    return platform::GuardedHr("LoadTypeLib", [&]() -> HRESULT {
        if (szFile == nullptr) return HRESULT(E_INVALIDARG);
        std::size_t n = 0;
        while (szFile[n] != 0) ++n;
        const auto path = platform::com::Utf16ToUtf8Exact(std::u16string_view(szFile, n));
        if (!path || path->empty()) return TYPE_E_CANTLOADLIBRARY;
        // A module carries its library as its resource "TYPELIB" 1; the
        // module this code runs in has it in memory already.
        if (const auto own = OwnModuleTypeLib(*path))
            return platform::com::LoadTypeLibFromImage(*own, pptlib);
        if (platform::com::IsModuleFile(*path)) {
            auto resource = platform::com::ReadFileResource(*path, "TYPELIB", 1);
            if (!resource) return TYPE_E_CANTLOADLIBRARY;
            return platform::com::LoadTypeLibFromImage(*resource, pptlib);
        }
        std::vector<BYTE> image;
        const HRESULT hr = platform::com::ReadWholeFile(*path, image);
        if (FAILED(hr)) return hr;
        return platform::com::LoadTypeLibFromImage(image, pptlib);
    });
}

HRESULT LoadRegTypeLib(REFGUID rguid, WORD wVerMajor, WORD wVerMinor, LCID lcid,
                       ITypeLib** pptlib) {
    if (pptlib == nullptr) return E_POINTER;
    *pptlib = nullptr;
    return platform::GuardedHr("LoadRegTypeLib", [&]() -> HRESULT {
        TypeLibRegistration found;
        HRESULT hr = platform::com::FindRegisteredTypeLib(rguid, wVerMajor, wVerMinor, lcid, found);
        if (FAILED(hr)) return hr;
        platform::com::ComPtr<ITypeLib> lib;
        if (!found.image.empty()) {
            hr = platform::com::LoadTypeLibFromImage(found.image, lib.Put());
        } else {
            const std::u16string path = platform::com::Utf8ToUtf16(found.path);
            hr = LoadTypeLib(path.c_str(), lib.Put());
        }
        if (FAILED(hr)) return hr;
        // A registration that names another library is as good as none.
        TLIBATTR* attr = nullptr;
        if (FAILED(lib->GetLibAttr(&attr))) return HRESULT(E_OUTOFMEMORY);
        const bool same = attr->guid == rguid;
        lib->ReleaseTLibAttr(attr);
        if (!same) return TYPE_E_LIBNOTREGISTERED;
        *pptlib = lib.Detach();
        return S_OK;
    });
}

HRESULT RegisterTypeLib(ITypeLib* ptlib, LPCOLESTR szFullPath, LPCOLESTR szHelpDir) {
    return platform::GuardedHr("RegisterTypeLib", [&]() -> HRESULT {
        if (ptlib == nullptr || szFullPath == nullptr) return HRESULT(E_INVALIDARG);
        std::size_t n = 0;
        while (szFullPath[n] != 0) ++n;
        const auto path = platform::com::Utf16ToUtf8Exact(std::u16string_view(szFullPath, n));
        if (!path || path->empty()) return HRESULT(E_INVALIDARG);
        TLIBATTR* attr = nullptr;
        HRESULT hr = ptlib->GetLibAttr(&attr);
        if (FAILED(hr)) return hr;
        TypeLibRegistration entry;
        entry.libid = attr->guid;
        entry.wMajorVerNum = attr->wMajorVerNum;
        entry.wMinorVerNum = attr->wMinorVerNum;
        entry.lcid = attr->lcid;
        entry.syskind = attr->syskind;
        entry.path = *path;
        entry.wLibFlags = attr->wLibFlags;
        ptlib->ReleaseTLibAttr(attr);
        BSTR doc = nullptr;
        if (SUCCEEDED(ptlib->GetDocumentation(-1, nullptr, &doc, nullptr, nullptr)) && doc) {
            entry.helpString = platform::com::Utf16ToUtf8(doc);
            SysFreeString(doc);
        }
        if (szHelpDir != nullptr) entry.helpDir = platform::com::Utf16ToUtf8(szHelpDir);
        return platform::com::CurrentTypeLibRegistrations().Add(entry);
    });
}

HRESULT UnRegisterTypeLib(REFGUID libID, WORD wVerMajor, WORD wVerMinor, LCID lcid,
                          SYSKIND syskind) {
    return platform::GuardedHr("UnRegisterTypeLib", [&]() -> HRESULT {
        return platform::com::CurrentTypeLibRegistrations().Remove(libID, wVerMajor, wVerMinor,
                                                                   lcid, syskind);
    });
}

HRESULT QueryPathOfRegTypeLib(REFGUID guid, USHORT wMaj, USHORT wMin, LCID lcid,
                              BSTR* lpbstrPathName) {
    if (lpbstrPathName == nullptr) return HRESULT(E_INVALIDARG);
    *lpbstrPathName = nullptr;
    return platform::RunGuardedHr("QueryPathOfRegTypeLib", [&]() -> HRESULT {
        TypeLibRegistration found;
        const HRESULT hr = platform::com::FindRegisteredTypeLib(guid, wMaj, wMin, lcid, found);
        if (FAILED(hr)) return hr;
        const std::u16string path = platform::com::Utf8ToUtf16(found.path);
        *lpbstrPathName = SysAllocStringLen(path.data(), static_cast<UINT>(path.size()));
        return *lpbstrPathName == nullptr ? HRESULT(E_OUTOFMEMORY) : S_OK;
    });
}
