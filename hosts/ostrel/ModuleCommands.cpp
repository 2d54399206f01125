// The module commands: register and unregister a module as the platform's
// registration tool does (load it, call its export), call the registered
// control late-bound as any automation host does, and show what a module
// file carries without loading it.

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>

#include "hosts/ostrel/Cli.h"
#include "hosts/shared/ControlHost.h"
#include "platform/com/Activation.h"
#include "platform/com/Registry.h"
#include "platform/com/Resource.h"
#include "platform/com/TypeInfo.h"
#include "platform/com/Variant.h"
#include "platform/com/VersionInfo.h"
#include "platform/text/Bstr.h"
#include "platform/text/Utf.h"

namespace ostrel::cli {
namespace {

using platform::com::ComPtr;

// Self-registration shares its codes with connection points; here they mean
// self-registration.
std::string RegistrationResult(HRESULT hr) {
    if (hr == SELFREG_E_TYPELIB) return Hex(hr) + " SELFREG_E_TYPELIB";
    if (hr == SELFREG_E_CLASS) return Hex(hr) + " SELFREG_E_CLASS";
    return Described(hr);
}

// Registrations and unregistrations of whole modules take turns, so that
// the registry always ends as one of them left it, never half of each.
class RegistrationLock {
public:
    RegistrationLock() {
        const auto file = platform::com::registry::RegistryFile();
        // Made private where missing; refused where others may write to it.
        platform::com::registry::MakeRegistryFolder();
        const auto path = file.string() + ".registration.lock";
        m_fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (m_fd < 0) throw Failure("cannot lock " + path);
        while (::flock(m_fd, LOCK_EX) != 0)
            if (errno != EINTR) throw Failure("cannot lock " + path);
    }
    ~RegistrationLock() {
        if (m_fd >= 0) ::close(m_fd);
    }
    RegistrationLock(const RegistrationLock&) = delete;
    RegistrationLock& operator=(const RegistrationLock&) = delete;

private:
    int m_fd = -1;
};

int CallRegistrationExport(const std::string& modulePath, const char* exportName) {
    const std::string path = modulePath.empty() ? ModuleBesideProgram() : modulePath;
    // Loaded by its full path, the module registers itself by that path: a
    // relative one would name a file in whatever folder a host runs in.
    std::error_code ec;
    const std::string loadPath = std::filesystem::canonical(path, ec).string();
    if (ec)
        throw Failure("the module file " + path +
                      (ec == std::errc::no_such_file_or_directory ? std::string(" does not exist")
                                                                  : ": " + ec.message()));
    // Loading runs the module's code, so it is checked as activation checks it.
    std::string unsafe;
    if (FAILED(platform::com::CheckModuleFile(loadPath, unsafe))) throw Failure(unsafe);
    RegistrationLock lock;
    // A damaged registry would refuse every change the module makes; say so
    // plainly instead of reporting the module's failure code alone.
    try {
        platform::com::registry::Load();
    } catch (const platform::com::registry::RegistryError& e) {
        throw Failure(std::string("the registry cannot be changed: ") + e.what() +
                      (e.Code() == ERROR_BADDB ? "; " + RepairAdvice() : std::string()));
    }
    void* module = ::dlopen(loadPath.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        const char* why = ::dlerror();
        throw Failure("cannot load " + path + ": " + (why ? why : "unknown error"));
    }
    using Export = HRESULT (*)();
    auto entry = reinterpret_cast<Export>(::dlsym(module, exportName));
    if (entry == nullptr) {
        ::dlclose(module);
        throw Failure(path + " has no entry point " + exportName);
    }
    const HRESULT hr = entry();
    ::dlclose(module);
    WriteOutput("", std::string(exportName) + " in " + path + ": " + RegistrationResult(hr) + "\n");
    return hr == S_OK ? kExitOk : kExitFalse;
}

// ostrel register --repair: a damaged registry is moved aside, kept whole for
// the user to look at, and an empty one takes its place; a sound one is left
// alone.
int RepairRegistry() {
    RegistrationLock lock;
    std::optional<std::filesystem::path> aside;
    try {
        aside = platform::com::registry::MoveDamagedFileAside();
    } catch (const platform::com::registry::RegistryError& e) {
        throw Failure(std::string("the registry cannot be repaired: ") + e.what());
    }
    const std::string file = platform::com::registry::RegistryFile().string();
    if (!aside) {
        WriteOutput("", "the registry " + file + " is not damaged; nothing was changed\n");
        return kExitOk;
    }
    WriteOutput("", "the damaged registry was moved to " + aside->string() + "; the registry " +
                        file + " is now empty: register the modules again (ostrel register)\n");
    return kExitOk;
}

// ---------------------------------------------------------------------------
// ostrel call

struct CallOptions {
    bool json = false;
    std::string progId;
    std::string clsid;
    std::string method;
    std::vector<std::string> args;
};

std::string ArgumentText(const std::string& arg) {
    if (arg == "-") return ReadInput("-");
    if (arg.starts_with("@")) return ReadInput(arg.substr(1));
    return arg;
}

// The parameter types of the method `memid` as the type information gives
// them; nothing when the object offers none.
std::optional<std::vector<VARTYPE>> ParameterTypes(IDispatch* dispatch, DISPID memid) {
    ComPtr<ITypeInfo> info;
    UINT count = 0;
    if (FAILED(dispatch->GetTypeInfoCount(&count)) || count == 0 ||
        FAILED(dispatch->GetTypeInfo(0, 0x0409, info.Put())) || !info)
        return std::nullopt;
    TYPEATTR* attr = nullptr;
    if (FAILED(info->GetTypeAttr(&attr))) return std::nullopt;
    const WORD functions = attr->cFuncs;
    info->ReleaseTypeAttr(attr);
    for (UINT i = 0; i < functions; ++i) {
        FUNCDESC* func = nullptr;
        if (FAILED(info->GetFuncDesc(i, &func))) continue;
        std::optional<std::vector<VARTYPE>> types;
        if (func->memid == memid) {
            types.emplace();
            for (SHORT p = 0; p < func->cParams; ++p)
                types->push_back(func->lprgelemdescParam[p].tdesc.vt);
        }
        info->ReleaseFuncDesc(func);
        if (types) return types;
    }
    return std::nullopt;
}

platform::com::Variant ArgumentValue(const std::string& text, VARTYPE vt, std::size_t position) {
    using platform::com::Variant;
    const std::string where = "argument " + std::to_string(position + 1);
    switch (vt) {
        case VT_BSTR: {
            if (!platform::com::IsValidUtf8(text)) throw UsageError(where + " is not UTF-8 text");
            return Variant::Str(text);
        }
        case VT_I4:
        case VT_INT: {
            errno = 0;
            char* end = nullptr;
            const long long v = std::strtoll(text.c_str(), &end, 10);
            if (text.empty() || *end != 0 || errno != 0 || v < INT32_MIN || v > INT32_MAX)
                throw UsageError(where + " must be a 32-bit integer: " + text);
            return Variant::I4(LONG(v));
        }
        case VT_BOOL:
            if (text == "true" || text == "-1" || text == "1") return Variant::Bool(true);
            if (text == "false" || text == "0") return Variant::Bool(false);
            throw UsageError(where + " must be true or false: " + text);
        default:
            throw UsageError(
                where + " has a type this command cannot make: " + platform::com::VarTypeName(vt));
    }
}

// `description` and `scode`: what the object said of an exception it raised.
int PrintCallResult(const CallOptions& options, HRESULT hr, const VARIANT& result,
                    const std::string& description, HRESULT scode) {
    if (options.json) {
        nlohmann::json out;
        out["result"] = nullptr;
        if (SUCCEEDED(hr)) {
            if (result.vt == VT_BSTR && result.bstrVal != nullptr)
                out["result"] = platform::com::Utf16ToUtf8(
                    std::u16string_view(result.bstrVal, SysStringLen(result.bstrVal)));
            else if (result.vt == VT_BOOL)
                out["result"] = result.boolVal != 0;
            else if (result.vt == VT_I4)
                out["result"] = result.lVal;
        }
        out["hresult"] = Hex(hr);
        if (FAILED(hr) && !description.empty()) out["description"] = description;
        if (FAILED(hr) && scode != 0) out["scode"] = Hex(scode);
        WriteOutput("", out.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n");
    }
    if (FAILED(hr)) {
        if (!options.json)
            std::cerr << "ostrel: " << options.method << " failed: " << Described(hr)
                      << (scode != 0 ? " " + Described(scode) : std::string())
                      << (description.empty() ? std::string() : ": " + description) << "\n";
        // Arguments the object refuses are the caller's to put right.
        return scode == HRESULT(E_INVALIDARG) ? kExitUsage : kExitFailure;
    }
    switch (result.vt) {
        case VT_BSTR: {
            if (result.bstrVal == nullptr) return kExitNull;
            const std::string text = platform::com::Utf16ToUtf8(
                std::u16string_view(result.bstrVal, SysStringLen(result.bstrVal)));
            if (!options.json) WriteOutput("", text + "\n");
            return text.empty() ? kExitFalse : kExitOk;
        }
        case VT_BOOL:
            if (!options.json) WriteOutput("", result.boolVal != 0 ? "true\n" : "false\n");
            return result.boolVal != 0 ? kExitOk : kExitFalse;
        case VT_I4:
            if (!options.json) WriteOutput("", std::to_string(result.lVal) + "\n");
            return result.lVal < 0 ? kExitFalse : kExitOk;
        default:
            return kExitOk;
    }
}

int Call(const CallOptions& options) {
    CLSID clsid{};
    if (!options.clsid.empty()) {
        const auto parsed = platform::com::GuidFromString(options.clsid);
        if (!parsed) throw UsageError("not a class identifier: " + options.clsid);
        clsid = *parsed;
    } else {
        const std::string progId = options.progId.empty() ? kDefaultProgId : options.progId;
        const std::u16string wide = platform::com::Utf8ToUtf16(progId);
        const HRESULT hr = CLSIDFromProgID(wide.c_str(), &clsid);
        if (FAILED(hr) && hr != CO_E_CLASSSTRING)
            throw Failure("cannot look up the program identifier " + progId + ": " +
                          ActivationFailure(hr));
        if (FAILED(hr))
            throw Failure("the program identifier " + progId + " is not registered (" +
                          Described(hr) + "); run ostrel register");
    }
    // Arguments are read before the control exists, so bad input costs nothing.
    std::vector<std::string> texts;
    for (const auto& arg : options.args) texts.push_back(ArgumentText(arg));

    int exitCode = kExitFailure;
    {
        ComPtr<IDispatch> dispatch;
        HRESULT hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                                      dispatch.PutVoid());
        if (FAILED(hr))
            throw Failure("cannot create " + platform::com::GuidToString(clsid) + ": " +
                          ActivationFailure(hr));
        std::u16string name = platform::com::Utf8ToUtf16(options.method);
        LPOLESTR names[] = {name.data()};
        DISPID dispid = 0;
        hr = dispatch->GetIDsOfNames(IID_NULL, names, 1, 0x0409, &dispid);
        if (FAILED(hr))
            throw UsageError("the object has no method " + options.method + " (" + Described(hr) +
                             ")");
        const auto types = ParameterTypes(dispatch.Get(), dispid);
        if (types && types->size() != texts.size())
            throw UsageError(options.method + " takes " + std::to_string(types->size()) +
                             " argument(s), " + std::to_string(texts.size()) + " given");
        std::vector<platform::com::Variant> values;
        for (std::size_t i = 0; i < texts.size(); ++i)
            values.push_back(ArgumentValue(texts[i], types ? (*types)[i] : VARTYPE(VT_BSTR), i));
        platform::com::Variant result;
        std::string description;
        HRESULT scode = 0;
        hr = InvokeById(dispatch.Get(), dispid, values, result, &description, &scode);
        exitCode = PrintCallResult(options, hr, result.Raw(), description, scode);
    }
    CoFreeUnusedLibraries();
    return exitCode;
}

// ---------------------------------------------------------------------------
// ostrel info

std::string TypeName(const std::string& type) {
    static const std::pair<const char*, const char*> kNames[] = {
        {"#2", "BITMAP"}, {"#3", "ICON"},        {"#5", "DIALOG"},
        {"#6", "STRING"}, {"#14", "GROUP_ICON"}, {"#16", "VERSION"}};
    for (const auto& [key, name] : kNames)
        if (type == key) return name;
    return type;
}

std::string VersionNumber(DWORD ms, DWORD ls) {
    return std::to_string(ms >> 16) + "." + std::to_string(ms & 0xFFFF) + "." +
           std::to_string(ls >> 16) + "." + std::to_string(ls & 0xFFFF);
}

int Info(const std::string& modulePath, bool json) {
    const std::string path = modulePath.empty() ? ModuleBesideProgram() : modulePath;
    platform::com::ModuleFileInfo info;
    std::string why;
    if (FAILED(platform::com::ReadModuleFile(path, info, &why))) throw Failure(why);
    const auto entries = platform::com::ParseResourceDirectory(info.resources);
    std::optional<platform::com::VersionInfo> version;
    nlohmann::json out;
    out["file"] = path;
    out["exports"] = info.exports;
    out["resources"] = nlohmann::json::array();
    if (entries)
        for (const auto& e : *entries) {
            out["resources"].push_back({{"type", TypeName(e.type)},
                                        {"id", e.id},
                                        {"language", e.lang},
                                        {"size", e.data.size()}});
            if (e.type == "#16" && e.id == 1) version = platform::com::ParseVersionInfo(e.data);
        }
    if (version) {
        nlohmann::json strings = nlohmann::json::array();
        for (const auto& [key, value] : version->strings) strings.push_back({key, value});
        nlohmann::json translations = nlohmann::json::array();
        for (const auto& [lang, cp] : version->translations) translations.push_back({lang, cp});
        out["version"] = {{"fileVersion", VersionNumber(version->fixed.dwFileVersionMS,
                                                        version->fixed.dwFileVersionLS)},
                          {"productVersion", VersionNumber(version->fixed.dwProductVersionMS,
                                                           version->fixed.dwProductVersionLS)},
                          {"flagsMask", version->fixed.dwFileFlagsMask},
                          {"flags", version->fixed.dwFileFlags},
                          {"os", version->fixed.dwFileOS},
                          {"fileType", version->fixed.dwFileType},
                          {"fileSubtype", version->fixed.dwFileSubtype},
                          {"stringTable", version->tableName},
                          {"strings", strings},
                          {"translations", translations}};
    }
    if (json) {
        WriteOutput("", out.dump(2) + "\n");
        return kExitOk;
    }
    std::ostringstream s;
    s << "File: " << path << "\n\nExports:\n";
    for (const auto& name : info.exports) s << "  " << name << "\n";
    s << "\nResources:\n";
    if (!entries || entries->empty()) s << "  (none)\n";
    if (entries)
        for (const auto& e : *entries) {
            char line[128];
            std::snprintf(line, sizeof line, "  %-10s %5u  language 0x%04X  %zu bytes\n",
                          TypeName(e.type).c_str(), e.id, e.lang, e.data.size());
            s << line;
        }
    if (version) {
        char fixed[256];
        std::snprintf(
            fixed, sizeof fixed,
            "\nVersion:\n  File version     %s\n  Product version  %s\n"
            "  Flags            0x%X (mask 0x%X)\n  OS               0x%X\n"
            "  File type        0x%X, subtype 0x%X\n",
            VersionNumber(version->fixed.dwFileVersionMS, version->fixed.dwFileVersionLS).c_str(),
            VersionNumber(version->fixed.dwProductVersionMS, version->fixed.dwProductVersionLS)
                .c_str(),
            version->fixed.dwFileFlags, version->fixed.dwFileFlagsMask, version->fixed.dwFileOS,
            version->fixed.dwFileType, version->fixed.dwFileSubtype);
        s << fixed << "  String table     " << version->tableName << "\n";
        for (const auto& [key, value] : version->strings)
            s << "    " << key << ": " << value << "\n";
        for (const auto& [lang, cp] : version->translations) {
            char t[64];
            std::snprintf(t, sizeof t, "  Translation      0x%04X, 0x%04X\n", lang, cp);
            s << t;
        }
    }
    WriteOutput("", s.str());
    return kExitOk;
}

}  // namespace

void AddModuleCommands(CLI::App& app, int& exitCode) {
    auto registerModule = std::make_shared<std::string>();
    auto repair = std::make_shared<bool>(false);
    CLI::App* reg = app.add_subcommand(
        "register", "Register a module for the current user by calling its DllRegisterServer");
    auto* moduleOption = reg->add_option("module", *registerModule,
                                         "The module file (default: OSTREL.OCX beside ostrel)")
                             ->type_name("MODULE");
    reg->add_flag("--repair", *repair,
                  "Move a damaged registry aside (kept as registry.reg.damaged-<UTC time>) and "
                  "start an empty one; a sound registry is left as it is")
        ->excludes(moduleOption);
    reg->callback([registerModule, repair, &exitCode] {
        exitCode = *repair ? RepairRegistry()
                           : CallRegistrationExport(*registerModule, "DllRegisterServer");
    });

    auto unregisterModule = std::make_shared<std::string>();
    CLI::App* unreg = app.add_subcommand(
        "unregister", "Remove a module's registration by calling its DllUnregisterServer");
    unreg
        ->add_option("module", *unregisterModule,
                     "The module file (default: OSTREL.OCX beside ostrel)")
        ->type_name("MODULE");
    unreg->callback([unregisterModule, &exitCode] {
        exitCode = CallRegistrationExport(*unregisterModule, "DllUnregisterServer");
    });

    auto call = std::make_shared<CallOptions>();
    CLI::App* callCommand = app.add_subcommand(
        "call",
        "Create the registered control (or, with --progid or --clsid, another registered "
        "automation object such as OSTREL.Signer.1) and call one of its methods by name");
    callCommand->add_flag("--json", call->json,
                          "Print one JSON object: {\"result\": ..., \"hresult\": \"0x...\"}");
    auto* progId = callCommand
                       ->add_option("--progid", call->progId,
                                    std::string("Program identifier of the class (default: ") +
                                        kDefaultProgId + ")")
                       ->type_name("ID");
    callCommand->add_option("--clsid", call->clsid, "Class identifier of the class, {...}")
        ->type_name("GUID")
        ->excludes(progId);
    callCommand->add_option("method", call->method, "The method, e.g. SignMessageNoPrompt")
        ->required();
    callCommand
        ->add_option("args", call->args,
                     "Its arguments, typed from the type information; @FILE for a file's text, - "
                     "for standard input")
        ->type_name("ARG");
    callCommand->callback([call, &exitCode] { exitCode = Call(*call); });

    auto infoModule = std::make_shared<std::string>();
    auto infoJson = std::make_shared<bool>(false);
    CLI::App* infoCommand = app.add_subcommand(
        "info", "Show what a module file carries: exports, resources and version block");
    infoCommand
        ->add_option("module", *infoModule, "The module file (default: OSTREL.OCX beside ostrel)")
        ->type_name("MODULE");
    infoCommand->add_flag("--json", *infoJson, "Print one JSON object");
    infoCommand->callback(
        [infoModule, infoJson, &exitCode] { exitCode = Info(*infoModule, *infoJson); });
}

}  // namespace ostrel::cli
