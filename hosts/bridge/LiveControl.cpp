#include "hosts/bridge/LiveControl.h"

#include "hosts/shared/ControlHost.h"
#include "platform/com/ComError.h"
#include "platform/text/Utf.h"

namespace ostrel::bridge {

LiveControl::~LiveControl() {
    m_dispatch.Reset();
    m_signer.Reset();
    cli::ReleaseControlModules();
}

IDispatch* LiveControl::Object(const MethodInfo& method) {
    const bool signer = method.target == Target::Signer;
    platform::com::ComPtr<IDispatch>& object = signer ? m_signer : m_dispatch;
    if (!object) {
        // An object that could not be made is tried again on the next call.
        try {
            object = cli::Query<IDispatch>(signer ? cli::CreateSigner() : cli::CreateControl(),
                                           "IDispatch");
        } catch (const cli::Failure& e) {
            // Why activation failed names the registry and module files.
            const HRESULT hr = e.hresult.value_or(HRESULT(E_FAIL));
            throw CallError{std::string("the ostrel ") + (signer ? "signer" : "control") +
                                " could not be created (" + cli::Described(hr) +
                                "); the host's log says why",
                            hr, e.what()};
        }
    }
    return object.Get();
}

nlohmann::json LiveControl::Call(const MethodInfo& method,
                                 std::vector<platform::com::Variant> args) {
    IDispatch* object = Object(method);
    std::u16string name = platform::com::Utf8ToUtf16(method.member);
    LPOLESTR names[] = {name.data()};
    DISPID dispid = DISPID_UNKNOWN;
    HRESULT hr = object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &dispid);
    if (FAILED(hr)) {
        const std::string what = "the control has no method " + std::string(method.member) + " (" +
                                 cli::Described(hr) + ")";
        throw CallError{what, hr, what};
    }
    platform::com::Variant result;
    std::string description;
    HRESULT scode = 0;
    hr = cli::InvokeById(object, dispid, args, result, &description, &scode);
    if (FAILED(hr) && method.target == Target::Signer && !description.empty()) {
        // The signer says what is wrong for the page to read: options it
        // refuses are the page's arguments; anything else is a failed call.
        // (The session keeps what names this computer from the page.)
        const HRESULT code = scode != 0 ? scode : hr;
        const std::string what = std::string(method.name) + ": " + description;
        if (code == HRESULT(E_INVALIDARG))
            throw CallError{what, std::nullopt, what, ErrorCode::Args};
        throw CallError{what, code, what};
    }
    if (FAILED(hr)) {
        // The control's own words may name a store entry's file.
        const std::string what = std::string(method.name) + " failed: " + cli::Described(hr);
        throw CallError{what, hr, description.empty() ? what : what + " (" + description + ")"};
    }
    try {
        switch (method.result) {
            case ResultKind::Text: {
                const auto text = cli::TextResult(result);
                return text ? nlohmann::json(*text) : nlohmann::json(nullptr);
            }
            case ResultKind::Bool:
                return cli::BoolResult(result);
            case ResultKind::Long:
                return cli::LongResult(result);
        }
    } catch (const cli::Failure& e) {
        throw CallError{std::string(method.name) + " answered with a value of another type",
                        std::nullopt, e.what()};
    }
    throw CallError{"the control's answer has no known type", std::nullopt, {}};
}

}  // namespace ostrel::bridge
