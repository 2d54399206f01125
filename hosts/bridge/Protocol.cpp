#include "hosts/bridge/Protocol.h"

#include <pwd.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <limits>
#include <optional>
#include <utility>

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

namespace {

bool IsWordChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '-' || c == '.';
}

// Whether `word` occurs in `text` with no word character on either side.
bool HasWord(std::string_view text, std::string_view word) {
    if (word.empty()) return false;
    for (std::size_t at = text.find(word); at != std::string_view::npos;
         at = text.find(word, at + 1)) {
        const bool before = at > 0 && IsWordChar(text[at - 1]);
        const std::size_t end = at + word.size();
        const bool after = end < text.size() && IsWordChar(text[end]);
        if (!before && !after) return true;
    }
    return false;
}

// A path written out: "/" or "~/" at the start of a word, followed by a
// name. A URL's "//" follows a colon, so an origin is no path.
bool HasPath(std::string_view text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        std::size_t at = i;
        if (text[i] == '~' && i + 1 < text.size() && text[i + 1] == '/')
            at = i + 1;
        else if (text[i] != '/')
            continue;
        const char before = i > 0 ? text[i - 1] : ' ';
        const bool starts = before == ' ' || before == '\t' || before == '\n' || before == '"' ||
                            before == '\'' || before == '`' || before == '(' || before == '[' ||
                            before == '<' || before == '=' || before == ',';
        if (starts && at + 1 < text.size() && (IsWordChar(text[at + 1]) || text[at + 1] == '~'))
            return true;
    }
    return false;
}

// The user's names for themselves as the process knows them.
std::vector<std::string> UserNames() {
    std::vector<std::string> names;
    for (const char* variable : {"USER", "LOGNAME", "HOME"})
        if (const char* value = std::getenv(variable); value != nullptr && *value != '\0')
            names.emplace_back(value);
    if (const passwd* pw = ::getpwuid(::getuid()); pw != nullptr) {
        if (pw->pw_name != nullptr) names.emplace_back(pw->pw_name);
        if (pw->pw_dir != nullptr) names.emplace_back(pw->pw_dir);
    }
    return names;
}

}  // namespace

bool NamesLocalDetail(std::string_view text) {
    if (HasPath(text)) return true;
    static const std::vector<std::string> names = UserNames();
    for (const std::string& name : names) {
        // A home of "/" says nothing; any other is a path, found above
        // where it stands alone, and here where it is glued to other text.
        if (name == "/") continue;
        if (name.front() == '/' ? text.find(name) != std::string_view::npos : HasWord(text, name))
            return true;
    }
    return false;
}

