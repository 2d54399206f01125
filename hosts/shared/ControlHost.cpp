#include "hosts/shared/ControlHost.h"

#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include "control/OstrelIds.h"
#include "platform/com/ComError.h"
#include "platform/com/Registry.h"
#include "platform/text/Bstr.h"
#include "platform/text/Utf.h"

namespace ostrel::cli {

using platform::com::ComPtr;

std::string ModuleBesideProgram() {
    char self[4096];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) throw Failure("cannot find the folder of the ostrel program");
    return (std::filesystem::path(std::string(self, std::size_t(n))).parent_path() / "OSTREL.OCX")
        .string();
}

std::string Hex(HRESULT hr) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(hr));
    return buf;
}

std::string Described(HRESULT hr) {
    const std::string hex = Hex(hr);
    const std::string name = platform::com::HResultName(hr);
    return name == hex ? hex : hex + " " + name;
}

std::string RepairAdvice() {
    std::string file = "registry.reg";
    try {
        file = platform::com::registry::RegistryFile().string();
    } catch (...) {
    }
    return "run `ostrel register --repair` to move it aside as " + file +
           ".damaged-<UTC time> and start an empty registry, then register the modules again";
}

void CheckRegistry() {
    try {
        platform::com::registry::Snapshot();
    } catch (const platform::com::registry::RegistryError& e) {
        throw Failure(std::string(e.what()) +
                          (e.Code() == ERROR_BADDB ? "; " + RepairAdvice() : std::string()),
                      HRESULT_FROM_WIN32(e.Code()));
    }
}

std::string ActivationFailure(HRESULT hr) {
    const std::string why = platform::com::LastActivationError();
    return Described(hr) + (why.empty() ? "" : " (" + why + ")") +
           (hr == HRESULT_FROM_WIN32(ERROR_BADDB) ? "; " + RepairAdvice() : std::string());
}

namespace {

[[noreturn]] void CannotCreate(const std::string& object, const std::string& what, HRESULT hr) {
    throw Failure("cannot create " + object + " " + what + ": " + ActivationFailure(hr), hr);
}

}  // namespace

ComPtr<IUnknown> CreateObject(const char* progIdText, const CLSID& classId,
                              const std::string& object) {
    // Said first and plainly: a registry that cannot be used is not one
    // without the class, and the module beside the program is no answer.
    CheckRegistry();
    const std::u16string progId = platform::com::Utf8ToUtf16(progIdText);
    CLSID clsid{};
    ComPtr<IUnknown> created;
    const HRESULT found = CLSIDFromProgID(progId.c_str(), &clsid);
    if (SUCCEEDED(found)) {
        const HRESULT hr =
            CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, created.PutVoid());
        if (FAILED(hr)) CannotCreate(object, std::string("registered as ") + progIdText, hr);
        return created;
    }
    if (found != CO_E_CLASSSTRING)
        CannotCreate(object, std::string("registered as ") + progIdText, found);
    const std::string module = ModuleBesideProgram();
    ComPtr<IClassFactory> factory;
    HRESULT hr = platform::com::GetClassObjectFromModule(module, classId, IID_IClassFactory,
                                                         factory.PutVoid());
    if (SUCCEEDED(hr)) hr = factory->CreateInstance(nullptr, IID_IUnknown, created.PutVoid());
    if (FAILED(hr)) CannotCreate(object, "from " + module, hr);
    return created;
}

ComPtr<IUnknown> CreateControl() {
    return CreateObject(kDefaultProgId, CLSID_Ostrel, "the control");
}

ComPtr<IUnknown> CreateSigner() {
    return CreateObject(kSignerProgId, kSignerClsid, "the signer");
}

