#pragma once
// One connection with the extension: the handshake first, then each request
// checked (version, fields, origin, method, arguments, consent) before the
// control is called.

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "hosts/bridge/Protocol.h"

namespace ostrel::bridge {

// The control as the session calls it. Call gives the method's result as
// JSON, or throws CallError.
class ControlPort {
public:
    virtual ~ControlPort() = default;
    virtual nlohmann::json Call(const MethodInfo& method,
                                std::vector<platform::com::Variant> args) = 0;
};

struct CallError {
    std::string message;
    std::optional<HRESULT> hresult;
};

class Session {
public:
    Session(ControlPort& control, std::string hostVersion)
        : m_control(control), m_hostVersion(std::move(hostVersion)) {}

    // The reply to one message.
    nlohmann::json Handle(std::string_view body);
    // The reply to a frame of length zero, and to one over the limit.
    nlohmann::json Empty() const;
    nlohmann::json TooLarge(std::uint64_t size) const;

    bool Greeted() const { return m_greeted; }

private:
    ControlPort& m_control;
    std::string m_hostVersion;
    bool m_greeted = false;
};

}  // namespace ostrel::bridge