const char* GenericMessage(ErrorCode code) {
    switch (code) {
        case ErrorCode::Version:
            return "the request does not follow this host's protocol";
        case ErrorCode::Method:
            return "the method is not one pages may call";
        case ErrorCode::Args:
            return "the request or its arguments are not valid";
        case ErrorCode::Origin:
            return "the page's origin may not use ostrel";
        case ErrorCode::Consent:
            return "this site may not use your certificates now";
        case ErrorCode::Cancelled:
            return "the question was closed without an answer";
        case ErrorCode::TooLarge:
            return "the message is too large";
        case ErrorCode::Busy:
            return "too much is waiting to be answered; ask again later";
        case ErrorCode::Call:
            break;
    }
    return "the ostrel control could not carry out the call";
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

enum class Field { V, Id, Origin, Method, Args, Unknown };

Field FieldNamed(std::string_view key) {
    if (key == "v") return Field::V;
    if (key == "id") return Field::Id;
    if (key == "origin") return Field::Origin;
    if (key == "method") return Field::Method;
    if (key == "args") return Field::Args;
    return Field::Unknown;
}

// Takes the parser's events for one message and keeps only what a request
// holds: the five fields' values and at most kMaxArgs arguments, each
// argument's text moved from the parser rather than copied. Everything else
// is looked at once and let go, so that a message of a million empty objects
// costs no more memory than one of a single text of the same length. The
// parser keeps its own nesting on the heap, a bit per level, so a deeply
// nested message is read to its end (and its id found) without recursion.
class RequestReader {
public:
    using number_integer_t = json::number_integer_t;
    using number_unsigned_t = json::number_unsigned_t;
    using number_float_t = json::number_float_t;
    using string_t = json::string_t;
    using binary_t = json::binary_t;

    bool null() { return Value(json(nullptr)); }
    bool boolean(bool value) { return Value(json(value)); }
    bool number_integer(number_integer_t value) { return Value(json(value)); }
    bool number_unsigned(number_unsigned_t value) { return Value(json(value)); }
    bool number_float(number_float_t value, const string_t&) { return Value(json(value)); }
    bool string(string_t& value) {
        // Only texts that are kept are taken; the parser reuses its buffer.
        if (!Keeps()) return Value(json());
        return Value(json(std::move(value)));
    }
    bool binary(binary_t&) { return Value(json()); }
    bool start_object(std::size_t) { return Open(true); }
    bool start_array(std::size_t) { return Open(false); }
    bool end_object() { return Close(); }
    bool end_array() { return Close(); }
    bool key(string_t& name) {
        if (m_depth != 1) return true;
        m_field = FieldNamed(name);
        if (m_field == Field::Unknown) {
            if (!m_unknown) m_unknown = name.size() <= 64 ? name : name.substr(0, 64) + "...";
            return true;
        }
        const auto bit = 1u << unsigned(m_field);
        if ((m_seen & bit) != 0 && !m_twice) m_twice = name;
        m_seen |= bit;
        return true;
    }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) {
        m_broken = true;
        return false;
    }

    Parsed Finish() {
        if (m_notObject)
            return Refuse(nullptr, ErrorCode::Args, "the message is not a JSON object");
        if (m_broken) return Refuse(nullptr, ErrorCode::Args, "the message is not valid JSON");
        json id = m_id.is_number() || m_id.is_string() ? std::move(m_id) : json(nullptr);
        if (m_tooDeep)
            return Refuse(
                std::move(id), ErrorCode::Args,
                "the message nests values more than " + std::to_string(kMaxDepth) + " levels deep");
        if (!m_v.is_number_integer() || m_v != kProtocol)
            return Refuse(std::move(id), ErrorCode::Version,
                          "this host speaks protocol version 1 only");
        if (m_twice)
            return Refuse(std::move(id), ErrorCode::Args,
                          "the field \"" + *m_twice + "\" is given twice");
        if (m_unknown)
            return Refuse(std::move(id), ErrorCode::Args, "unknown field \"" + *m_unknown + "\"");
        if (id.is_null())
            return Refuse(std::move(id), ErrorCode::Args, "\"id\" must be a number or a string");
        if (!m_method.is_string())
            return Refuse(std::move(id), ErrorCode::Args, "\"method\" must be a string");
        if (Has(Field::Origin) && !m_origin.is_string())
            return Refuse(std::move(id), ErrorCode::Args, "\"origin\" must be a string");
        if (Has(Field::Args) && !m_argsIsArray)
            return Refuse(std::move(id), ErrorCode::Args, "\"args\" must be an array");
        if (m_argCount > kMaxArgs)
            return Refuse(std::move(id), ErrorCode::Args,
                          "a request carries at most " + std::to_string(kMaxArgs) + " arguments");

        Request request;
        request.id = id;
        request.method = std::move(m_method.get_ref<std::string&>());
        if (Has(Field::Origin)) request.origin = std::move(m_origin.get_ref<std::string&>());
        request.args = std::move(m_args);
        Parsed out;
        out.id = std::move(id);
        out.request = std::move(request);
        return out;
    }

private:
    bool Has(Field field) const { return (m_seen & (1u << unsigned(field))) != 0; }

    // Whether the value that comes next is kept.
    bool Keeps() const {
        if (m_depth == 1) return m_field != Field::Unknown;
        return m_depth == 2 && m_field == Field::Args && m_argsIsArray && m_argCount < kMaxArgs;
    }

    // A value that is not an array or object, or the stand-in for one that is.
    bool Value(json value) {
        if (m_depth == 0) {
            m_notObject = true;
            return false;
        }
        if (m_depth == 1) {
            switch (m_field) {
                case Field::V:
                    m_v = std::move(value);
                    break;
                case Field::Id:
                    m_id = std::move(value);
                    break;
                case Field::Origin:
                    m_origin = std::move(value);
                    break;
                case Field::Method:
                    m_method = std::move(value);
                    break;
                case Field::Args:
                    m_argsIsArray = false;
                    break;
                case Field::Unknown:
                    break;
            }
        } else if (m_depth == 2 && m_field == Field::Args && m_argsIsArray) {
            if (m_argCount < kMaxArgs) m_args.push_back(std::move(value));
            ++m_argCount;
        }
        return true;
    }

    bool Open(bool object) {
        if (m_depth == 0 && !object) {
            m_notObject = true;
            return false;
        }
        if (m_depth == 1 && m_field == Field::Args && !object) {
            m_argsIsArray = true;
        } else if (m_depth >= 1) {
            // Nothing is kept of it: the field or argument stands as empty.
            Value(object ? json::object() : json::array());
        }
        if (++m_depth > kMaxDepth) m_tooDeep = true;
        return true;
    }

    bool Close() {
        --m_depth;
        return true;
    }

    std::size_t m_depth = 0;
    Field m_field = Field::Unknown;
    unsigned m_seen = 0;
    bool m_notObject = false;
    bool m_broken = false;
    bool m_tooDeep = false;
    bool m_argsIsArray = false;
    std::size_t m_argCount = 0;
    std::optional<std::string> m_unknown;
    std::optional<std::string> m_twice;
    json m_v, m_id, m_origin, m_method;
    json m_args = json::array();
};

}  // namespace

