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

// Another of the user's hosts has a question or the chooser on screen.
BridgeError Busy(const std::string& origin) {
    return {ErrorCode::Busy,
            "you are answering another question; " + origin + " may ask once it is answered",
            {}};
}

}  // namespace

std::optional<BridgeError> Session::Consent(const MethodInfo& method, const CallQuestion& question,
                                            const std::string& origin, const json& args,
                                            std::optional<QuestionTurn>& turn) {
    using Verdict = ConsentDecision::Verdict;
    // A grants file that cannot be read or kept is refused whole; what is
    // wrong with it goes to the host's log only (its path names the user).
    const auto broken = [&](const ConsentError& e) {
        m_log << "ostrel-bridge: " << e.what() << "\n";
    };
    ConsentFacts facts;
    facts.question = question.question;
    facts.origin = origin;
    try {
        facts.grant = m_consent.Find(origin);
    } catch (const ConsentError& e) {
        broken(e);
    }
    ConsentDecision decision = DecideConsent(facts);
    if (decision.grantIgnored)
        m_log << "ostrel-bridge: the grant of " << origin
              << " is not honoured: any user of this computer can serve that site, so it is "
                 "asked every time\n";

    // A "no" holds back the site's whole domain for a while.
    std::string site;
    const auto pause = m_consent.Times().pause;
    if (decision.verdict == Verdict::Ask) {
        site = PauseScope(origin);
        try {
            turn = m_consent.TakeTurn(m_consent.Times().turnWait);
            // Another process may have had this site's answer while this one
            // waited.
            facts.grant = m_consent.Find(origin);
        } catch (const ConsentError& e) {
            broken(e);
            facts.grant.reset();
        }
        if (facts.grant && !turn) return Busy(origin);
        if (turn) facts.pauseLeft = turn->PauseLeft(site, pause);
        decision = DecideConsent(facts);
    }
    if (decision.verdict == Verdict::Ask) {
        facts.answer = question.question == Question::SignUnseen
                           // The arguments were checked: the text comes first, and the
                           // position was read from them.
                           ? m_user.ConfirmSigning(origin, question.position,
                                                   args[0].get_ref<const std::string&>())
                           : m_user.AskConsent(origin, method.name);
        decision = DecideConsent(facts);
    }

    if (decision.keep) {
        try {
            m_consent.Set(origin, *decision.keep, !decision.replace);
        } catch (const ConsentError& e) {
            // A "yes" holds for this call; only the next one asks again.
            m_log << "ostrel-bridge: cannot keep the "
                  << (decision.keep->blocked ? "block" : "permission") << " of " << origin << ": "
                  << e.what() << "\n";
        }
    }
    if (decision.startPause && turn) turn->StartPause(site, pause);
    if (decision.verdict == Verdict::Allow) return std::nullopt;
    return decision.refusal;
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
    const CallQuestion question = QuestionOf(*method, request.args);
    if (question.question != Question::None) {
        if (auto refusal = Consent(*method, question, *request.origin, request.args, turn))
            return Refuse(id, *refusal, &request);
        if (!turn && question.chooser) {
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
        return Refuse(id, {e.code, e.message, e.hresult}, &request, e.detail);
    }
}

}  // namespace ostrel::bridge
