#include "hosts/bridge/Protocol.h"

#include <cstdio>
#include <limits>

#include "platform/text/Utf.h"

namespace ostrel::bridge {

using nlohmann::json;

const char* ErrorCodeName(ErrorCode code) {
    switch (code) {
        case ErrorCode::Version:
            return "ERR_VERSION";
        case ErrorCode::Method:
            return "ERR_METHOD";
        case ErrorCode::Args:
            return "ERR_ARGS";
        case ErrorCode::Origin:
            return "ERR_ORIGIN";
        case ErrorCode::Consent:
            return "ERR_CONSENT";
        case ErrorCode::Cancelled:
            return "ERR_CANCELLED";
        case ErrorCode::TooLarge:
            return "ERR_TOO_LARGE";
        case ErrorCode::Call:
            return "ERR_CALL";
        case ErrorCode::Busy:
            return "ERR_BUSY";
    }
    return "ERR_CALL";
}

json ErrorReply(const json& id, const BridgeError& error) {
    json body = {{"code", ErrorCodeName(error.code)}, {"message", error.message}};
    if (error.hresult) {
        char hex[16];
        std::snprintf(hex, sizeof hex, "0x%08X", static_cast<unsigned>(*error.hresult));
        body["hresult"] = hex;
    }
    return {{"id", id}, {"error", std::move(body)}};
}

json ResultReply(const json& id, json result) {
    return {{"id", id}, {"result", std::move(result)}};
}

std::string Serialize(const json& reply) {
    return reply.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string SerializeForBrowser(const json& reply) {
    std::string text = Serialize(reply);
    if (text.size() <= kMaxReply) return text;
    const json id = reply.is_object() && reply.contains("id") ? reply["id"] : json(nullptr);
    const BridgeError error{ErrorCode::TooLarge,
                            "the reply is " + std::to_string(text.size()) +
                                " bytes long; a browser takes at most " +
                                std::to_string(kMaxReply) + " from this host",
                            {}};
    text = Serialize(ErrorReply(id, error));
    if (text.size() <= kMaxReply) return text;
    return Serialize(ErrorReply(nullptr, error));
}

namespace {

bool IsLower(char c) {
    return c >= 'a' && c <= 'z';
}
bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// A DNS name in lower case: labels of letters, digits and inner hyphens.
bool IsHostName(std::string_view host) {
    if (host.empty() || host.size() > 253) return false;
    std::size_t label = 0;
    for (std::size_t i = 0; i <= host.size(); ++i) {
        if (i == host.size() || host[i] == '.') {
            if (label == 0 || label > 63) return false;
            if (host[i - 1] == '-' || host[i - label] == '-') return false;
            label = 0;
            continue;
        }
        const char c = host[i];
        if (!IsLower(c) && !IsDigit(c) && c != '-') return false;
        ++label;
    }
    return true;
}

// 127.0.0.0/8 written as four decimal numbers without leading zeros.
bool IsLoopbackV4(std::string_view host) {
    int parts = 0;
    std::size_t i = 0;
    int first = -1;
    while (i <= host.size()) {
        std::size_t j = i;
        while (j < host.size() && IsDigit(host[j])) ++j;
        if (j == i || j - i > 3 || (j - i > 1 && host[i] == '0')) return false;
        const int value = std::stoi(std::string(host.substr(i, j - i)));
        if (value > 255) return false;
        if (parts == 0) first = value;
        ++parts;
        if (j == host.size()) break;
        if (host[j] != '.') return false;
        i = j + 1;
        if (i == host.size()) return false;
    }
    return parts == 4 && first == 127;
}

bool IsPort(std::string_view port) {
    if (port.empty() || port.size() > 5 || (port.size() > 1 && port[0] == '0')) return false;
    for (char c : port)
        if (!IsDigit(c)) return false;
    const int value = std::stoi(std::string(port));
    return value >= 1 && value <= 65535;
}

}  // namespace

bool IsWebOrigin(std::string_view origin) {
    bool secure = false;
    if (origin.starts_with("https://")) {
        secure = true;
        origin.remove_prefix(8);
    } else if (origin.starts_with("http://")) {
        origin.remove_prefix(7);
    } else {
        return false;
    }
    std::string_view host = origin;
    std::string_view port;
    if (origin.starts_with("[")) {
        const std::size_t close = origin.find(']');
        if (close == std::string_view::npos) return false;
        host = origin.substr(0, close + 1);
        const std::string_view rest = origin.substr(close + 1);
        if (!rest.empty()) {
            if (rest[0] != ':') return false;
            port = rest.substr(1);
            if (!IsPort(port)) return false;
        }
        // Only the loopback is written in brackets here.
        return host == "[::1]";
    }
    const std::size_t colon = origin.find(':');
    if (colon != std::string_view::npos) {
        host = origin.substr(0, colon);
        port = origin.substr(colon + 1);
        if (!IsPort(port)) return false;
    }
    // Anything past the host and port (a path, a user, a query) ends up in
    // the host and fails the checks below.
    if (IsLoopbackV4(host) || host == "localhost") return true;
    return secure && IsHostName(host);
}

namespace {

Parsed Refuse(json id, ErrorCode code, std::string message) {
    Parsed out;
    out.id = std::move(id);
    out.error = {code, std::move(message), {}};
    return out;
}

}  // namespace

Parsed ParseRequest(std::string_view body) {
    if (!platform::com::IsValidUtf8(body))
        return Refuse(nullptr, ErrorCode::Args, "the message is not valid UTF-8");
    json message = json::parse(body, nullptr, false);
    if (message.is_discarded())
        return Refuse(nullptr, ErrorCode::Args, "the message is not valid JSON");
    if (!message.is_object())
        return Refuse(nullptr, ErrorCode::Args, "the message is not a JSON object");

    json id = nullptr;
    if (auto it = message.find("id"); it != message.end() && (it->is_number() || it->is_string()))
        id = *it;
    const auto v = message.find("v");
    if (v == message.end() || !v->is_number_integer() || *v != kProtocol)
        return Refuse(id, ErrorCode::Version, "this host speaks protocol version 1 only");
    for (const auto& [key, value] : message.items()) {
        if (key != "v" && key != "id" && key != "origin" && key != "method" && key != "args")
            return Refuse(id, ErrorCode::Args, "unknown field \"" + key + "\"");
    }
    if (id.is_null()) return Refuse(id, ErrorCode::Args, "\"id\" must be a number or a string");
    const auto method = message.find("method");
    if (method == message.end() || !method->is_string())
        return Refuse(id, ErrorCode::Args, "\"method\" must be a string");

    Request request;
    request.id = id;
    request.method = method->get<std::string>();
    if (auto it = message.find("origin"); it != message.end()) {
        if (!it->is_string()) return Refuse(id, ErrorCode::Args, "\"origin\" must be a string");
        request.origin = it->get<std::string>();
    }
    if (auto it = message.find("args"); it != message.end()) {
        if (!it->is_array()) return Refuse(id, ErrorCode::Args, "\"args\" must be an array");
        request.args = *it;
    } else {
        request.args = json::array();
    }
    Parsed out;
    out.id = id;
    out.request = std::move(request);
    return out;
}

const MethodInfo* FindMethod(std::string_view name) {
    static const MethodInfo kMethods[] = {
        {"SignMessage", {ArgKind::Text}, ResultKind::Text, true},
        {"SignMessageNoPrompt", {ArgKind::Text, ArgKind::Long}, ResultKind::Text, true},
        {"ChooseCertificate", {}, ResultKind::Long, true},
        {"VerifyMessage", {ArgKind::Text}, ResultKind::Bool, false},
        {"GetSubjectName", {ArgKind::Text}, ResultKind::Text, false},
        {"GetSerialNumber", {ArgKind::Text}, ResultKind::Text, false},
    };
    for (const MethodInfo& m : kMethods)
        if (m.name == name) return &m;
    return nullptr;
}

std::optional<BridgeError> ConvertArgs(const MethodInfo& method, const json& args,
                                       std::vector<platform::com::Variant>& out) {
    const std::string name(method.name);
    if (!args.is_array() || args.size() != method.args.size())
        return BridgeError{ErrorCode::Args,
                           name + " takes " + std::to_string(method.args.size()) + " argument" +
                               (method.args.size() == 1 ? "" : "s"),
                           {}};
    out.clear();
    for (std::size_t i = 0; i < args.size(); ++i) {
        const json& arg = args[i];
        const std::string which = "argument " + std::to_string(i + 1) + " of " + name;
        if (method.args[i] == ArgKind::Text) {
            if (!arg.is_string())
                return BridgeError{ErrorCode::Args, which + " must be a string", {}};
            const std::string& text = arg.get_ref<const std::string&>();
            // The control takes its texts whole; one cut short at a NUL
            // would be signed or checked as something else.
            if (text.find('\0') != std::string::npos)
                return BridgeError{ErrorCode::Args, which + " must not contain NUL", {}};
            out.push_back(platform::com::Variant::Str(text));
        } else {
            const bool fits =
                (arg.is_number_integer() && !arg.is_number_unsigned() &&
                 arg.get<std::int64_t>() >= std::numeric_limits<LONG>::min() &&
                 arg.get<std::int64_t>() <= std::numeric_limits<LONG>::max()) ||
                (arg.is_number_unsigned() &&
                 arg.get<std::uint64_t>() <= std::uint64_t(std::numeric_limits<LONG>::max()));
            if (!fits)
                return BridgeError{ErrorCode::Args,
                                   which + " must be an integer from -2147483648 to 2147483647",
                                   {}};
            out.push_back(platform::com::Variant::I4(LONG(arg.get<std::int64_t>())));
        }
    }
    return std::nullopt;
}

}  // namespace ostrel::bridge
