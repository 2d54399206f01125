#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "hosts/bridge/Caller.h"
#include "hosts/bridge/ConsentDialogs.h"
#include "hosts/bridge/Extension.h"
#include "hosts/bridge/Framing.h"
#include "hosts/bridge/Protocol.h"
#include "hosts/bridge/Session.h"
#include "platform/text/Bstr.h"
#include "tests/support/TestSupport.h"

namespace ostrel::bridge {
namespace {

using nlohmann::json;

std::string Header(std::uint32_t length) {
    std::string out(4, '\0');
    std::memcpy(out.data(), &length, 4);
    return out;
}

std::string FrameOf(const std::string& body) {
    return Header(std::uint32_t(body.size())) + body;
}

// Bytes from a string, at most `piece` at a time, noting the largest request.
class StringSource : public ByteSource {
public:
    explicit StringSource(std::string bytes, std::size_t piece = SIZE_MAX)
        : m_bytes(std::move(bytes)), m_piece(piece) {}
    std::size_t Read(char* into, std::size_t room) override {
        const std::size_t n = std::min({room, m_piece, m_bytes.size() - m_at});
        std::memcpy(into, m_bytes.data() + m_at, n);
        m_at += n;
        return n;
    }

private:
    std::string m_bytes;
    std::size_t m_piece;
    std::size_t m_at = 0;
};

// A frame announcing `length` bytes, made up as they are read, then `after`.
class HugeSource : public ByteSource {
public:
    HugeSource(std::uint32_t length, std::string after)
        : m_head(Header(length)), m_length(length), m_after(std::move(after)) {}
    std::size_t Read(char* into, std::size_t room) override {
        largestRequest = std::max(largestRequest, room);
        std::size_t n = 0;
        if (m_at < 4) {
            n = std::min<std::size_t>(room, 4 - m_at);
            std::memcpy(into, m_head.data() + m_at, n);
        } else if (m_at < 4 + std::uint64_t(m_length)) {
            n = std::size_t(std::min<std::uint64_t>(room, 4 + std::uint64_t(m_length) - m_at));
            std::memset(into, 'x', n);
        } else {
            const std::size_t at = std::size_t(m_at - 4 - m_length);
            n = std::min(room, m_after.size() - at);
            std::memcpy(into, m_after.data() + at, n);
        }
        m_at += n;
        return n;
    }
    std::size_t largestRequest = 0;

private:
    std::string m_head;
    std::uint32_t m_length;
    std::string m_after;
    std::uint64_t m_at = 0;
};

TEST(BridgeFraming, ReadsFramesWhateverPiecesThePipeGives) {
    for (std::size_t piece : {std::size_t(1), std::size_t(3), SIZE_MAX}) {
        SCOPED_TRACE(piece);
        StringSource in(FrameOf("{\"a\":1}") + Header(0) + FrameOf("[]"), piece);
        Frame f = ReadFrame(in);
        EXPECT_EQ(f.kind, Frame::Kind::Message);
        EXPECT_EQ(f.body, "{\"a\":1}");
        EXPECT_EQ(ReadFrame(in).kind, Frame::Kind::Empty);
        f = ReadFrame(in);
        EXPECT_EQ(f.kind, Frame::Kind::Message);
        EXPECT_EQ(f.body, "[]");
        EXPECT_EQ(ReadFrame(in).kind, Frame::Kind::End);
    }
}

TEST(BridgeFraming, AnInputEndingAnywhereIsTheEnd) {
    const std::string whole = FrameOf("{\"v\":1}");
    // Every cut: none, inside the length, inside the body.
    for (std::size_t cut = 0; cut < whole.size(); ++cut) {
        SCOPED_TRACE(cut);
        StringSource in(whole.substr(0, cut));
        EXPECT_EQ(ReadFrame(in).kind, Frame::Kind::End);
    }
    // A length far beyond what follows is not taken on trust.
    StringSource promised(Header(kMaxMessage) + "abc");
    EXPECT_EQ(ReadFrame(promised).kind, Frame::Kind::End);
}

TEST(BridgeFraming, AnOverLongMessageIsPassedOverInBoundedPiecesAndTheNextOneRead) {
    const std::uint32_t length = kMaxMessage + 1 + 37 * 1024 * 1024;
    HugeSource in(length, FrameOf("{\"next\":true}"));
    Frame f = ReadFrame(in);
    EXPECT_EQ(f.kind, Frame::Kind::TooLarge);
    EXPECT_EQ(f.size, length);
    EXPECT_TRUE(f.body.empty());
    EXPECT_LE(in.largestRequest, kReadPiece);
    f = ReadFrame(in);
    EXPECT_EQ(f.kind, Frame::Kind::Message);
    EXPECT_EQ(f.body, "{\"next\":true}");
    EXPECT_EQ(ReadFrame(in).kind, Frame::Kind::End);

    // Cut short while being passed over: the end, not a reply.
    StringSource cut(Header(kMaxMessage + 1) + std::string(100000, 'x'));
    EXPECT_EQ(ReadFrame(cut).kind, Frame::Kind::End);
}

TEST(BridgeFraming, WritesTheLengthInTheMachinesOrder) {
    struct Sink : ByteSink {
        std::string bytes;
        void Write(const char* b, std::size_t n) override { bytes.append(b, n); }
    } sink;
    WriteFrame(sink, "{\"id\":1}");
    WriteFrame(sink, "");
    EXPECT_EQ(sink.bytes, FrameOf("{\"id\":1}") + Header(0));
    StringSource back(sink.bytes);
    EXPECT_EQ(ReadFrame(back).body, "{\"id\":1}");
}

TEST(BridgeOrigin, OnlySecureAndLoopbackOriginsAreWebOrigins) {
    const char* good[] = {
        "https://example.org",     "https://example.org:8443",
        "https://a.b-c.example",   "https://xn--bcher-kva.example",
        "https://192.0.2.10",      "http://localhost",
        "http://localhost:8080",   "http://127.0.0.1",
        "http://127.255.0.9:3000", "http://[::1]",
        "http://[::1]:8000",       "https://localhost",
        "https://[::1]:443",
    };
    for (const char* origin : good) EXPECT_TRUE(IsWebOrigin(origin)) << origin;
    const char* bad[] = {
        "",
        "example.org",
        "http://example.org",
        "http://128.0.0.1",
        "http://192.168.1.1",
        "http://[::2]",
        "http://[::1",
        "ftp://example.org",
        "chrome-extension://abcdefghijklmnopabcdefghijklmnop",
        "https://Example.org",
        "HTTPS://example.org",
        "https://example.org/",
        "https://example.org/path",
        "https://example.org?q",
        "https://example.org#f",
        "https://user@example.org",
        "https://user:pw@example.org",
        "https://example.org:",
        "https://example.org:0",
        "https://example.org:65536",
        "https://example.org:08",
        "https://example.org:80:80",
        "https://",
        "https://.example.org",
        "https://example..org",
        "https://-a.example",
        "https://a-.example",
        "https://exa mple.org",
        "http://127.0.0.01",
        "http://127.0.0",
        "http://127.0.0.1.",
        "http://127.0.0.256",
        "http://localhost.",
        "https://[::1]x",
        "null",
    };
    for (const char* origin : bad) EXPECT_FALSE(IsWebOrigin(origin)) << origin;
    EXPECT_FALSE(IsWebOrigin(std::string("https://example.org\0.evil", 25)));
}

// Records the calls that reach the control and answers them.
class FakeControl : public ControlPort {
public:
    json Call(const MethodInfo& method, std::vector<platform::com::Variant> args) override {
        calls.push_back(std::string(method.name));
        lastArgs = std::move(args);
        if (failWith) throw CallError{"it failed", *failWith, detail};
        if (refusal) throw *refusal;
        return answer;
    }
    std::vector<std::string> calls;
    std::optional<CallError> refusal;
    std::vector<platform::com::Variant> lastArgs;
    json answer = true;
    std::optional<HRESULT> failWith;
    std::string detail;
};

std::string Code(const json& reply) {
    return reply.contains("error") ? reply["error"]["code"].get<std::string>() : "";
}

class BridgeSession : public ::testing::Test {
protected:
    json Send(const json& message) { return session.Handle(message.dump()); }
    json Call(const std::string& method, json args, json id = 7) {
        return Send({{"v", 1},
                     {"id", id},
                     {"origin", "https://bank.example"},
                     {"method", method},
                     {"args", args}});
    }
    void Greet() {
        const json reply = Send({{"v", 1}, {"id", "h"}, {"method", "hello"}});
        ASSERT_EQ(reply, json({{"id", "h"}, {"result", {{"host", "9.8.7"}, {"protocol", 1}}}}));
    }

