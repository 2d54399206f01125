#include "hosts/bridge/Session.h"

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

json Session::Handle(std::string_view body) {
    Parsed parsed = ParseRequest(body);
    if (!parsed.request) return ErrorReply(parsed.id, parsed.error);
    const Request& request = *parsed.request;
    const json& id = request.id;

    if (request.origin && !IsWebOrigin(*request.origin))
        return ErrorReply(id, {ErrorCode::Origin,
                               "\"" + *request.origin + "\" is not the origin of a secure web page",
                               {}});
    if (request.method == "hello") {
        if (!request.args.empty())
            return ErrorReply(id, {ErrorCode::Args, "hello takes no arguments", {}});
        m_greeted = true;
        return ResultReply(id, {{"host", m_hostVersion}, {"protocol", kProtocol}});
    }
    if (!m_greeted)
        return ErrorReply(
            id, {ErrorCode::Version, "the first message must be the handshake \"hello\"", {}});
    if (!request.origin)
        return ErrorReply(id, {ErrorCode::Origin, "the request names no origin", {}});
    const MethodInfo* method = FindMethod(request.method);
    if (method == nullptr)
        return ErrorReply(
            id,
            {ErrorCode::Method, "\"" + request.method + "\" is not a method pages may call", {}});
    std::vector<platform::com::Variant> args;
    if (auto error = ConvertArgs(*method, request.args, args)) return ErrorReply(id, *error);
    if (method->usesKeys)
        return ErrorReply(id, {ErrorCode::Consent,
                               *request.origin + " has not been allowed to use your certificates",
                               {}});
    try {
        return ResultReply(id, m_control.Call(*method, std::move(args)));
    } catch (const CallError& e) {
        return ErrorReply(id, {ErrorCode::Call, e.message, e.hresult});
    }
}

}  // namespace ostrel::bridge
