#include "hosts/bridge/Session.h"

#include <iostream>

#include "hosts/bridge/Framing.h"

namespace ostrel::bridge {

using nlohmann::json;

json Session::Empty() const {
    return ErrorReply(nullptr, {ErrorCode::Args, "an empty message", {}});
}

json Session::TooLarge(std::uint64_t size) const {
    return ErrorReply(nullptr, {ErrorCode::TooLarge,
                                "a message of " + std::to_string(size) + " bytes; the limit is " +
                                    std::to_string(kMaxMessage),
                                {}});
}

std::optional<BridgeError> Session::Consent(const MethodInfo& method, const std::string& origin,
                                            const json& args) {
    Grant grant;
    try {
        grant = m_consent.Find(origin);
    } catch (const ConsentError& e) {
        return BridgeError{
            ErrorCode::Consent,
            "cannot tell whether " + origin + " may use your certificates: " + e.what(),
            {}};
    }
    const auto refuse = [&](const std::string& what) {
        return BridgeError{ErrorCode::Consent, what, {}};
    };
    const auto cancelled = [](const std::string& what) {
        return BridgeError{ErrorCode::Cancelled, what, {}};
    };

    if (method.name == "SignMessageNoPrompt") {
        if (grant.withoutPrompt) return std::nullopt;
        const std::string allow = "run `ostrel bridge origins allow " + origin +
                                  " --without-prompt` to let it sign " + "without asking";
        // The arguments were checked: a text and a number that fits a long.
        const Answer answer = m_user.ConfirmSigning(origin, long(args[1].get<std::int64_t>()),
                                                    args[0].get_ref<const std::string&>());
        switch (answer.kind) {
            case Answer::Kind::Once:
            case Answer::Kind::Always:
                return std::nullopt;
            case Answer::Kind::Deny:
                return refuse("you did not let " + origin + " sign the text; " + allow);
            case Answer::Kind::Dismissed:
                return cancelled("the confirmation to sign for " + origin +
                                 " was closed without an answer");
            case Answer::Kind::NobodyToAsk:
                break;
        }
        return refuse(origin + " may not sign without asking, and nobody can be asked (" +
                      answer.why + "); " + allow);
    }

    if (grant.always) return std::nullopt;
    const Answer answer = m_user.AskConsent(origin, method.name);
    switch (answer.kind) {
        case Answer::Kind::Once:
            return std::nullopt;
        case Answer::Kind::Always:
            try {
                m_consent.Set(origin, Grant{true, false}, true);
            } catch (const ConsentError& e) {
                // The user said yes to this call; only the next one asks again.
                std::cerr << "ostrel-bridge: cannot keep the permission of " << origin << ": "
                          << e.what() << "\n";
            }
            return std::nullopt;
        case Answer::Kind::Deny:
            return refuse("you denied " + origin + " the use of your certificates; run " +
                          "`ostrel bridge origins allow " + origin + "` to allow it");
        case Answer::Kind::Dismissed:
            return cancelled("the question whether " + origin +
                             " may use your certificates was closed without an answer");
        case Answer::Kind::NobodyToAsk:
            break;
    }
    return refuse(origin + " has not been allowed to use your certificates, and nobody can be " +
                  "asked (" + answer.why + "); run `ostrel bridge origins allow " + origin +
                  "` to allow it");
}

namespace {

// At most `size` bytes of `text`, for a line of the log.
std::string Clipped(const std::string& text, std::size_t size = 200) {
    return text.size() <= size ? text : text.substr(0, size) + "...";
}

}  // namespace

json Session::Refuse(const json& id, BridgeError error, const Request* request,
                     const std::string& detail) {
    const bool local = NamesLocalDetail(error.message);
    if (local || !detail.empty()) {
        m_log << "ostrel-bridge: ";
        if (request != nullptr)
            m_log << (request->origin ? Clipped(*request->origin) + " " : "")
                  << Clipped(request->method, 64) << ": ";
        m_log << ErrorCodeName(error.code) << ": " << (detail.empty() ? error.message : detail)
              << "\n";
    }
    if (local) error.message = GenericMessage(error.code);
    return ErrorReply(id, error);
}

json Session::Handle(std::string body) {
    Parsed parsed = ParseRequest(body);
    // Read: the text's memory goes before the arguments are converted.
    std::string().swap(body);
    if (!parsed.request) return Refuse(parsed.id, parsed.error, nullptr);
    Request& request = *parsed.request;
    const json& id = request.id;

    if (request.origin && !IsWebOrigin(*request.origin))
        return Refuse(id,
                      {ErrorCode::Origin,
                       "\"" + *request.origin + "\" is not the origin of a secure web page",
                       {}},
                      &request);
    if (request.method == "hello") {
        if (!request.args.empty())
            return Refuse(id, {ErrorCode::Args, "hello takes no arguments", {}}, &request);
        m_greeted = true;
        return ResultReply(id, {{"host", m_hostVersion}, {"protocol", kProtocol}});
    }
    if (!m_greeted)
        return Refuse(id,
                      {ErrorCode::Version, "the first message must be the handshake \"hello\"", {}},
                      &request);
    if (!request.origin)
        return Refuse(id, {ErrorCode::Origin, "the request names no origin", {}}, &request);
    const MethodInfo* method = FindMethod(request.method);
    if (method == nullptr)
        return Refuse(
            id,
            {ErrorCode::Method, "\"" + request.method + "\" is not a method pages may call", {}},
            &request);
    std::vector<platform::com::Variant> args;
    if (auto error = ConvertArgs(*method, request.args, args)) return Refuse(id, *error, &request);
    if (method->usesKeys)
        if (auto refusal = Consent(*method, *request.origin, request.args))
            return Refuse(id, *refusal, &request);
    // The texts are in `args` now; only one copy of them goes into the call.
    request.args = nullptr;
    try {
        return ResultReply(id, m_control.Call(*method, std::move(args)));
    } catch (const CallError& e) {
        return Refuse(id, {ErrorCode::Call, e.message, e.hresult}, &request, e.detail);
    }
}

}  // namespace ostrel::bridge
