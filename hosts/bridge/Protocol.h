#pragma once
// The messages between the extension and this host: requests, replies and
// errors, the web origins a request may come from, and the control's methods
// a page may call with the types of their arguments.

#include <nlohmann/json.hpp>

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/com/Variant.h"

namespace ostrel::bridge {

inline constexpr int kProtocol = 1;

// Busy: the user is answering another question; the call may be tried again.
enum class ErrorCode { Version, Method, Args, Origin, Consent, Cancelled, TooLarge, Call, Busy };
const char* ErrorCodeName(ErrorCode code);

struct BridgeError {
    ErrorCode code;
    std::string message;
    std::optional<HRESULT> hresult;  // the control's result code (ERR_CALL)
};

// Whether `text` tells something of this computer that a page must not
// learn: the user's name or home, or any file's path.
bool NamesLocalDetail(std::string_view text);
// What a page is told, for each code, when the message itself cannot be
// shown; it names nothing of this computer.
const char* GenericMessage(ErrorCode code);

// {"id": id, "error": {"code": ..., "message": ..., "hresult": "0x..."}}.
nlohmann::json ErrorReply(const nlohmann::json& id, const BridgeError& error);
// {"id": id, "result": result}.
nlohmann::json ResultReply(const nlohmann::json& id, nlohmann::json result);
// The reply as the bytes of one frame; text that is not UTF-8 is replaced.
std::string Serialize(const nlohmann::json& reply);

// The longest message a browser takes from a host; it drops the connection
// on a longer one.
inline constexpr std::size_t kMaxReply = std::size_t(1) << 20;
// Serialize, but a reply longer than kMaxReply becomes ERR_TOO_LARGE with
// the same id (with none when the id alone is too long).
std::string SerializeForBrowser(const nlohmann::json& reply);

// A page's origin as the browser states it: https://host[:port], or http on
// the loopback (127.0.0.0/8, localhost, [::1]); the host in lower case, no
// user, path, query or fragment.
bool IsWebOrigin(std::string_view origin);

struct Request {
    nlohmann::json id;  // a number or a string
    std::string method;
    std::optional<std::string> origin;
    // An array (empty when not given to "hello") of the arguments' values; an
    // argument that is itself an array or object stands as an empty one, since
    // no method takes such a value and its content is never kept.
    nlohmann::json args;
};

// What a request may hold. No method takes more than two arguments, nor a
// value nested inside one; the bounds leave room for that and refuse a
// message built to make the host spend memory or stack on it.
inline constexpr std::size_t kMaxDepth = 64;
inline constexpr std::size_t kMaxArgs = 16;

// A request read from one message, or the error to answer it with and the
// id it carried (null when none could be read).
struct Parsed {
    std::optional<Request> request;
    nlohmann::json id;
    BridgeError error{ErrorCode::Args, {}, {}};
};
// Reads the message as it is parsed, without building a tree of it: what a
// request cannot hold is counted and refused, never stored, so a message
// takes little more memory than its own text.
Parsed ParseRequest(std::string_view body);
// The same for a message read for this request alone: the pages of `body`
// the parser has passed are given back to the system as it goes, and what
// `body` holds afterwards is undefined (it is only to be freed).
Parsed ParseRequestReleasing(std::string& body);

// Options: a JSON object's text (the page's library writes an object as such
// text), read by the session for what the user is asked before the call.
enum class ArgKind { Text, Long, Options };
enum class ResultKind { Text, Bool, Long };

// What a call asks of the user before the control is called.
enum class Question {
    None,             // reads a certificate or a signed message: nobody is asked
    UseCertificates,  // may the site use the certificates (the grant "always")
    SignUnseen,       // may it sign this text with the certificate it names ("withoutPrompt")
    // SignUnseen when the options (the last argument) name a position,
    // UseCertificates when they leave the choice to the user.
    ByOptions,
};

// When the control shows its chooser during the call.
enum class Chooser {
    Never,
    Always,
    WithoutPosition,  // when the position (the second argument) is negative
    ByOptions,        // when the options name no position
};

// The object a method belongs to: the control, or the signer
// (OSTREL.Signer.1), whose methods pages call as "Signer.<method>".
enum class Target { Control, Signer };

struct MethodInfo {
    std::string_view name;
    std::vector<ArgKind> args;
    ResultKind result;
    Question question;
    Chooser chooser;
    Target target;
    // The name the object knows the method by.
    std::string_view member;
};

// The control's methods a page may call: the one list of them. The page's
// library (page/ostrel.js) and the extension (extension/background.js) hold
// copies written from it, which hosts_bridge_test holds to it.
std::span<const MethodInfo> Methods();

// The method of that exact name, or nothing.
const MethodInfo* FindMethod(std::string_view name);

// The request's arguments as the method takes them, or ERR_ARGS. Options
// that decide the question (Question::ByOptions) are handed on as the text
// of the object ReadCertificateChoice read, so that the object reads exactly
// what the session decided on.
std::optional<BridgeError> ConvertArgs(const MethodInfo& method, const nlohmann::json& args,
                                       std::vector<platform::com::Variant>& out);

// What options say of the certificate, as far as the user is concerned: a
// position to sign with unseen, or the user's choice (the chooser).
struct CertificateChoice {
    std::optional<long> position;
    // The options with "certificate" made explicit ("choose" where none was
    // given), as the object is to read them.
    std::string options;
};
// Reads the options text of argument `which` of `method`: a JSON object
// whose "certificate" is a position or "choose" (or missing). Anything else
// is ERR_ARGS; the object itself judges the other keys.
std::optional<BridgeError> ReadCertificateChoice(std::string_view method, std::size_t which,
                                                 const std::string& text, CertificateChoice& out);

// The question a call asks and whether the control shows its chooser, for
// the request's arguments as checked by ConvertArgs.
struct CallQuestion {
    Question question;  // None, UseCertificates or SignUnseen
    bool chooser;
    long position = -1;  // SignUnseen: the certificate's position
};
CallQuestion QuestionOf(const MethodInfo& method, const nlohmann::json& args);

}  // namespace ostrel::bridge
