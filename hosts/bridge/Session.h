#pragma once
// One connection with the extension: the handshake first, then each request
// checked (version, fields, origin, method, arguments, consent) before the
// control is called. Reading a certificate or a signed message needs no
// consent; choosing a certificate and signing need the site's: granted
// always, or given by the user for this one call.

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "hosts/bridge/Consent.h"
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

// What the user answered when asked about a site.
struct Answer {
    enum class Kind {
        Once,         // "Allow once", "Sign"
        Always,       // "Always allow for this site"
        Deny,         // "Deny", "Don't sign"
        Block,        // "Block this site": refused now and from now on
        Dismissed,    // closed without an answer
        NobodyToAsk,  // no user interface can ask anyone; `why` says so
    };
    Kind kind = Kind::Dismissed;
    std::string why;
};

// The user, asked before a site uses their certificates.
class UserPort {
public:
    virtual ~UserPort() = default;
    // May `origin` call `method` (ChooseCertificate or SignMessage)?
    virtual Answer AskConsent(const std::string& origin, std::string_view method) = 0;
    // May `origin` sign `text` with the certificate at `index`, unseen?
    virtual Answer ConfirmSigning(const std::string& origin, long index, std::string_view text) = 0;
};

class Session {
public:
    Session(ControlPort& control, std::string hostVersion, ConsentStore& consent, UserPort& user)
        : m_control(control),
          m_hostVersion(std::move(hostVersion)),
          m_consent(consent),
          m_user(user) {}

    // The reply to one message.
    nlohmann::json Handle(std::string_view body);
    // The reply to a frame of length zero, and to one over the limit.
    nlohmann::json Empty() const;
    nlohmann::json TooLarge(std::uint64_t size) const;

    bool Greeted() const { return m_greeted; }

private:
    // Nothing when `origin` may call `method` now (asking the user when it
    // must), else the refusal.
    std::optional<BridgeError> Consent(const MethodInfo& method, const std::string& origin,
                                       const nlohmann::json& args);

    ControlPort& m_control;
    std::string m_hostVersion;
    ConsentStore& m_consent;
    UserPort& m_user;
    bool m_greeted = false;
};

}  // namespace ostrel::bridge