Parsed ParseRequest(std::string_view body) {
    if (!platform::com::IsValidUtf8(body))
        return Refuse(nullptr, ErrorCode::Args, "the message is not valid UTF-8");
    RequestReader reader;
    json::sax_parse(body.data(), body.data() + body.size(), &reader, json::input_format_t::json,
                    true, false);
    return reader.Finish();
}

namespace {

// Walks a message's text for the parser and gives the pages it has left
// behind back to the system. While the parser gathers a long text its buffer
// grows by doubling: with the whole message still held beside it, one text
// of a message near the limit would take four times the message's size.
class ReleasingReader {
public:
    using iterator_category = std::input_iterator_tag;
    using value_type = char;
    using difference_type = std::ptrdiff_t;
    using pointer = const char*;
    using reference = const char&;

    struct Span {
        char* released;  // everything before it has been given back
        std::size_t page;
    };
    ReleasingReader(const char* at, Span* span) : m_at(at), m_span(span) {}

    reference operator*() const { return *m_at; }
    ReleasingReader& operator++() {
        ++m_at;
        // A step of a few MiB keeps the calls rare; a page is kept behind
        // the reader, which never looks back further than one character.
        if (m_span != nullptr && m_at - m_span->released >= kStep) Release();
        return *this;
    }
    ReleasingReader operator++(int) {
        ReleasingReader before = *this;
        ++*this;
        return before;
    }
    bool operator==(const ReleasingReader& other) const { return m_at == other.m_at; }
    bool operator!=(const ReleasingReader& other) const { return m_at != other.m_at; }

private:
    static constexpr std::ptrdiff_t kStep = 4 << 20;

    void Release() {
        const auto page = std::uintptr_t(m_span->page);
        const auto from = (std::uintptr_t(m_span->released) + page - 1) & ~(page - 1);
        const auto to = (std::uintptr_t(m_at) - page) & ~(page - 1);
        if (to > from) ::madvise(reinterpret_cast<void*>(from), to - from, MADV_DONTNEED);
        m_span->released = const_cast<char*>(m_at);
    }

    const char* m_at;
    Span* m_span;
};

}  // namespace

Parsed ParseRequestReleasing(std::string& body) {
    if (!platform::com::IsValidUtf8(body))
        return Refuse(nullptr, ErrorCode::Args, "the message is not valid UTF-8");
    RequestReader reader;
    ReleasingReader::Span span{body.data(), std::size_t(::sysconf(_SC_PAGESIZE))};
    json::sax_parse(ReleasingReader(body.data(), &span),
                    ReleasingReader(body.data() + body.size(), nullptr), &reader,
                    json::input_format_t::json, true, false);
    return reader.Finish();
}

std::span<const MethodInfo> Methods() {
    using enum ArgKind;
    static const MethodInfo kMethods[] = {
        {"SignMessage",
         {Text},
         ResultKind::Text,
         Question::UseCertificates,
         Chooser::Always,
         Target::Control,
         "SignMessage"},
        {"SignMessageNoPrompt",
         {Text, Long},
         ResultKind::Text,
         Question::SignUnseen,
         Chooser::WithoutPosition,
         Target::Control,
         "SignMessageNoPrompt"},
        {"ChooseCertificate",
         {},
         ResultKind::Long,
         Question::UseCertificates,
         Chooser::Always,
         Target::Control,
         "ChooseCertificate"},
        {"VerifyMessage",
         {Text},
         ResultKind::Bool,
         Question::None,
         Chooser::Never,
         Target::Control,
         "VerifyMessage"},
        {"GetSubjectName",
         {Text},
         ResultKind::Text,
         Question::None,
         Chooser::Never,
         Target::Control,
         "GetSubjectName"},
        {"GetSerialNumber",
         {Text},
         ResultKind::Text,
         Question::None,
         Chooser::Never,
         Target::Control,
         "GetSerialNumber"},
        {"Signer.Sign",
         {Text, Options},
         ResultKind::Text,
         Question::ByOptions,
         Chooser::ByOptions,
         Target::Signer,
         "Sign"},
        {"Signer.ChooseCertificate",
         {Options},
         ResultKind::Long,
         Question::UseCertificates,
         Chooser::Always,
         Target::Signer,
         "ChooseCertificate"},
    };
    return kMethods;
}

const MethodInfo* FindMethod(std::string_view name) {
    for (const MethodInfo& m : Methods())
        if (m.name == name) return &m;
    return nullptr;
}

