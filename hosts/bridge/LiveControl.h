#pragma once
// The control itself behind the session, and the signer (OSTREL.Signer.1)
// for the methods named "Signer.*": each created the first time one of its
// methods is called, as the `ostrel` command creates it, and kept until the
// connection ends.

#include "hosts/bridge/Session.h"
#include "platform/com/Dispatch.h"
#include "platform/com/Unknown.h"

namespace ostrel::bridge {

class LiveControl : public ControlPort {
public:
    LiveControl() = default;
    ~LiveControl() override;
    LiveControl(const LiveControl&) = delete;
    LiveControl& operator=(const LiveControl&) = delete;

    nlohmann::json Call(const MethodInfo& method,
                        std::vector<platform::com::Variant> args) override;

private:
    // The object `method` belongs to, created when it is not yet.
    IDispatch* Object(const MethodInfo& method);

    platform::com::ComPtr<IDispatch> m_dispatch;
    platform::com::ComPtr<IDispatch> m_signer;
};

}  // namespace ostrel::bridge
