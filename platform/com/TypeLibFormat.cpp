#include "platform/com/TypeLibFormat.h"

#include <array>
#include <cstring>
#include <set>
#include <stdexcept>

#include "platform/text/Utf.h"

namespace platform::com::typelib {
namespace {

constexpr WORD kAbsent = 0xFFFF;  // length of a string that is not there

constexpr std::array<std::uint32_t, 256> MakeCrcTable() {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t n = 0; n < 256; ++n) {
        std::uint32_t c = n;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[n] = c;
    }
    return table;
}
constexpr auto kCrcTable = MakeCrcTable();

// ----- checks shared by writer and reader ------------------------------------

bool IsKnownBaseType(VARTYPE vt) {
    switch (vt) {
        case VT_EMPTY:
        case VT_I2:
        case VT_I4:
        case VT_R4:
        case VT_R8:
        case VT_CY:
        case VT_DATE:
        case VT_BSTR:
        case VT_DISPATCH:
        case VT_ERROR:
        case VT_BOOL:
        case VT_VARIANT:
        case VT_UNKNOWN:
        case VT_I1:
        case VT_UI1:
        case VT_UI2:
        case VT_UI4:
        case VT_I8:
        case VT_UI8:
        case VT_INT:
        case VT_UINT:
        case VT_VOID:
        case VT_HRESULT:
            return true;
        default:
            return false;
    }
}

std::string CheckText(const std::string& text, const std::string& what, bool mayBeEmpty = false) {
    if (text.empty() && !mayBeEmpty) return what + " is empty";
    if (text.size() > kMaxString) return what + " is longer than the format allows";
    if (text.find('\0') != std::string::npos) return what + " holds a NUL character";
    if (!IsValidUtf8(text)) return what + " is not UTF-8";
    return {};
}

std::string CheckOptional(const std::optional<std::string>& text, const std::string& what) {
    return text ? CheckText(*text, what, true) : std::string();
}

std::string CheckElem(const ElemType& type, const std::string& what) {
    if (type.empty() || type.size() > kMaxPointerDepth + 1) return what + ": bad type";
    for (std::size_t i = 0; i + 1 < type.size(); ++i)
        if (type[i] != VT_PTR) return what + ": bad type";
    if (!IsKnownBaseType(type.back())) return what + ": unknown type code";
    return {};
}

std::string CheckFunction(const Function& f, const std::string& where) {
    const std::string what = where + " function " + f.name;
    if (auto e = CheckText(f.name, where + " function name"); !e.empty()) return e;
    if (auto e = CheckOptional(f.doc, what + " help string"); !e.empty()) return e;
    if (f.invkind != INVOKE_FUNC && f.invkind != INVOKE_PROPERTYGET &&
        f.invkind != INVOKE_PROPERTYPUT && f.invkind != INVOKE_PROPERTYPUTREF)
        return what + ": bad invocation kind";
    if (f.funckind < FUNC_VIRTUAL || f.funckind > FUNC_DISPATCH) return what + ": bad kind";
    if (f.callconv < CC_FASTCALL || f.callconv > CC_STDCALL) return what + ": bad convention";
    if (auto e = CheckElem(f.result, what + " result"); !e.empty()) return e;
    if (f.params.size() > kMaxParams) return what + ": too many parameters";
    std::set<std::string> names;
    for (const auto& p : f.params) {
        if (auto e = CheckText(p.name, what + " parameter name"); !e.empty()) return e;
        if (!names.insert(p.name).second) return what + ": parameter " + p.name + " twice";
        if (auto e = CheckElem(p.type, what + " parameter " + p.name); !e.empty()) return e;
        if (p.type.back() == VT_VOID && p.type.size() == 1)
            return what + " parameter " + p.name + ": void";
    }
    return {};
}

std::string CheckType(const Library& lib, const Type& t) {
    const std::string what = "type " + t.name;
    if (auto e = CheckText(t.name, "type name"); !e.empty()) return e;
    if (auto e = CheckOptional(t.doc, what + " help string"); !e.empty()) return e;
    if (t.kind != TKIND_INTERFACE && t.kind != TKIND_DISPATCH && t.kind != TKIND_COCLASS)
        return what + ": unsupported kind";
    if (t.guid == GUID_NULL) return what + ": no identifier";
    if (t.implTypes.size() > kMaxImplTypes) return what + ": too many implemented types";
    for (const auto& impl : t.implTypes) {
        if (impl.flags & ~0xF) return what + ": bad implemented-type flags";
        if (impl.href & kExternalRef) {
            if ((impl.href & ~kExternalRef) >= lib.externals.size())
                return what + ": reference out of range";
        } else {
            if (impl.href >= lib.types.size()) return what + ": reference out of range";
            if (lib.types[impl.href].kind == TKIND_COCLASS) return what + ": implements a class";
        }
    }
    if (t.kind == TKIND_COCLASS && !t.functions.empty()) return what + ": a class with functions";
    if (t.functions.size() > kMaxFunctions) return what + ": too many functions";
    std::set<std::pair<MEMBERID, int>> ids;
    std::set<std::string> names;
    for (const auto& f : t.functions) {
        if (auto e = CheckFunction(f, what); !e.empty()) return e;
        if (!ids.insert({f.memid, f.invkind}).second)
            return what + ": identifier " + std::to_string(f.memid) + " twice";
        if (f.invkind == INVOKE_FUNC && !names.insert(f.name).second)
            return what + ": function " + f.name + " twice";
    }
    return {};
}

// ----- writing -----------------------------------------------------------------

class Writer {
public:
    void U8(BYTE v) { m_out.push_back(v); }
    void U16(WORD v) {
        U8(BYTE(v));
        U8(BYTE(v >> 8));
    }
    void U32(std::uint32_t v) {
        U16(WORD(v));
        U16(WORD(v >> 16));
    }
    void Guid(const GUID& g) {
        U32(g.Data1);
        U16(g.Data2);
        U16(g.Data3);
        for (BYTE b : g.Data4) U8(b);
    }
    void Str(const std::string& s) {
        U16(WORD(s.size()));
        m_out.insert(m_out.end(), s.begin(), s.end());
    }
    void OptStr(const std::optional<std::string>& s) {
        if (s)
            Str(*s);
        else
            U16(kAbsent);
    }
    void Elem(const ElemType& t) {
        U8(BYTE(t.size()));
        for (VARTYPE vt : t) U16(vt);
    }
    std::vector<BYTE>& Out() { return m_out; }

private:
    std::vector<BYTE> m_out;
};

// ----- reading -----------------------------------------------------------------

struct Damaged {};

class Reader {
public:
    explicit Reader(std::span<const BYTE> in) : m_in(in) {}
    BYTE U8() {
        Need(1);
        return m_in[m_pos++];
    }
    WORD U16() {
        const WORD lo = U8();
        return WORD(lo | WORD(U8()) << 8);
    }
    std::uint32_t U32() {
        const std::uint32_t lo = U16();
        return lo | std::uint32_t(U16()) << 16;
    }
    GUID Guid() {
        GUID g;
        g.Data1 = U32();
        g.Data2 = U16();
        g.Data3 = U16();
        for (BYTE& b : g.Data4) b = U8();
        return g;
    }
    std::string Bytes(std::size_t n) {
        if (n > kMaxString) throw Damaged{};
        Need(n);
        std::string s(reinterpret_cast<const char*>(m_in.data() + m_pos), n);
        m_pos += n;
        return s;
    }
    std::string Str() { return Bytes(U16()); }
    std::optional<std::string> OptStr() {
        const WORD n = U16();
        if (n == kAbsent) return std::nullopt;
        return Bytes(n);
    }
    ElemType Elem() {
        const BYTE n = U8();
        if (n == 0 || n > kMaxPointerDepth + 1) throw Damaged{};
        ElemType t(n);
        for (auto& vt : t) vt = U16();
        return t;
    }
    std::size_t Count(std::size_t max) {
        const WORD n = U16();
        if (n > max) throw Damaged{};
        return n;
    }
    bool AtEnd() const { return m_pos == m_in.size(); }

private:
    void Need(std::size_t n) const {
        if (n > m_in.size() - m_pos) throw Damaged{};
    }
    std::span<const BYTE> m_in;
    std::size_t m_pos = 0;
};

Library ReadBody(Reader& r) {
    Library lib;
    lib.name = r.Str();
    lib.libid = r.Guid();
    lib.lcid = r.U32();
    const WORD syskind = r.U16();
    if (syskind > SYS_WIN64) throw Damaged{};
    lib.syskind = static_cast<SYSKIND>(syskind);
    lib.wMajorVerNum = r.U16();
    lib.wMinorVerNum = r.U16();
    lib.flags = r.U16();
    lib.doc = r.OptStr();
    lib.helpContext = r.U32();
    lib.helpFile = r.OptStr();

    lib.imports.resize(r.Count(kMaxImports));
    for (auto& imp : lib.imports) {
        imp.file = r.Str();
        imp.libid = r.Guid();
        imp.wMajorVerNum = r.U16();
        imp.wMinorVerNum = r.U16();
        imp.lcid = r.U32();
    }
    lib.externals.resize(r.Count(kMaxExternals));
    for (auto& ext : lib.externals) {
        ext.import = r.U16();
        ext.name = r.Str();
        ext.guid = r.Guid();
        ext.kind = static_cast<TYPEKIND>(r.U16());
    }
    lib.types.resize(r.Count(kMaxTypes));
    for (auto& t : lib.types) {
        t.kind = static_cast<TYPEKIND>(r.U16());
        t.guid = r.Guid();
        t.flags = r.U16();
        t.wMajorVerNum = r.U16();
        t.wMinorVerNum = r.U16();
        t.name = r.Str();
        t.doc = r.OptStr();
        t.helpContext = r.U32();
        t.implTypes.resize(r.Count(kMaxImplTypes));
        for (auto& impl : t.implTypes) {
            impl.href = r.U32();
            impl.flags = static_cast<INT>(r.U32());
        }
        t.functions.resize(r.Count(kMaxFunctions));
        for (auto& f : t.functions) {
            f.memid = static_cast<MEMBERID>(r.U32());
            f.name = r.Str();
            f.doc = r.OptStr();
            f.helpContext = r.U32();
            f.invkind = static_cast<INVOKEKIND>(r.U16());
            f.funckind = static_cast<FUNCKIND>(r.U16());
            f.callconv = static_cast<CALLCONV>(r.U16());
            f.flags = r.U16();
            f.result = r.Elem();
            f.params.resize(r.Count(kMaxParams));
            for (auto& p : f.params) {
                p.name = r.Str();
                p.type = r.Elem();
                p.flags = r.U16();
            }
        }
    }
    if (!r.AtEnd()) throw Damaged{};
    return lib;
}

std::uint32_t ReadU32(const BYTE* p) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
           std::uint32_t(p[3]) << 24;
}

}  // namespace