HRESULT InvokeById(IDispatch* dispatch, DISPID dispid, std::vector<platform::com::Variant>& args,
                   platform::com::Variant& result, std::string* description, HRESULT* scode) {
    // Invoke takes the arguments last one first.
    std::vector<VARIANT> raw;
    for (auto it = args.rbegin(); it != args.rend(); ++it) raw.push_back(it->Raw());
    DISPPARAMS params{raw.data(), nullptr, UINT(raw.size()), 0};
    EXCEPINFO excep{};
    UINT argErr = 0;
    const HRESULT hr = dispatch->Invoke(dispid, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD,
                                        &params, result.Ptr(), &excep, &argErr);
    const platform::com::Bstr text(excep.bstrDescription);
    SysFreeString(excep.bstrSource);
    SysFreeString(excep.bstrHelpFile);
    if (description != nullptr) *description = text.IsNull() ? std::string() : text.Utf8();
    if (scode != nullptr) *scode = hr == DISP_E_EXCEPTION ? excep.scode : 0;
    return hr;
}

platform::com::Variant InvokeMethod(const ComPtr<IUnknown>& control, const std::string& method,
                                    std::vector<platform::com::Variant> args) {
    const auto dispatch = Query<IDispatch>(control, "IDispatch");
    std::u16string name = platform::com::Utf8ToUtf16(method);
    LPOLESTR names[] = {name.data()};
    DISPID dispid = DISPID_UNKNOWN;
    HRESULT hr = dispatch->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &dispid);
    if (FAILED(hr))
        throw Failure("the control has no method " + method + " (" + Described(hr) + ")");
    platform::com::Variant result;
    std::string description;
    hr = InvokeById(dispatch.Get(), dispid, args, result, &description);
    if (FAILED(hr))
        throw Failure(method + " failed: " + Described(hr) +
                      (description.empty() ? "" : " (" + description + ")"));
    return result;
}

platform::com::Variant CallControl(const std::string& method,
                                   std::vector<platform::com::Variant> args) {
    platform::com::Variant result;
    {
        const auto control = CreateControl();
        result = InvokeMethod(control, method, std::move(args));
    }
    ReleaseControlModules();
    return result;
}

platform::com::Variant CallSigner(const std::string& method,
                                  std::vector<platform::com::Variant> args) {
    platform::com::Variant result;
    {
        const auto dispatch = Query<IDispatch>(CreateSigner(), "IDispatch");
        std::u16string name = platform::com::Utf8ToUtf16(method);
        LPOLESTR names[] = {name.data()};
        DISPID dispid = DISPID_UNKNOWN;
        HRESULT hr = dispatch->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &dispid);
        if (FAILED(hr))
            throw Failure("the signer has no method " + method + " (" + Described(hr) + ")", hr);
        std::string description;
        HRESULT scode = 0;
        hr = InvokeById(dispatch.Get(), dispid, args, result, &description, &scode);
        if (FAILED(hr)) {
            if (!description.empty())
                throw Failure(method + ": " + description, scode ? scode : hr);
            throw Failure(method + " failed: " + Described(scode ? scode : hr), scode ? scode : hr);
        }
    }
    ReleaseControlModules();
    return result;
}

namespace {

[[noreturn]] void WrongType(const platform::com::Variant& result, const char* expected) {
    throw Failure(std::string("the control answered with ") +
                  platform::com::VarTypeName(result.Raw().vt) + " where " + expected +
                  " was expected");
}

}  // namespace

std::optional<std::string> TextResult(const platform::com::Variant& result) {
    const VARIANT& v = result.Raw();
    if (v.vt != VT_BSTR) WrongType(result, "a text");
    if (v.bstrVal == nullptr) return std::nullopt;
    return platform::com::Utf16ToUtf8(std::u16string_view(v.bstrVal, SysStringLen(v.bstrVal)));
}

bool BoolResult(const platform::com::Variant& result) {
    if (result.Raw().vt != VT_BOOL) WrongType(result, "a boolean");
    return result.Raw().boolVal != 0;
}

LONG LongResult(const platform::com::Variant& result) {
    if (result.Raw().vt != VT_I4) WrongType(result, "a number");
    return result.Raw().lVal;
}

void ReleaseControlModules() {
    CoFreeUnusedLibraries();
}

}  // namespace ostrel::cli
