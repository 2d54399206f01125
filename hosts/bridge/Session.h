#pragma once
// One connection with the extension: the handshake first, then each request
// checked (version, fields, origin, method, arguments, consent) before the
// control is called. What a method asks of the user is in its entry of
// Methods(); what the grants and the user's answer decide is DecideConsent's.

#include <nlohmann/json.hpp>

#include <cstdint>
#include <iostream>
#include <optional>
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

// `message` goes to the page, so it names nothing of this computer: no path,
// no user. `detail` is for the host's log: what the control or activation
// said, whole.
struct CallError {
    std::string message;
    std::optional<HRESULT> hresult;
    std::string detail;
    // ERR_ARGS where the object refused the arguments (its options).
    ErrorCode code = ErrorCode::Call;
};

// The user, asked before a site uses their certificates.
class UserPort {
public:
    virtual ~UserPort() = default;
    // May `origin` call `method` (ChooseCertificate, SignMessage or the
    // signer's Signer.ChooseCertificate and Signer.Sign)?
    virtual Answer AskConsent(const std::string& origin, std::string_view method) = 0;
    // May `origin` sign `text` with the certificate at `index`, unseen?
    virtual Answer ConfirmSigning(const std::string& origin, long index, std::string_view text) = 0;
};

class Session {
public:
    // `log` is the host's log (standard error, which the browser keeps): what
    // a refusal withholds from the page is written there.
    Session(ControlPort& control, std::string hostVersion, ConsentStore& consent, UserPort& user,
            std::ostream& log = std::cerr)
        : m_control(control),
          m_hostVersion(std::move(hostVersion)),
          m_consent(consent),
          m_user(user),
          m_log(log) {}

    // The reply to one message. The message is taken whole, so that its
    // text is let go once read, before the control is called.
    nlohmann::json Handle(std::string body);
    // The reply to a frame of length zero, and to one over the limit.
    nlohmann::json Empty() const;
    nlohmann::json TooLarge(std::uint64_t size) const;

    bool Greeted() const { return m_greeted; }

private:
    // Nothing when `origin` may call `method` now (asking the user when it
    // must), else the refusal. `turn` keeps the turn to ask the user that a
    // question took.
    std::optional<BridgeError> Consent(const MethodInfo& method, const CallQuestion& question,
                                       const std::string& origin, const nlohmann::json& args,
                                       std::optional<QuestionTurn>& turn);
    // The error reply the page is given; what it must not see goes to the log.
    nlohmann::json Refuse(const nlohmann::json& id, BridgeError error, const Request* request,
                          const std::string& detail = {});

    ControlPort& m_control;
    std::string m_hostVersion;
    ConsentStore& m_consent;
    UserPort& m_user;
    std::ostream& m_log;
    bool m_greeted = false;
};

}  // namespace ostrel::bridge