std::uint32_t Checksum(std::span<const BYTE> body) {
    std::uint32_t c = 0xFFFFFFFFu;
    for (BYTE b : body) c = kCrcTable[(c ^ b) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

std::string Check(const Library& lib) {
    if (auto e = CheckText(lib.name, "library name"); !e.empty()) return e;
    if (lib.libid == GUID_NULL) return "the library has no identifier";
    if (lib.syskind < SYS_WIN16 || lib.syskind > SYS_WIN64) return "bad system kind";
    if (auto e = CheckOptional(lib.doc, "library help string"); !e.empty()) return e;
    if (auto e = CheckOptional(lib.helpFile, "help file"); !e.empty()) return e;
    if (lib.imports.size() > kMaxImports) return "too many imports";
    for (const auto& imp : lib.imports)
        if (auto e = CheckText(imp.file, "imported file name"); !e.empty()) return e;
    if (lib.externals.size() > kMaxExternals) return "too many external types";
    for (const auto& ext : lib.externals) {
        if (auto e = CheckText(ext.name, "external type name"); !e.empty()) return e;
        if (ext.import >= lib.imports.size()) return "external type " + ext.name + ": no import";
        if (ext.kind != TKIND_INTERFACE && ext.kind != TKIND_DISPATCH)
            return "external type " + ext.name + ": unsupported kind";
    }
    if (lib.types.size() > kMaxTypes) return "too many types";
    std::set<GUID> guids;
    std::set<std::string> names;
    for (const auto& t : lib.types) {
        if (auto e = CheckType(lib, t); !e.empty()) return e;
        if (!guids.insert(t.guid).second) return "type " + t.name + ": identifier used twice";
        if (!names.insert(t.name).second) return "type " + t.name + " twice";
    }
    return {};
}

std::vector<BYTE> Write(const Library& lib) {
    if (const auto problem = Check(lib); !problem.empty()) throw std::invalid_argument(problem);
    Writer w;
    w.Str(lib.name);
    w.Guid(lib.libid);
    w.U32(lib.lcid);
    w.U16(WORD(lib.syskind));
    w.U16(lib.wMajorVerNum);
    w.U16(lib.wMinorVerNum);
    w.U16(lib.flags);
    w.OptStr(lib.doc);
    w.U32(lib.helpContext);
    w.OptStr(lib.helpFile);
    w.U16(WORD(lib.imports.size()));
    for (const auto& imp : lib.imports) {
        w.Str(imp.file);
        w.Guid(imp.libid);
        w.U16(imp.wMajorVerNum);
        w.U16(imp.wMinorVerNum);
        w.U32(imp.lcid);
    }
    w.U16(WORD(lib.externals.size()));
    for (const auto& ext : lib.externals) {
        w.U16(ext.import);
        w.Str(ext.name);
        w.Guid(ext.guid);
        w.U16(WORD(ext.kind));
    }
    w.U16(WORD(lib.types.size()));
    for (const auto& t : lib.types) {
        w.U16(WORD(t.kind));
        w.Guid(t.guid);
        w.U16(t.flags);
        w.U16(t.wMajorVerNum);
        w.U16(t.wMinorVerNum);
        w.Str(t.name);
        w.OptStr(t.doc);
        w.U32(t.helpContext);
        w.U16(WORD(t.implTypes.size()));
        for (const auto& impl : t.implTypes) {
            w.U32(impl.href);
            w.U32(std::uint32_t(impl.flags));
        }
        w.U16(WORD(t.functions.size()));
        for (const auto& f : t.functions) {
            w.U32(std::uint32_t(f.memid));
            w.Str(f.name);
            w.OptStr(f.doc);
            w.U32(f.helpContext);
            w.U16(WORD(f.invkind));
            w.U16(WORD(f.funckind));
            w.U16(WORD(f.callconv));
            w.U16(f.flags);
            w.Elem(f.result);
            w.U16(WORD(f.params.size()));
            for (const auto& p : f.params) {
                w.Str(p.name);
                w.Elem(p.type);
                w.U16(p.flags);
            }
        }
    }
    const std::vector<BYTE>& body = w.Out();
    if (body.size() > kMaxTypeLibImage - kHeaderSize)
        throw std::invalid_argument("the library is larger than the format allows");

    Writer h;
    for (char c : kMagic) h.U8(BYTE(c));
    h.U16(kFormatVersion);
    h.U16(0);
    h.U32(std::uint32_t(body.size()));
    h.U32(Checksum(body));
    std::vector<BYTE> image = std::move(h.Out());
    image.insert(image.end(), body.begin(), body.end());
    return image;
}

HRESULT Read(std::span<const BYTE> image, Library& library) {
    if (image.size() < sizeof kMagic || std::memcmp(image.data(), kMagic, sizeof kMagic) != 0)
        return TYPE_E_UNSUPFORMAT;
    if (image.size() < kHeaderSize) return TYPE_E_INVDATAREAD;
    const WORD version = WORD(image[8] | image[9] << 8);
    const WORD reserved = WORD(image[10] | image[11] << 8);
    if (version != kFormatVersion || reserved != 0) return TYPE_E_UNSUPFORMAT;
    if (image.size() > kMaxTypeLibImage) return TYPE_E_INVDATAREAD;
    const auto body = image.subspan(kHeaderSize);
    if (ReadU32(&image[12]) != body.size()) return TYPE_E_INVDATAREAD;
    if (ReadU32(&image[16]) != Checksum(body)) return TYPE_E_INVDATAREAD;
    try {
        Reader r(body);
        Library lib = ReadBody(r);
        if (!Check(lib).empty()) return TYPE_E_INVDATAREAD;
        library = std::move(lib);
        return S_OK;
    } catch (const Damaged&) {
        return TYPE_E_INVDATAREAD;
    } catch (const std::bad_alloc&) {
        return HRESULT(E_OUTOFMEMORY);
    }
}

}  // namespace platform::com::typelib
