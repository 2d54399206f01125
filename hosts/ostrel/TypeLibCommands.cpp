// `ostrel typelib`: the type library read back through the type-information
// interfaces, the way a type-library viewer shows it.

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "control/OstrelIds.h"
#include "hosts/ostrel/Cli.h"
#include "hosts/shared/ControlHost.h"
#include "platform/com/ComError.h"
#include "platform/com/Resource.h"
#include "platform/com/TypeInfo.h"
#include "platform/com/TypeLibFormat.h"
#include "platform/com/TypeLibRegistry.h"
#include "platform/text/Utf.h"

namespace ostrel::cli {
namespace {

using platform::com::Bstr;
using platform::com::ComPtr;
using platform::com::GuidToString;

// Stops the dump with a failure of the interface it was reading.
void Check(HRESULT hr, const char* what) {
    if (FAILED(hr))
        throw Failure(std::string("cannot read the type library (") + what +
                      "): " + platform::com::HResultName(hr));
}

std::string Hex(unsigned value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*X", digits, value);
    return text;
}

std::string Quoted(const Bstr& text) {
    if (text.IsNull()) return "(none)";
    return "\"" + text.Utf8() + "\"";
}

template <class Flag>
std::string Flags(unsigned value, int digits,
                  std::initializer_list<std::pair<Flag, const char*>> names) {
    std::string out = Hex(value, digits);
    std::string sep = " ";
    for (const auto& [flag, name] : names)
        if (value & unsigned(flag)) {
            out += sep + name;
            sep = " | ";
        }
    return out;
}

std::string SysKindName(SYSKIND kind) {
    switch (kind) {
        case SYS_WIN16:
            return "SYS_WIN16";
        case SYS_WIN32:
            return "SYS_WIN32";
        case SYS_MAC:
            return "SYS_MAC";
        case SYS_WIN64:
            return "SYS_WIN64";
    }
    return std::to_string(int(kind));
}

std::string KindName(TYPEKIND kind) {
    static const char* const kNames[] = {"TKIND_ENUM",      "TKIND_RECORD",   "TKIND_MODULE",
                                         "TKIND_INTERFACE", "TKIND_DISPATCH", "TKIND_COCLASS",
                                         "TKIND_ALIAS",     "TKIND_UNION"};
    return kind >= 0 && kind < TKIND_MAX ? kNames[kind] : std::to_string(int(kind));
}

std::string Keyword(TYPEKIND kind) {
    switch (kind) {
        case TKIND_DISPATCH:
            return "dispinterface";
        case TKIND_COCLASS:
            return "coclass";
        case TKIND_INTERFACE:
            return "interface";
        default:
            return "typedef";
    }
}

std::string InvokeName(INVOKEKIND kind) {
    switch (kind) {
        case INVOKE_FUNC:
            return "INVOKE_FUNC";
        case INVOKE_PROPERTYGET:
            return "INVOKE_PROPERTYGET";
        case INVOKE_PROPERTYPUT:
            return "INVOKE_PROPERTYPUT";
        case INVOKE_PROPERTYPUTREF:
            return "INVOKE_PROPERTYPUTREF";
    }
    return std::to_string(int(kind));
}

std::string TypeName(const TYPEDESC& t) {
    switch (t.vt) {
        case VT_PTR:
            return (t.lptdesc ? TypeName(*t.lptdesc) : std::string("void")) + "*";
        case VT_BSTR:
            return "BSTR";
        case VT_BOOL:
            return "VARIANT_BOOL";
        case VT_I4:
            return "long";
        case VT_I2:
            return "short";
        case VT_VOID:
            return "void";
        case VT_VARIANT:
            return "VARIANT";
        case VT_DISPATCH:
            return "IDispatch*";
        case VT_UNKNOWN:
            return "IUnknown*";
        case VT_R8:
            return "double";
        case VT_R4:
            return "float";
        case VT_HRESULT:
            return "HRESULT";
        default:
            return platform::com::VarTypeName(t.vt);
    }
}

std::string MemberId(MEMBERID id) {
    return id < 0 ? std::to_string(id) + " (" + Hex(unsigned(id), 8) + ")" : std::to_string(id);
}

// Name, help string, help context and help file of a type or its member.
struct Documentation {
    Bstr name, doc, file;
    DWORD context = 0;
};

Documentation Document(ITypeInfo* info, MEMBERID memid) {
    Documentation d;
    BSTR name = nullptr, doc = nullptr, file = nullptr;
    Check(info->GetDocumentation(memid, &name, &doc, &d.context, &file), "GetDocumentation");
    d.name = Bstr(name);
    d.doc = Bstr(doc);
    d.file = Bstr(file);
    return d;
}

std::string RefName(ITypeInfo* info, HREFTYPE href) {
    ComPtr<ITypeInfo> ref;
    Check(info->GetRefTypeInfo(href, ref.Put()), "GetRefTypeInfo");
    TYPEATTR* attr = nullptr;
    Check(ref->GetTypeAttr(&attr), "GetTypeAttr");
    const std::string kind = Keyword(attr->typekind);
    const std::string guid = GuidToString(attr->guid);
    ref->ReleaseTypeAttr(attr);
    std::string where;
    ComPtr<ITypeLib> lib;
    if (FAILED(ref->GetContainingTypeLib(lib.Put(), nullptr))) where = ", imported";
    return kind + " " + Document(ref.Get(), MEMBERID_NIL).name.Utf8() + " " + guid + where;
}

void DumpFunction(std::ostream& out, ITypeInfo* info, UINT index) {
    FUNCDESC* f = nullptr;
    Check(info->GetFuncDesc(index, &f), "GetFuncDesc");
    std::vector<BSTR> raw(std::size_t(f->cParams) + 1, nullptr);
    UINT count = 0;
    const HRESULT hr = info->GetNames(f->memid, raw.data(), UINT(raw.size()), &count);
    std::vector<Bstr> names;
    for (UINT i = 0; i < count; ++i) names.emplace_back(raw[i]);
    if (FAILED(hr)) info->ReleaseFuncDesc(f);
    Check(hr, "GetNames");

    out << "    [id " << MemberId(f->memid) << ", " << InvokeName(f->invkind) << "] "
        << TypeName(f->elemdescFunc.tdesc) << " " << (count > 0 ? names[0].Utf8() : "?") << "(";
    for (SHORT p = 0; p < f->cParams; ++p) {
        if (p > 0) out << ", ";
        const ELEMDESC& e = f->lprgelemdescParam[p];
        out << TypeName(e.tdesc) << " "
            << (std::size_t(p) + 1 < names.size() ? names[std::size_t(p) + 1].Utf8() : "?");
        if (e.paramdesc.wParamFlags != PARAMFLAG_NONE)
            out << " /* flags " << Hex(e.paramdesc.wParamFlags, 2) << " */";
    }
    out << ")";
    const Documentation d = Document(info, f->memid);
    if (!d.doc.IsNull()) out << "  helpstring " << Quoted(d.doc);
    if (d.context != 0) out << "  helpcontext " << d.context;
    out << "\n";
    info->ReleaseFuncDesc(f);
}

void DumpType(std::ostream& out, ITypeLib* lib, UINT index) {
    ComPtr<ITypeInfo> info;
    Check(lib->GetTypeInfo(index, info.Put()), "GetTypeInfo");
    TYPEATTR* a = nullptr;
    Check(info->GetTypeAttr(&a), "GetTypeAttr");
    const TYPEATTR attr = *a;
    info->ReleaseTypeAttr(a);
    const Documentation d = Document(info.Get(), MEMBERID_NIL);

    out << "\n[" << index << "] " << Keyword(attr.typekind) << " " << d.name.Utf8() << "\n"
        << "  kind         " << KindName(attr.typekind) << "\n"
        << "  uuid         " << GuidToString(attr.guid) << "\n"
        << "  flags        "
        << Flags<TYPEFLAGS>(attr.wTypeFlags, 4,
                            {{TYPEFLAG_FAPPOBJECT, "TYPEFLAG_FAPPOBJECT"},
                             {TYPEFLAG_FCANCREATE, "TYPEFLAG_FCANCREATE"},
                             {TYPEFLAG_FLICENSED, "TYPEFLAG_FLICENSED"},
                             {TYPEFLAG_FPREDECLID, "TYPEFLAG_FPREDECLID"},
                             {TYPEFLAG_FHIDDEN, "TYPEFLAG_FHIDDEN"},
                             {TYPEFLAG_FCONTROL, "TYPEFLAG_FCONTROL"},
                             {TYPEFLAG_FDUAL, "TYPEFLAG_FDUAL"},
                             {TYPEFLAG_FNONEXTENSIBLE, "TYPEFLAG_FNONEXTENSIBLE"},
                             {TYPEFLAG_FOLEAUTOMATION, "TYPEFLAG_FOLEAUTOMATION"},
                             {TYPEFLAG_FRESTRICTED, "TYPEFLAG_FRESTRICTED"},
                             {TYPEFLAG_FAGGREGATABLE, "TYPEFLAG_FAGGREGATABLE"},
                             {TYPEFLAG_FREPLACEABLE, "TYPEFLAG_FREPLACEABLE"},
                             {TYPEFLAG_FDISPATCHABLE, "TYPEFLAG_FDISPATCHABLE"},
                             {TYPEFLAG_FREVERSEBIND, "TYPEFLAG_FREVERSEBIND"},
                             {TYPEFLAG_FPROXY, "TYPEFLAG_FPROXY"}})
        << "\n"
        << "  version      " << attr.wMajorVerNum << "." << attr.wMinorVerNum << "\n"
        << "  helpstring   " << Quoted(d.doc) << "\n";
    if (d.context != 0) out << "  helpcontext  " << d.context << "\n";

    for (UINT i = 0; i < attr.cImplTypes; ++i) {
        HREFTYPE href = 0;
        INT flags = 0;
        Check(info->GetRefTypeOfImplType(i, &href), "GetRefTypeOfImplType");
        Check(info->GetImplTypeFlags(i, &flags), "GetImplTypeFlags");
        out << (i == 0 ? (attr.typekind == TKIND_COCLASS ? "  implements   " : "  inherits     ")
                       : "               ")
            << RefName(info.Get(), href);
        if (flags != 0)
            out << "  "
                << Flags<IMPLTYPEFLAGS>(
                       unsigned(flags), 1,
                       {{IMPLTYPEFLAG_FDEFAULT, "IMPLTYPEFLAG_FDEFAULT"},
                        {IMPLTYPEFLAG_FSOURCE, "IMPLTYPEFLAG_FSOURCE"},
                        {IMPLTYPEFLAG_FRESTRICTED, "IMPLTYPEFLAG_FRESTRICTED"},
                        {IMPLTYPEFLAG_FDEFAULTVTABLE, "IMPLTYPEFLAG_FDEFAULTVTABLE"}});
        out << "\n";
    }
    if (attr.typekind != TKIND_COCLASS) {
        out << "  functions    " << attr.cFuncs << "\n";
        for (UINT i = 0; i < attr.cFuncs; ++i) DumpFunction(out, info.Get(), i);
    }
}

std::string Dump(ITypeLib* lib, const std::vector<platform::com::typelib::Import>& imports) {
    std::ostringstream out;
    TLIBATTR* a = nullptr;
    Check(lib->GetLibAttr(&a), "GetLibAttr");
    const TLIBATTR attr = *a;
    lib->ReleaseTLibAttr(a);
    BSTR name = nullptr, doc = nullptr, file = nullptr;
    DWORD context = 0;
    Check(lib->GetDocumentation(-1, &name, &doc, &context, &file), "GetDocumentation");
    const Bstr n(name), d(doc), f(file);

    out << "library " << n.Utf8() << "\n"
        << "  uuid         " << GuidToString(attr.guid) << "\n"
        << "  version      " << attr.wMajorVerNum << "." << attr.wMinorVerNum << "\n"
        << "  lcid         " << Hex(attr.lcid, 4) << "\n"
        << "  syskind      " << SysKindName(attr.syskind) << "\n"
        << "  flags        "
        << Flags<LIBFLAGS>(attr.wLibFlags, 4,
                           {{LIBFLAG_FRESTRICTED, "LIBFLAG_FRESTRICTED"},
                            {LIBFLAG_FCONTROL, "LIBFLAG_FCONTROL"},
                            {LIBFLAG_FHIDDEN, "LIBFLAG_FHIDDEN"},
                            {LIBFLAG_FHASDISKIMAGE, "LIBFLAG_FHASDISKIMAGE"}})
        << "\n"
        << "  helpstring   " << Quoted(d) << "\n"
        << "  helpfile     " << Quoted(f) << "\n";
    if (context != 0) out << "  helpcontext  " << context << "\n";
    for (std::size_t i = 0; i < imports.size(); ++i)
        out << (i == 0 ? "  importlib    " : "               ") << "\"" << imports[i].file << "\" "
            << GuidToString(imports[i].libid) << " " << imports[i].wMajorVerNum << "."
            << imports[i].wMinorVerNum << "\n";
    const UINT count = lib->GetTypeInfoCount();
    out << "  types        " << count << "\n";
    for (UINT i = 0; i < count; ++i) DumpType(out, lib, i);
    return out.str();
}

// The file's bytes, read only as far as a type library can reach: a large
// file is refused without being read whole.
std::vector<BYTE> ReadImage(const std::string& path) {
    if (path == "-") {
        const std::string bytes = ReadInput(path);
        return std::vector<BYTE>(bytes.begin(), bytes.end());
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) throw UsageError("cannot read " + path + ": " + std::strerror(errno));
    std::vector<BYTE> image(platform::com::kMaxTypeLibImage + 1);
    in.read(reinterpret_cast<char*>(image.data()), std::streamsize(image.size()));
    if (in.bad()) throw UsageError("cannot read " + path);
    image.resize(std::size_t(in.gcount()));
    return image;
}

// The control's library as hosts find it: the registered OSTRELLib 1.1, else
// the one in the module beside this program. A library is kept in a module
// file as its TYPELIB resource, or in a file of its own.
std::vector<BYTE> ControlTypeLibImage(std::string& source) {
    CheckRegistry();
    platform::com::TypeLibRegistration found;
    const HRESULT hr =
        platform::com::FindRegisteredTypeLib(LIBID_OSTRELLib, g_wVerMajor, g_wVerMinor, 0, found);
    if (FAILED(hr) && hr != TYPE_E_LIBNOTREGISTERED) {
        const std::string why = platform::com::LastTypeLibLookupError();
        throw Failure("cannot look up the registered type library: " + Described(hr) +
                      (why.empty() ? "" : " (" + why + ")"));
    }
    source = SUCCEEDED(hr) ? found.path : ModuleBesideProgram();
    if (!std::filesystem::exists(source))
        throw Failure("the type library file " + source + " does not exist" +
                      (SUCCEEDED(hr) ? "; register the control again" : ""));
    if (!platform::com::IsModuleFile(source)) return ReadImage(source);
    auto image = platform::com::ReadFileResource(source, "TYPELIB", 1);
    if (!image) throw Failure(source + " carries no type library");
    return std::move(*image);
}

}  // namespace

void AddTypeLibCommands(CLI::App& app, int& exitCode) {
    auto file = std::make_shared<std::string>();
    CLI::App* command = app.add_subcommand(
        "typelib",
        "Show a type library: its attributes, its types with their kinds and flags, and each "
        "function with its identifier, parameters and result (default: the control's own "
        "library OSTRELLib)");
    command->add_option("FILE", *file, "A type library file")->type_name("FILE");
    command->callback([file, &exitCode] {
        std::string source = *file;
        const std::vector<BYTE> image =
            file->empty() ? ControlTypeLibImage(source) : ReadImage(*file);
        ComPtr<ITypeLib> lib;
        const HRESULT hr = platform::com::LoadTypeLibFromImage(image, lib.Put());
        if (FAILED(hr))
            throw UsageError(source + " is not a type library this program reads: " +
                             platform::com::HResultName(hr));
        platform::com::typelib::Library model;
        Check(platform::com::typelib::Read(image, model), "imports");
        WriteOutput("-", Dump(lib.Get(), model.imports));
        exitCode = kExitOk;
    });
}

}  // namespace ostrel::cli
