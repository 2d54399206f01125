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
            throw CallError{e.what(), e.hresult.value_or(HRESULT(E_FAIL))};
        }
    }
    std::u16string name = platform::com::Utf8ToUtf16(method.name);
    LPOLESTR names[] = {name.data()};
    DISPID dispid = DISPID_UNKNOWN;
    HRESULT hr = m_dispatch->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &dispid);
    if (FAILED(hr))
        throw CallError{"the control has no method " + std::string(method.name) + " (" +
                            cli::Described(hr) + ")",
                        hr};
    platform::com::Variant result;
    std::string description;
    hr = cli::InvokeById(m_dispatch.Get(), dispid, args, result, &description);
    if (FAILED(hr))
        throw CallError{std::string(method.name) + " failed: " + cli::Described(hr) +
                            (description.empty() ? "" : " (" + description + ")"),
                        hr};
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
        throw CallError{e.what(), std::nullopt};
    }
    throw CallError{"the control's answer has no known type", std::nullopt};
}

}  // namespace ostrel::bridge
