#pragma once
// What the object-model suites share: calls through IDispatch written in the
// order of the member's parameters, readable VARIANTs, and a sink that counts
// what reaches it.

#include <atomic>
#include <string>
#include <vector>

#include "platform/com/Dispatch.h"
#include "platform/com/Variant.h"
#include "platform/text/Utf.h"

namespace ostrel::test {

using platform::com::ComPtr;
using platform::com::Variant;

// "VT_I4 12", "VT_BSTR \"text\"", "VT_BSTR null", "VT_BOOL -1".
inline std::string Describe(const VARIANT& v) {
    const std::string type = platform::com::VarTypeName(v.vt);
    switch (v.vt) {
        case VT_EMPTY:
        case VT_NULL:
            return type;
        case VT_I2:
            return type + " " + std::to_string(v.iVal);
        case VT_I4:
            return type + " " + std::to_string(v.lVal);
        case VT_UI1:
            return type + " " + std::to_string(v.bVal);
        case VT_UI4:
            return type + " " + std::to_string(v.ulVal);
        case VT_R8:
            return type + " " + std::to_string(v.dblVal);
        case VT_BOOL:
            return type + " " + std::to_string(v.boolVal);
        case VT_BSTR:
            if (v.bstrVal == nullptr) return type + " null";
            return type + " \"" + platform::com::Utf16ToUtf8({v.bstrVal, SysStringLen(v.bstrVal)}) +
                   "\"";
        default:
            return type;
    }
}
inline std::string Describe(const Variant& v) {
    return Describe(v.Raw());
}

// A call's arguments, kept last first as DISPPARAMS wants them.
class CallArgs {
public:
    CallArgs(std::initializer_list<Variant> args) : CallArgs(std::vector<Variant>(args)) {}
    explicit CallArgs(const std::vector<Variant>& args) {
        for (auto it = args.end(); it != args.begin();) {
            --it;
            VARIANT copy;
            VariantInit(&copy);
            VariantCopy(&copy, &it->Raw());
            m_args.push_back(copy);
        }
        m_params = {m_args.empty() ? nullptr : m_args.data(), nullptr, UINT(m_args.size()), 0};
    }
    ~CallArgs() {
        for (auto& v : m_args) VariantClear(&v);
    }
    CallArgs(const CallArgs&) = delete;
    CallArgs& operator=(const CallArgs&) = delete;
    DISPPARAMS* Params() { return &m_params; }

private:
    std::vector<VARIANT> m_args;
    DISPPARAMS m_params;
};

struct CallResult {
    HRESULT hr = S_OK;
    Variant result;
    UINT argErr = ~0u;
    std::string description;  // of an exception
};

inline CallResult Call(IDispatch* disp, DISPID id, const std::vector<Variant>& args,
                       WORD flags = DISPATCH_METHOD) {
    CallArgs call(args);
    CallResult r;
    EXCEPINFO info{};
    r.hr =
        disp->Invoke(id, IID_NULL, 0x0409, flags, call.Params(), r.result.Ptr(), &info, &r.argErr);
    if (info.bstrDescription != nullptr)
        r.description =
            platform::com::Utf16ToUtf8({info.bstrDescription, SysStringLen(info.bstrDescription)});
    SysFreeString(info.bstrDescription);
    SysFreeString(info.bstrSource);
    SysFreeString(info.bstrHelpFile);
    return r;
}

// GetIDsOfNames for one name.
inline HRESULT IdOf(IDispatch* disp, const std::u16string& name, DISPID& id) {
    std::u16string copy = name;
    LPOLESTR names[] = {copy.data()};
    return disp->GetIDsOfNames(IID_NULL, names, 1, 0x0409, &id);
}

// A sink for any outgoing dispatch interface: counts every call it receives.
class CountingSink final : public platform::com::ComObject<IDispatch> {
public:
    static ComPtr<CountingSink> Create() { return ComPtr<CountingSink>::Attach(new CountingSink); }
    std::atomic<int> calls{0};

    HRESULT GetTypeInfoCount(UINT* n) override {
        ++calls;
        *n = 0;
        return S_OK;
    }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override {
        ++calls;
        return E_NOTIMPL;
    }
    HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        ++calls;
        return E_NOTIMPL;
    }
    HRESULT Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
        ++calls;
        return S_OK;
    }
};

}  // namespace ostrel::test