    FakeControl control;
    // Nobody to ask (the tests' OSTREL_UI=none), and no site allowed.
    test::TempHome home;
    ConsentStore consent{home.Path()};
    DialogUser user;
    std::ostringstream log;
    Session session{control, "9.8.7", consent, user, log};
};

TEST_F(BridgeSession, MessagesThatAreNoRequestAreRefusedWithAReply) {
    const struct {
        std::string body;
        const char* code;
        json id;
    } cases[] = {
        {"{\"v\":1,\"id\":1,\"method\":\"hello\",\"x\":\"\xC3\x28\"}", "ERR_ARGS", nullptr},
        {"{}", "ERR_VERSION", nullptr},
        {"{\"v\":1,", "ERR_ARGS", nullptr},
        {"", "ERR_ARGS", nullptr},
        {"[1,2]", "ERR_ARGS", nullptr},
        {"\"hello\"", "ERR_ARGS", nullptr},
        {"null", "ERR_ARGS", nullptr},
        {"{\"v\":1,\"id\":3,\"method\":\"hello\",\"extra\":1}", "ERR_ARGS", 3},
        {"{\"v\":2,\"id\":4,\"method\":\"hello\"}", "ERR_VERSION", 4},
        {"{\"v\":\"1\",\"id\":4,\"method\":\"hello\"}", "ERR_VERSION", 4},
        {"{\"v\":1.5,\"id\":4,\"method\":\"hello\"}", "ERR_VERSION", 4},
        {"{\"id\":\"s\",\"method\":\"hello\"}", "ERR_VERSION", "s"},
        {"{\"v\":1,\"method\":\"hello\"}", "ERR_ARGS", nullptr},
        {"{\"v\":1,\"id\":{},\"method\":\"hello\"}", "ERR_ARGS", nullptr},
        {"{\"v\":1,\"id\":true,\"method\":\"hello\"}", "ERR_ARGS", nullptr},
        {"{\"v\":1,\"id\":5}", "ERR_ARGS", 5},
        {"{\"v\":1,\"id\":5,\"method\":7}", "ERR_ARGS", 5},
        {"{\"v\":1,\"id\":5,\"method\":\"hello\",\"args\":{}}", "ERR_ARGS", 5},
        {"{\"v\":1,\"id\":5,\"method\":\"hello\",\"args\":[1]}", "ERR_ARGS", 5},
        {"{\"v\":1,\"id\":5,\"method\":\"hello\",\"origin\":5}", "ERR_ARGS", 5},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body);
        const json reply = session.Handle(c.body);
        EXPECT_EQ(Code(reply), c.code);
        EXPECT_EQ(reply["id"], c.id);
        EXPECT_FALSE(reply["error"]["message"].get<std::string>().empty());
        EXPECT_FALSE(reply["error"].contains("hresult"));
    }
    EXPECT_FALSE(session.Greeted());
    EXPECT_TRUE(control.calls.empty());
    // Frames the reader refuses have their own replies.
    EXPECT_EQ(Code(session.Empty()), "ERR_ARGS");
    EXPECT_EQ(Code(session.TooLarge(kMaxMessage + 1)), "ERR_TOO_LARGE");
    EXPECT_EQ(session.TooLarge(1)["id"], nullptr);
}

TEST_F(BridgeSession, NothingIsServedBeforeTheHandshake) {
    EXPECT_EQ(Code(Call("VerifyMessage", json::array({"00"}))), "ERR_VERSION");
    EXPECT_TRUE(control.calls.empty());
    Greet();
    const json reply = Call("VerifyMessage", json::array({"00"}), "abc");
    EXPECT_EQ(reply, json({{"id", "abc"}, {"result", true}}));
    EXPECT_EQ(control.calls, std::vector<std::string>{"VerifyMessage"});
    ASSERT_EQ(control.lastArgs.size(), 1u);
    EXPECT_EQ(control.lastArgs[0].Raw().vt, VT_BSTR);
}

TEST_F(BridgeSession, OnlyTheControlsMethodsAreServedAndOnlyWithTheirTypes) {
    Greet();
    for (const char* method : {"AboutBox", "verifymessage", "hello2", "", "QueryInterface"})
        EXPECT_EQ(Code(Call(method, json::array())), "ERR_METHOD") << method;

    const struct {
        const char* method;
        json args;
    } wrong[] = {
        {"VerifyMessage", json::array()},
        {"VerifyMessage", json::array({"a", "b"})},
        {"VerifyMessage", json::array({5})},
        {"VerifyMessage", json::array({nullptr})},
        {"VerifyMessage", json::array({json::array({"a"})})},
        {"GetSubjectName", json::array({true})},
        {"GetSerialNumber", json::array({std::string("ab\0cd", 5)})},
        {"SignMessage", json::array()},
        {"SignMessageNoPrompt", json::array({"text"})},
        {"SignMessageNoPrompt", json::array({"text", "0"})},
        {"SignMessageNoPrompt", json::array({"text", 1.5})},
        {"SignMessageNoPrompt", json::array({"text", 1.0})},
        {"SignMessageNoPrompt", json::array({"text", 2147483648LL})},
        {"SignMessageNoPrompt", json::array({"text", -2147483649LL})},
        {"SignMessageNoPrompt", json::array({"text", 18446744073709551615ULL})},
        {"SignMessageNoPrompt", json::array({0, "text"})},
        {"ChooseCertificate", json::array({0})},
    };
    for (const auto& c : wrong)
        EXPECT_EQ(Code(Call(c.method, c.args)), "ERR_ARGS") << c.method << " " << c.args;
    EXPECT_TRUE(control.calls.empty());

    // Arguments of the right types reach the consent check.
    EXPECT_EQ(Code(Call("SignMessageNoPrompt", json::array({"text", -2147483648LL}))),
              "ERR_CONSENT");
    EXPECT_EQ(Code(Call("SignMessageNoPrompt", json::array({"", 2147483647}))), "ERR_CONSENT");
    EXPECT_EQ(Code(Call("GetSerialNumber", json::array({""}))), "");
    EXPECT_EQ(Code(Call("GetSubjectName", json::array({"\xC3\xA9"}))), "");
    EXPECT_EQ(control.calls.size(), 2u);
}

TEST_F(BridgeSession, MethodsThatUseTheKeysAreRefusedUntilTheUserConsents) {
    Greet();
    const json replies[] = {Call("SignMessage", json::array({"Pay 100"})),
                            Call("SignMessageNoPrompt", json::array({"Pay 100", 0})),
                            Call("ChooseCertificate", json::array())};
    for (const json& reply : replies) {
        EXPECT_EQ(Code(reply), "ERR_CONSENT");
        EXPECT_NE(reply["error"]["message"].get<std::string>().find("https://bank.example"),
                  std::string::npos);
        EXPECT_EQ(reply["id"], 7);
    }
    EXPECT_TRUE(control.calls.empty());
}

TEST_F(BridgeSession, RequestsNeedTheOriginOfASecurePage) {
    Greet();
    json request = {
        {"v", 1}, {"id", 1}, {"method", "VerifyMessage"}, {"args", json::array({"00"})}};
    EXPECT_EQ(Code(Send(request)), "ERR_ORIGIN");
    request["origin"] = "http://bank.example";
    EXPECT_EQ(Code(Send(request)), "ERR_ORIGIN");
    request["origin"] = "https://bank.example/login";
    EXPECT_EQ(Code(Send(request)), "ERR_ORIGIN");
    // A sandboxed page's opaque origin, as browsers write it.
    request["origin"] = "null";
    EXPECT_EQ(Code(Send(request)), "ERR_ORIGIN");
    EXPECT_TRUE(control.calls.empty());
    request["origin"] = "http://127.0.0.1:8080";
    EXPECT_EQ(Code(Send(request)), "");
}

TEST_F(BridgeSession, AFailedCallCarriesTheControlsResultCode) {
    Greet();
    control.failWith = HRESULT(0x80070057);
    json reply = Call("GetSubjectName", json::array({"zz"}));
    EXPECT_EQ(Code(reply), "ERR_CALL");
    EXPECT_EQ(reply["error"]["hresult"], "0x80070057");
    EXPECT_EQ(reply["error"]["message"], "it failed");
    control.failWith.reset();
    control.answer = nullptr;
    reply = Call("GetSubjectName", json::array({"zz"}), 1.5);
    EXPECT_EQ(reply, json({{"id", 1.5}, {"result", nullptr}}));
}

// The text of a string argument as the object receives it.
std::string TextOf(const platform::com::Variant& arg) {
    EXPECT_EQ(arg.Raw().vt, VT_BSTR);
    return platform::com::Bstr(SysAllocString(arg.Raw().bstrVal)).Utf8();
}

TEST_F(BridgeSession, TheSignersOptionsDecideTheQuestionAndReachItAsTheyWereRead) {
    Greet();
    const char* kBadOptions[] = {
        "",
        "not json",
        "[1]",
        "\"choose\"",
        R"({"certificate":0,"certificate":"choose"})",  // read one way here, perhaps another there
        R"({"certificate":"first"})",
        R"({"certificate":1.5})",
        R"({"certificate":true})",
        R"({"certificate":2147483648})",
    };
    for (const char* options : kBadOptions) {
        const json reply = Call("Signer.Sign", json::array({"text", options}));
        EXPECT_EQ(Code(reply), "ERR_ARGS") << options;
        EXPECT_NE(reply["error"]["message"].get<std::string>().find("Signer.Sign"),
                  std::string::npos);
    }
    // An object where its text belongs, and missing options.
    EXPECT_EQ(Code(Call("Signer.Sign", json::array({"text", json::object()}))), "ERR_ARGS");
    EXPECT_EQ(Code(Call("Signer.Sign", json::array({"text"}))), "ERR_ARGS");
    EXPECT_EQ(Code(Call("Signer.ChooseCertificate", json::array())), "ERR_ARGS");
    EXPECT_TRUE(control.calls.empty());

    // Nobody to ask and nothing allowed: whatever the options say, no call.
    for (const char* options : {"{}", R"({"certificate":"choose"})", R"({"certificate":0})"})
        EXPECT_EQ(Code(Call("Signer.Sign", json::array({"t", options}))), "ERR_CONSENT") << options;
    EXPECT_EQ(Code(Call("Signer.ChooseCertificate", json::array({"{}"}))), "ERR_CONSENT");

    // Always allowed: the chooser's calls go ahead, signing by position still
    // wants the grant to sign unseen.
    consent.Set("https://bank.example", {.always = true}, false);
    EXPECT_EQ(
        Code(Call("Signer.Sign", json::array({"t", R"({"format":"CAdES-B","digest":"SHA-384"})"}))),
        "");
    ASSERT_EQ(control.lastArgs.size(), 2u);
    EXPECT_EQ(TextOf(control.lastArgs[0]), "t");
    // The user's choice is said outright, so the signer cannot take it otherwise.
    EXPECT_EQ(json::parse(TextOf(control.lastArgs[1])),
              json({{"certificate", "choose"}, {"format", "CAdES-B"}, {"digest", "SHA-384"}}));
    EXPECT_EQ(Code(Call("Signer.Sign", json::array({"t", R"({"certificate":0})"}))), "ERR_CONSENT");
    // The chooser's own options are the signer's to judge.
    EXPECT_EQ(Code(Call("Signer.ChooseCertificate", json::array({R"({"filter":{"issuer":"X"}})"}))),
              "");
    EXPECT_EQ(TextOf(control.lastArgs[0]), R"({"filter":{"issuer":"X"}})");
    consent.Set("https://bank.example", {.always = true, .withoutPrompt = true}, false);
    EXPECT_EQ(Code(Call("Signer.Sign", json::array({"t", R"({"certificate":3,"x":[1]})"}))), "");
    EXPECT_EQ(json::parse(TextOf(control.lastArgs[1])), json({{"certificate", 3}, {"x", {1}}}));
    EXPECT_EQ(control.calls,
              (std::vector<std::string>{"Signer.Sign", "Signer.ChooseCertificate", "Signer.Sign"}));

    // Options the signer refuses are the page's to put right, in its words.
    control.refusal = CallError{"Signer.Sign: unknown option \"colour\"", std::nullopt,
                                "Signer.Sign: unknown option \"colour\"", ErrorCode::Args};
    json reply = Call("Signer.Sign", json::array({"t", R"({"colour":1})"}));
    EXPECT_EQ(Code(reply), "ERR_ARGS");
    EXPECT_EQ(reply["error"]["message"], "Signer.Sign: unknown option \"colour\"");
    EXPECT_FALSE(reply["error"].contains("hresult"));
    // ... and what names this computer stays in the log.
    control.refusal->message = "Signer.Sign: cannot read /home/ann/.local/share/ostrel/x";
    reply = Call("Signer.Sign", json::array({"t", "{}"}));
    EXPECT_EQ(Code(reply), "ERR_ARGS");
    EXPECT_EQ(reply["error"]["message"], GenericMessage(ErrorCode::Args));
}

TEST_F(BridgeSession, AMessageIsReadWithinBoundsAndKeepsItsIdWhenRefused) {
    Greet();
    // Chromium writes the fields by name, so the arguments come before the id.
    const auto sorted = [](const std::string& args) {
        return "{\"args\":" + args +
               ",\"id\":4,\"method\":\"VerifyMessage\",\"origin\":\"https://bank.example\","
               "\"v\":1}";
    };
    EXPECT_EQ(session.Handle(sorted("[\"00\"]")), json({{"id", 4}, {"result", true}}));

    const auto nested = [&](std::size_t levels) {
        return sorted("[" + std::string(levels, '[') + std::string(levels, ']') + "]");
    };
    std::string manyObjects = "[";
    for (int i = 0; i < 200000; ++i) manyObjects += "{\"a\":[1,\"x\"]},";
    manyObjects += "{}]";
    const struct {
        std::string body;
        const char* says;  // part of the refusal's message
    } refused[] = {
        {nested(100000), "levels deep"},
        {nested(62), "must be a string"},  // 64 levels with the message and its list
        {nested(63), "levels deep"},
        {sorted(manyObjects), "at most 16 arguments"},
        {sorted("[\"00\",\"00\",\"00\",\"00\",\"00\",\"00\",\"00\",\"00\",\"00\",\"00\",\"00\","
                "\"00\",\"00\",\"00\",\"00\",\"00\",\"00\"]"),
         "at most 16 arguments"},
        {sorted("[{\"text\":\"00\"}]"), "must be a string"},
        {"{\"v\":1,\"id\":4,\"origin\":\"https://evil.example\",\"method\":\"VerifyMessage\","
         "\"args\":[\"00\"],\"origin\":\"https://bank.example\"}",
         "given twice"},
        {"{\"v\":1,\"id\":4,\"method\":\"VerifyMessage\",\"args\":[\"00\"],\"x\":" +
             std::string(100000, '[') + std::string(100000, ']') + "}",
         "levels deep"},
    };
    for (const auto& c : refused) {
        SCOPED_TRACE(c.body.substr(0, 80));
        const json reply = session.Handle(c.body);
        EXPECT_EQ(Code(reply), "ERR_ARGS");
        EXPECT_EQ(reply["id"], 4);
        EXPECT_NE(reply["error"]["message"].get<std::string>().find(c.says), std::string::npos)
            << reply;
    }
    // An id nested past the bound is no id.
    const json deepId = session.Handle("{\"v\":1,\"id\":" + std::string(1000, '[') +
                                       std::string(1000, ']') + ",\"method\":\"hello\"}");
    EXPECT_EQ(Code(deepId), "ERR_ARGS");
    EXPECT_EQ(deepId["id"], nullptr);
    EXPECT_EQ(control.calls.size(), 1u);
}

TEST_F(BridgeSession, WhatAPageMustNotLearnGoesToTheLogOnly) {
    Greet();
    control.failWith = HRESULT(0x80092004);
    control.detail = "cannot read /home/ann/.local/share/ostrel/stores/MY/0001.pem";
    json reply = Call("GetSubjectName", json::array({"00"}));
    EXPECT_EQ(Code(reply), "ERR_CALL");
    EXPECT_EQ(reply["error"]["hresult"], "0x80092004");
    EXPECT_EQ(reply["error"]["message"], "it failed");
    EXPECT_NE(log.str().find(control.detail), std::string::npos) << log.str();
    EXPECT_NE(log.str().find("https://bank.example GetSubjectName: ERR_CALL"), std::string::npos);

    // A grants file that cannot be read: the page hears what to run, the
    // log where the file is.
    control.failWith.reset();
    const auto grants = home.Path() / kOriginsFile;
    test::WriteFile(grants, "{damaged");
    ::chmod(grants.c_str(), 0600);
    reply = Call("ChooseCertificate", json::array());
    EXPECT_EQ(Code(reply), "ERR_CONSENT");
    EXPECT_FALSE(NamesLocalDetail(reply["error"]["message"].get<std::string>())) << reply;
    EXPECT_NE(log.str().find(grants.string()), std::string::npos) << log.str();
}

TEST(BridgeReply, PathsAndTheUsersNameAreToldFromWhatPagesMaySee) {
    for (const char* plain :
         {"https://bank.example is not the origin of a secure web page",
          "run `ostrel bridge origins allow https://a.example:8443` to allow it",
          "argument 1 of SignMessage must be a string", "0x80092004 CRYPT_E_NOT_FOUND",
          "a/b is no method", "http://127.0.0.1:8080/x"})
        EXPECT_FALSE(NamesLocalDetail(plain)) << plain;
    for (const char* local :
         {"/home/ann/.config/ostrel/registry.reg is damaged", "cannot read ~/.config/ostrel",
          "cannot open \"/tmp/x\"", "see (/var/log/x)", "run `chmod 600 /h/o`", "file=/x"})
        EXPECT_TRUE(NamesLocalDetail(local)) << local;
    if (const char* home = std::getenv("HOME"); home != nullptr && std::string(home) != "/") {
        EXPECT_TRUE(NamesLocalDetail(std::string("in") + home));
    }
    if (const char* user = std::getenv("USER"); user != nullptr && *user != '\0') {
        EXPECT_TRUE(NamesLocalDetail(std::string("owned by ") + user + ", not you"));
    }
}

TEST(BridgeReply, TextThatIsNotUtf8IsReplacedNotThrown) {
    const json reply =
        ErrorReply(nullptr, {ErrorCode::Origin, std::string("bad \xFF caller"), std::nullopt});
    const std::string text = Serialize(reply);
    EXPECT_NE(text.find("ERR_ORIGIN"), std::string::npos);
    EXPECT_TRUE(json::accept(text));
}

class BridgeCaller : public ::testing::Test {
protected:
    void Allow(const std::string& text, mode_t mode = 0600) {
        const auto file = home.Path() / kExtensionsFile;
        test::WriteFile(file, text);
        ::chmod(file.c_str(), mode);
    }
    CallerCheck Check(std::vector<std::string> args) { return CheckCaller(args, home.Path()); }

