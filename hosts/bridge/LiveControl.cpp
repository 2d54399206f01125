#include "hosts/bridge/LiveControl.h"

#include "hosts/shared/ControlHost.h"
#include "platform/com/ComError.h"
#include "platform/text/Utf.h"

namespace ostrel::bridge {

LiveControl::~LiveControl() {
    m_dispatch.Reset();
    cli::ReleaseControlModules();
}

nlohmann::json LiveControl::Call(const MethodInfo& method,
                                 std::vector<platform::com::Variant> args) {
    if (!m_dispatch) {
        // A control that could not be made is tried again on the next call.
        try {
            m_dispatch = cli::Query<IDispatch>(cli::CreateControl(), "IDispatch");
        } catch (const cli::Failure& e) {
            // Why activation failed names the registry and module files.
            const HRESULT hr = e.hresult.value_or(HRESULT(E_FAIL));
            throw CallError{"the ostrel control could not be created (" + cli::Described(hr) +
                                "); the host's log says why",
                            hr, e.what()};
        }
    }
    std::u16string name = platform::com::Utf8ToUtf16(method.name);
    LPOLESTR names[] = {name.data()};
    DISPID dispid = DISPID_UNKNOWN;
    HRESULT hr = m_dispatch->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &dispid);
    if (FAILED(hr)) {
        const std::string what = "the control has no method " + std::string(method.name) + " (" +
                                 cli::Described(hr) + ")";
        throw CallError{what, hr, what};
    }
    platform::com::Variant result;
    std::string description;
    hr = cli::InvokeById(m_dispatch.Get(), dispid, args, result, &description);
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
