#pragma once
// The control itself behind the session: created the first time a method is
// called, as the `ostrel` command creates it, and kept until the connection
// ends.

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
    platform::com::ComPtr<IDispatch> m_dispatch;
};

}  // namespace ostrel::bridge