    test::TempHome home;
    const std::string chromium = "abcdefghijklmnopabcdefghijklmnop";
    const std::string other = "ponmlkjihgfedcbaponmlkjihgfedcba";
};

TEST_F(BridgeCaller, TheOstrelExtensionIsServedWithoutAnyListOrWithABadOne) {
    const std::vector<std::string> pinned[] = {
        {"chrome-extension://" + std::string(kChromiumExtensionId) + "/"},
        {"/usr/lib/mozilla/native-messaging-hosts/org.ostrel.bridge.json", kFirefoxExtensionId},
    };
    for (const auto& args : pinned) {
        EXPECT_TRUE(Check(args).allowed) << args.back();  // a fresh user: no list at all
        Allow("{\"chromium\":", 0666);                    // damaged and writable by others
        EXPECT_TRUE(Check(args).allowed) << args.back();
        std::filesystem::remove(home.Path() / kExtensionsFile);
    }
    // Only the exact origin form names the pinned extension.
    EXPECT_FALSE(Check({"chrome-extension://" + std::string(kChromiumExtensionId)}).allowed);
    EXPECT_FALSE(Check({"chrome-extension://" + std::string(kChromiumExtensionId) + "/x"}).allowed);
    EXPECT_FALSE(Check({"/manifest.json", kChromiumExtensionId}).allowed);
}

TEST_F(BridgeCaller, OnlyListedExtensionsAreServedBesidesTheOstrelOne) {
    EXPECT_FALSE(Check({"chrome-extension://" + chromium + "/"}).allowed);  // no list yet
    Allow(
        json({{"chromium", json::array({chromium})}, {"firefox", {"sign@ostrel.example"}}}).dump());
    EXPECT_TRUE(Check({"chrome-extension://" + chromium + "/"}).allowed);
    EXPECT_TRUE(
        Check({"/home/u/.mozilla/native-messaging-hosts/x.json", "sign@ostrel.example"}).allowed);

    const std::vector<std::string> refused[] = {
        {"chrome-extension://" + other + "/"},
        {"chrome-extension://" + chromium},
        {"chrome-extension://" + chromium + "/x"},
        {"chrome-extension://" + chromium.substr(1) + "q/"},
        {"chrome-extension://ABCDEFGHIJKLMNOPABCDEFGHIJKLMNOP/"},
        {"/manifest.json", "other@ostrel.example"},
        {"/manifest.json", chromium},
        {"/manifest.json", ""},
        {"/manifest.json"},
        {},
    };
    for (const auto& args : refused) {
        const CallerCheck check = Check(args);
        EXPECT_FALSE(check.allowed) << (args.empty() ? "" : args[0]);
        EXPECT_NE(check.message.find("ostrel bridge install"), std::string::npos);
    }
    const CallerCheck named = Check({"chrome-extension://" + other + "/"});
    EXPECT_NE(named.message.find(other), std::string::npos);
}

TEST_F(BridgeCaller, AListOthersCouldWriteOrThatIsDamagedAddsNobody) {
    const std::string caller = "chrome-extension://" + chromium + "/";
    Allow(json({{"chromium", {chromium}}}).dump(), 0622);
    const CallerCheck writable = Check({caller});
    EXPECT_FALSE(writable.allowed);
    // The log says which file and why; the caller is told neither path nor mode.
    EXPECT_NE(writable.detail.find("0622"), std::string::npos) << writable.detail;
    EXPECT_NE(writable.detail.find(home.Path().string()), std::string::npos);
    EXPECT_FALSE(NamesLocalDetail(writable.message)) << writable.message;
    Allow(json({{"chromium", {chromium}}}).dump(), 0644);
    EXPECT_TRUE(Check({caller}).allowed);
    for (const char* text : {"", "[]", "{\"chromium\":", "{\"chromium\":\"abc\"}",
                             "{\"chromium\":[1,2]}", "{\"firefox\":[\"x\"]}"}) {
        Allow(text);
        EXPECT_FALSE(Check({caller}).allowed) << text;
    }
}

TEST_F(BridgeCaller, AddedExtensionsAreWrittenPrivatelyAndReadBack) {
    const ExtraExtensions extra{{chromium},
                                {"sign@ostrel.example", "{0f8e2c1a-1b2c-4d5e-8f90-a1b2c3d4e5f6}"}};
    WriteExtraExtensions(home.Path() / "new" / "home", extra);
    const auto file = home.Path() / "new" / "home" / kExtensionsFile;
    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(ReadExtraExtensions(home.Path() / "new" / "home"), extra);
    // An empty list leaves no file behind; reading none is an empty list.
    WriteExtraExtensions(home.Path() / "new" / "home", {});
    EXPECT_FALSE(std::filesystem::exists(file));
    EXPECT_EQ(ReadExtraExtensions(home.Path() / "new" / "home"), ExtraExtensions{});
}

TEST(BridgeExtensionIds, TellChromiumIdsFromFirefoxAddOnIds) {
    EXPECT_TRUE(IsChromiumExtensionId(kChromiumExtensionId));
    EXPECT_FALSE(IsChromiumExtensionId("amjognmoflajiapjipcbekmikmkbdpkq"));  // q is past p
    EXPECT_TRUE(IsFirefoxExtensionId(kFirefoxExtensionId));
    EXPECT_TRUE(IsFirefoxExtensionId("my-copy+dev@example.org"));
    EXPECT_TRUE(IsFirefoxExtensionId("{0f8e2c1a-1b2c-4d5e-8f90-a1b2c3d4e5f6}"));
    for (const char* bad : {"", "@", "x@", "@x", "a@b@c", "a b@c", "{0f8e2c1a-1b2c-4d5e-8f90}",
                            "{0f8e2c1a-1b2c-4d5e-8f90-a1b2c3d4e5fg}", "x@\"y", "../x@y/"})
        EXPECT_FALSE(IsFirefoxExtensionId(bad)) << bad;
}

}  // namespace
}  // namespace ostrel::bridge