namespace {

bool FitsLong(const json& arg) {
    return (arg.is_number_integer() && !arg.is_number_unsigned() &&
            arg.get<std::int64_t>() >= std::numeric_limits<LONG>::min() &&
            arg.get<std::int64_t>() <= std::numeric_limits<LONG>::max()) ||
           (arg.is_number_unsigned() &&
            arg.get<std::uint64_t>() <= std::uint64_t(std::numeric_limits<LONG>::max()));
}

}  // namespace

std::optional<BridgeError> ReadCertificateChoice(std::string_view method, std::size_t which,
                                                 const std::string& text, CertificateChoice& out) {
    const std::string where =
        "argument " + std::to_string(which) + " of " + std::string(method) + " (the options)";
    const auto refuse = [&](const std::string& why) {
        return BridgeError{ErrorCode::Args, where + " " + why, {}};
    };
    // A key given twice would be read one way here and perhaps another way by
    // the object: the session must decide on what the object reads.
    std::optional<std::string> twice;
    std::vector<std::string> keys;
    const json::parser_callback_t noteKeys = [&](int depth, json::parse_event_t event,
                                                 json& parsed) {
        if (depth == 1 && event == json::parse_event_t::key && parsed.is_string()) {
            const auto& key = parsed.get_ref<const std::string&>();
            for (const auto& seen : keys)
                if (seen == key && !twice) twice = key;
            keys.push_back(key);
        }
        return true;
    };
    json options;
    try {
        options = json::parse(text, noteKeys);
    } catch (const json::exception&) {
        return refuse("must be the text of a JSON object");
    }
    if (!options.is_object()) return refuse("must be the text of a JSON object");
    if (twice) return refuse("gives \"" + *twice + "\" twice");
    out.position.reset();
    if (const auto it = options.find("certificate"); it == options.end()) {
        options["certificate"] = "choose";
    } else if (FitsLong(*it)) {
        out.position = long(it->get<std::int64_t>());
    } else if (!(it->is_string() && it->get_ref<const std::string&>() == "choose")) {
        return refuse(
            "must give \"certificate\" as a position in the store (an integer) or \"choose\"");
    }
    out.options = options.dump(-1, ' ', false, json::error_handler_t::strict);
    return std::nullopt;
}

CallQuestion QuestionOf(const MethodInfo& method, const json& args) {
    CallQuestion out{method.question, true, -1};
    const auto position = [&]() -> std::optional<long> {
        if (!args.is_array() || args.empty() || !args.back().is_string()) return std::nullopt;
        CertificateChoice choice;
        if (ReadCertificateChoice(method.name, args.size(), args.back().get<std::string>(), choice))
            return std::nullopt;
        return choice.position;
    };
    switch (method.chooser) {
        case Chooser::Never:
            out.chooser = false;
            break;
        case Chooser::Always:
            break;
        case Chooser::WithoutPosition:
            out.chooser = args.is_array() && args.size() == 2 && args[1].is_number_integer() &&
                          args[1].get<std::int64_t>() < 0;
            break;
        case Chooser::ByOptions:
            out.chooser = !position().has_value();
            break;
    }
    if (method.question == Question::ByOptions) {
        const auto at = position();
        out.question = at ? Question::SignUnseen : Question::UseCertificates;
        if (at) out.position = *at;
    } else if (method.question == Question::SignUnseen && args.is_array() && args.size() == 2 &&
               args[1].is_number_integer()) {
        out.position = long(args[1].get<std::int64_t>());
    }
    return out;
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
        if (method.args[i] == ArgKind::Text || method.args[i] == ArgKind::Options) {
            if (!arg.is_string())
                return BridgeError{ErrorCode::Args, which + " must be a string", {}};
            const std::string& text = arg.get_ref<const std::string&>();
            // The control takes its texts whole; one cut short at a NUL
            // would be signed or checked as something else.
            if (text.find('\0') != std::string::npos)
                return BridgeError{ErrorCode::Args, which + " must not contain NUL", {}};
            // Options that say which certificate signs are read here, for
            // the question the user is asked; others are the object's alone.
            if (method.args[i] == ArgKind::Options && method.question == Question::ByOptions) {
                CertificateChoice choice;
                if (auto error = ReadCertificateChoice(method.name, i + 1, text, choice))
                    return error;
                out.push_back(platform::com::Variant::Str(choice.options));
            } else {
                out.push_back(platform::com::Variant::Str(text));
            }
        } else {
            if (!FitsLong(arg))
                return BridgeError{ErrorCode::Args,
                                   which + " must be an integer from -2147483648 to 2147483647",
                                   {}};
            out.push_back(platform::com::Variant::I4(LONG(arg.get<std::int64_t>())));
        }
    }
    return std::nullopt;
}

}  // namespace ostrel::bridge
