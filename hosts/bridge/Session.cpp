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

namespace {

enum class Standing { Go, Blocked, Ask };

// What the site's grants decide before anyone is asked.
Standing StandingOf(const Grant& grant, const std::string& origin, bool signsUnseen,
                    std::ostream& log) {
    if (grant.blocked) return Standing::Blocked;
    if (!(signsUnseen ? grant.withoutPrompt : grant.always)) return Standing::Ask;
    if (!IsSharedLoopback(origin)) return Standing::Go;
    // Written by an older release, or by hand: not honoured.
    log << "ostrel-bridge: the grant of " << origin
        << " is not honoured: any user of this computer can serve that site, so it is "
           "asked every time\n";
    return Standing::Ask;
}

// Another of the user's hosts has a question or the chooser on screen.
BridgeError Busy(const std::string& origin) {
    return {ErrorCode::Busy,
            "you are answering another question; " + origin + " may ask once it is answered",
            {}};
}

// Whether the control will let the user choose a certificate in this call.
bool ShowsChooser(const MethodInfo& method, const json& args) {
    switch (method.chooser) {
        case Chooser::Never:
            return false;
        case Chooser::Always:
            return true;
        case Chooser::WithoutPosition:
            return args.is_array() && args.size() == 2 && args[1].is_number_integer() &&
                   args[1].get<std::int64_t>() < 0;
    }
    return true;
}

}  // namespace

std::optional<BridgeError> Session::Consent(const MethodInfo& method, const std::string& origin,
                                            const json& args, std::optional<QuestionTurn>& turn) {
    const bool signsUnseen = method.question == Question::SignUnseen;
    const auto refuse = [&](const std::string& what) {
        return BridgeError{ErrorCode::Consent, what, {}};
    };
    // Pages hear what went wrong, never where: the grants file's path holds
    // the user's name. The whole story goes to the browser's log of the host.
    const auto broken = [&](const ConsentError& e) {
        m_log << "ostrel-bridge: " << e.what() << "\n";
        return refuse("cannot tell whether " + origin +
                      " may use your certificates: the site permissions cannot be read or "
                      "kept; `ostrel bridge origins list` says why");
    };
    const std::string blocked = "you blocked " + origin + "; `ostrel bridge origins revoke " +
                                origin + "` lets it ask again";
    const std::string allow =
        IsSharedLoopback(origin)
            ? std::string("it is asked every time, as it is served over http on this computer")
            : "run `ostrel bridge origins allow " + origin +
                  (signsUnseen ? " --without-prompt` to let it sign without asking"
                               : "` to allow it");

    Grant grant;
    try {
        grant = m_consent.Find(origin);
    } catch (const ConsentError& e) {
        return broken(e);
    }
    // Where the grants decide, nobody is asked.
    const auto decided = [&](Standing standing) -> std::optional<BridgeError> {
        if (standing == Standing::Blocked) return refuse(blocked);
        return std::nullopt;
    };
    if (const Standing standing = StandingOf(grant, origin, signsUnseen, m_log);
        standing != Standing::Ask)
        return decided(standing);

    try {
        turn = m_consent.TakeTurn(m_consent.Times().turnWait);
        // Another process may have had this site's answer while this one
        // waited.
        grant = m_consent.Find(origin);
    } catch (const ConsentError& e) {
        return broken(e);
    }
    if (!turn) return Busy(origin);
    if (const Standing standing = StandingOf(grant, origin, signsUnseen, m_log);
        standing != Standing::Ask)
        return decided(standing);
    // A "no" holds a while, so that a page cannot ask again and again.
    const std::string site = PauseScope(origin);
    const auto pause = m_consent.Times().pause;
    if (const auto left = turn->PauseLeft(site, pause); left.count() > 0)
        return refuse("you said no to " + site + " a moment ago; " + origin + " may ask again in " +
                      std::to_string((left.count() + 999) / 1000) + " s");

    const Answer answer = signsUnseen
                              // The arguments were checked: a text and a number that fits a long.
                              ? m_user.ConfirmSigning(origin, long(args[1].get<std::int64_t>()),
                                                      args[0].get_ref<const std::string&>())
                              : m_user.AskConsent(origin, method.name);
    switch (answer.kind) {
        case Answer::Kind::Once:
            return std::nullopt;
        case Answer::Kind::Always:
            // Only the question before choosing offers it, and not to a site
            // that is asked every time.
            if (!signsUnseen && !IsSharedLoopback(origin)) {
                try {
                    m_consent.Set(origin, Grant{true, false, false}, true);
                } catch (const ConsentError& e) {
                    // The user said yes to this call; only the next one asks again.
                    m_log << "ostrel-bridge: cannot keep the permission of " << origin << ": "
                          << e.what() << "\n";
                }
            }
            return std::nullopt;
        case Answer::Kind::Block:
            try {
                m_consent.Set(origin, Grant{false, false, true}, false);
            } catch (const ConsentError& e) {
                m_log << "ostrel-bridge: cannot keep the block of " << origin << ": " << e.what()
                      << "\n";
            }
            // Kept, so no pause is needed; and once the user revokes the
            // block, the site may ask at once.
            return refuse(blocked);
        case Answer::Kind::Deny:
            turn->StartPause(site, pause);
            return refuse(signsUnseen
                              ? "you did not let " + origin + " sign the text; " + allow
                              : "you denied " + origin + " the use of your certificates; " + allow);
        case Answer::Kind::Dismissed:
            turn->StartPause(site, pause);
            return BridgeError{ErrorCode::Cancelled,
                               signsUnseen ? "the confirmation to sign for " + origin +
                                                 " was closed without an answer"
                                           : "the question whether " + origin +
                                                 " may use your certificates was closed "
                                                 "without an answer",
                               {}};
        case Answer::Kind::NobodyToAsk:
            break;
    }
    return refuse(origin +
                  (signsUnseen ? " may not sign without asking"
                               : " has not been allowed to use your certificates") +
                  ", and nobody can be asked (" + answer.why + "); " + allow);
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
    Parsed parsed = ParseRequestReleasing(body);
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
    // The parser's buffer grew by doubling: a long text is first cut down to
    // its size, so that its UTF-16 form is not made beside twice its size.
    if (request.args.is_array())
        for (auto& arg : request.args)
            if (arg.is_string()) arg.get_ref<std::string&>().shrink_to_fit();
    std::vector<platform::com::Variant> args;
    if (auto error = ConvertArgs(*method, request.args, args)) return Refuse(id, *error, &request);
    // The turn a question took is kept through the call when the control
    // shows its chooser, and taken for it where no question was asked: no
    // other site's question may cover the chooser either.
    std::optional<QuestionTurn> turn;
    if (method->question != Question::None) {
        if (auto refusal = Consent(*method, *request.origin, request.args, turn))
            return Refuse(id, *refusal, &request);
        if (!turn && ShowsChooser(*method, request.args)) {
            try {
                turn = m_consent.TakeTurn(m_consent.Times().turnWait);
            } catch (const ConsentError& e) {
                return Refuse(id,
                              {ErrorCode::Consent, "the certificates cannot be offered now", {}},
                              &request, e.what());
            }
            if (!turn) return Refuse(id, Busy(*request.origin), &request);
        }
    }
    // The texts are in `args` now; only one copy of them goes into the call.
    request.args = nullptr;
    try {
        return ResultReply(id, m_control.Call(*method, std::move(args)));
    } catch (const CallError& e) {
        return Refuse(id, {ErrorCode::Call, e.message, e.hresult}, &request, e.detail);
    }
}

}  // namespace ostrel::bridge
