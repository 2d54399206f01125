// The sites' grants on disk, the questions the bridge asks before a site
// uses the certificates (answered by the scripted user), and replies too long
// for a browser.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "hosts/bridge/Consent.h"
#include "hosts/bridge/ConsentDialogs.h"
#include "hosts/bridge/Session.h"
#include "tests/platform/ui/UiTestSupport.h"
#include "tests/support/TestSupport.h"

namespace ostrel::bridge {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

mode_t ModeOf(const fs::path& path) {
    struct stat st {};
    ::lstat(path.c_str(), &st);
    return st.st_mode & 07777;
}

TEST(BridgeConsentStore, TypedOriginsAreStoredAsTheBrowserNamesThem) {
    const struct {
        const char* typed;
        const char* normal;
    } cases[] = {
        {"https://bank.example", "https://bank.example"},
        {"HTTPS://Bank.EXAMPLE/", "https://bank.example"},
        {"https://bank.example:443", "https://bank.example"},
        {"https://bank.example:8443/", "https://bank.example:8443"},
        {"http://localhost:80", "http://localhost"},
        {"http://127.0.0.1:8080", "http://127.0.0.1:8080"},
    };
    for (const auto& c : cases) EXPECT_EQ(NormalOrigin(c.typed), c.normal) << c.typed;
    for (const char* bad : {"bank.example", "http://bank.example", "https://bank.example/x",
                            "https://bank.example//", "https://", "file:///etc", ""})
        EXPECT_EQ(NormalOrigin(bad), std::nullopt) << bad;
}

TEST(BridgeConsentStore, GrantsAreSetMergedAndRevokedInAPrivateFile) {
    test::TempHome home;
    const fs::path inner = home.Path() / "not" / "yet";
    ConsentStore store(inner);
    EXPECT_TRUE(store.Load().empty());
    EXPECT_EQ(store.Find("https://a.example"), Grant{});
    EXPECT_FALSE(store.Revoke("https://a.example"));

    store.Set("https://a.example", {true, false}, true);
    store.Set("https://b.example", {true, true}, false);
    EXPECT_EQ(ModeOf(store.File()), 0600u);
    EXPECT_EQ(ModeOf(inner), 0700u);
    // Merging keeps what was granted; setting replaces it.
    store.Set("https://b.example", {true, false}, true);
    EXPECT_EQ(store.Find("https://b.example"), (Grant{true, true}));
    store.Set("https://b.example", {true, false}, false);
    EXPECT_EQ(store.Find("https://b.example"), (Grant{true, false}));
    EXPECT_THROW(store.Set("https://B.example", {true, false}, false), ConsentError);

    EXPECT_TRUE(store.Revoke("https://a.example"));
    EXPECT_FALSE(store.Revoke("https://a.example"));
    EXPECT_EQ(store.Load().size(), 1u);
    EXPECT_EQ(
        json::parse(test::ReadFile(store.File())),
        json({{"version", 1},
              {"origins", {{"https://b.example", {{"always", true}, {"withoutPrompt", false}}}}}}));
    // Nothing but the file and its lock: no temporary file stays behind.
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(inner))
        names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{kOriginsFile, kOriginsLock}));
}

TEST(BridgeConsentStore, WritersInSeveralProcessesAndThreadsKeepEveryGrant) {
    test::TempHome home;
    constexpr int kProcesses = 4, kThreads = 3, kEach = 8;
    const auto origin = [](int p, int t, int i) {
        return "https://p" + std::to_string(p) + "-t" + std::to_string(t) + "-" +
               std::to_string(i) + ".example";
    };
    std::vector<pid_t> children;
    for (int p = 0; p < kProcesses; ++p) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            int failed = 0;
            std::vector<std::thread> threads;
            for (int t = 0; t < kThreads; ++t)
                threads.emplace_back([&, t] {
                    ConsentStore store(home.Path());
                    for (int i = 0; i < kEach; ++i) {
                        try {
                            store.Set(origin(p, t, i), {true, i % 2 == 0}, false);
                        } catch (...) {
                            ++failed;
                        }
                    }
                });
            for (auto& t : threads) t.join();
            ::_exit(failed == 0 ? 0 : 1);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    const auto grants = ConsentStore(home.Path()).Load();
    EXPECT_EQ(grants.size(), std::size_t(kProcesses * kThreads * kEach));
    for (int p = 0; p < kProcesses; ++p)
        for (int t = 0; t < kThreads; ++t)
            for (int i = 0; i < kEach; ++i) {
                const auto it = grants.find(origin(p, t, i));
                ASSERT_NE(it, grants.end()) << origin(p, t, i);
                EXPECT_EQ(it->second, (Grant{true, i % 2 == 0}));
            }
    EXPECT_EQ(ModeOf(home.Path() / kOriginsFile), 0600u);
}

TEST(BridgeConsentStore, AFileThatIsDamagedOrNotTheUsersOwnIsRefusedAndLeftAlone) {
    test::TempHome home;
    ConsentStore store(home.Path());
    const fs::path file = store.File();
    const auto expectRefused = [&](const std::string& what, const std::string& fix) {
        SCOPED_TRACE(what);
        const std::string before =
            fs::is_symlink(file) ? fs::read_symlink(file).string() : test::ReadFile(file);
        const mode_t mode = ModeOf(file);
        for (int attempt = 0; attempt < 3; ++attempt) {
            try {
                if (attempt == 0) store.Load();
                if (attempt == 1) store.Set("https://a.example", {true, true}, true);
                if (attempt == 2) store.Revoke("https://a.example");
                ADD_FAILURE() << "not refused";
            } catch (const ConsentError& e) {
                const std::string message = e.what();
                EXPECT_NE(message.find(file.string()), std::string::npos) << message;
                EXPECT_NE(message.find(fix), std::string::npos) << message;
                EXPECT_NE(message.find("left as it is"), std::string::npos) << message;
            }
        }
        EXPECT_EQ(fs::is_symlink(file) ? fs::read_symlink(file).string() : test::ReadFile(file),
                  before);
        EXPECT_EQ(ModeOf(file), mode);
    };
    const auto write = [&](const std::string& text, mode_t mode = 0600) {
        fs::remove(file);
        test::WriteFile(file, text);
        ::chmod(file.c_str(), mode);
    };
    const std::string good =
        R"({"version":1,"origins":{"https://a.example":{"always":true,"withoutPrompt":false}}})";
    for (const char* text : {
             "",
             "{\"version\":1,\"origins\":",
             "[]",
             "{\"origins\":{}}",
             "{\"version\":2,\"origins\":{}}",
             "{\"version\":1,\"origins\":[]}",
             "{\"version\":1,\"origins\":{},\"more\":1}",
             "{\"version\":1,\"origins\":{\"http://a.example\":{\"always\":true}}}",
             "{\"version\":1,\"origins\":{\"https://a.example\":true}}",
             "{\"version\":1,\"origins\":{\"https://a.example\":{\"always\":1}}}",
             "{\"version\":1,\"origins\":{\"https://a.example\":{\"sometimes\":true}}}",
         }) {
        write(text);
        expectRefused(text, "ostrel bridge origins allow");
    }
    write(good, 0620);
    expectRefused("group-writable", "chmod 600");
    write(good, 0602);
    expectRefused("world-writable", "chmod 600");

    fs::remove(file);
    test::WriteFile(home.Path() / "elsewhere.json", good);
    fs::create_symlink(home.Path() / "elsewhere.json", file);
    expectRefused("a link", "symbolic link");
    fs::remove(file);
    fs::create_directory(file);
    EXPECT_THROW(store.Load(), ConsentError);
    EXPECT_THROW(store.Set("https://a.example", {true, false}, false), ConsentError);
    EXPECT_TRUE(fs::is_directory(file));
    fs::remove(file);

    if (::geteuid() == 0) {
        write(good);
        ASSERT_EQ(::chown(file.c_str(), 4321, 4321), 0);
        expectRefused("another user's", "another user");
    }
    // The same text, mode and owner it was refused for are taken once right.
    write(good);
    EXPECT_EQ(store.Find("https://a.example"), (Grant{true, false}));
}

TEST(BridgeConsentPreview, TheStartOfTheTextIsShownWithControlsWrittenOut) {
    EXPECT_EQ(PreviewText("Pay 100\r\nto Ann\tLee"), "Pay 100\nto Ann\tLee");
    EXPECT_EQ(PreviewText(std::string("a\0b\x1B[2Jc\x7F", 9)), "a\\x00b\\x1B[2Jc\\x7F");
    // Marks that reorder or hide text, and bytes that are not UTF-8.
    EXPECT_EQ(PreviewText("pay \xE2\x80\xAE"
                          "001\xC2\x85!\xFF"),
              "pay \\u{202E}001\\u{0085}!\\xFF");
    EXPECT_EQ(PreviewText("\xC3\xA9t\xC3\xA9"), "\xC3\xA9t\xC3\xA9");

    // Characters, not bytes, are counted; none is cut in half.
    std::string longText;
    for (int i = 0; i < 250; ++i) longText += "\xC3\xA9";
    const std::string preview = PreviewText(longText);
    std::string first;
    for (std::size_t i = 0; i < kPreviewCharacters; ++i) first += "\xC3\xA9";
    EXPECT_EQ(preview, first + "\xE2\x80\xA6\n(and 50 more characters)");
    EXPECT_EQ(PreviewText(std::string(kPreviewCharacters, 'x')),
              std::string(kPreviewCharacters, 'x'));
}

// The control behind the session, recording what reaches it.
class Recorder : public ControlPort {
public:
    json Call(const MethodInfo& method, std::vector<platform::com::Variant>) override {
        calls.push_back(std::string(method.name));
        return answer;
    }
    std::vector<std::string> calls;
    json answer = "signed";
};

class BridgeConsent : public ::testing::Test {
protected:
    json Call(const std::string& method, json args, const std::string& origin = kSite) {
        return session.Handle(json({{"v", 1},
                                    {"id", 7},
                                    {"origin", origin},
                                    {"method", method},
                                    {"args", std::move(args)}})
                                  .dump());
    }
    void SetUp() override {
        ASSERT_TRUE(session.Handle(R"({"v":1,"id":0,"method":"hello"})").contains("result"));
    }
    static std::string Code(const json& reply) {
        return reply.contains("error") ? reply["error"]["code"].get<std::string>() : "";
    }
    static std::string Message(const json& reply) {
        return reply.contains("error") ? reply["error"]["message"].get<std::string>() : "";
    }
    // The last dialog opened, as it showed.
    json LastOpened() const {
        json last;
        for (const auto& line : ui.DialogLines())
            if (line["event"] == "open") last = line;
        return last;
    }
    // The dialogs opened so far, by caption.
    std::vector<std::string> Opened() const {
        std::vector<std::string> out;
        for (const auto& line : ui.DialogLines())
            if (line["event"] == "open") out.push_back(line["dialog"]);
        return out;
    }

    static constexpr const char* kSite = "https://bank.example:8443";
    static constexpr const char* kAsk = "Allow this site to use your certificates?";
    static constexpr const char* kConfirm = "Sign this text?";
    test::TempHome home;
    test::ScriptedUi ui{""};
    Recorder control;
    ConsentStore consent{home.Path()};
    DialogUser user;
    Session session{control, "1.0", consent, user};
};

TEST_F(BridgeConsent, EachAnswerToTheQuestionDecidesTheCall) {
    const struct {
        const char* script;
        const char* code;  // "" when the call goes ahead
    } cases[] = {
        {"ok", ""},
        {"select 0; ok", ""},  // what the chooser after it needs is passed over
        {"click 1103", "ERR_CONSENT"},
        {"enter", "ERR_CONSENT"},
        {"escape", "ERR_CANCELLED"},
        {"close", "ERR_CANCELLED"},
        {"click 1202", "ERR_CANCELLED"},  // no such button: the script ends, as Escape
    };
    for (const auto& c : cases) {
        for (const char* method : {"ChooseCertificate", "SignMessage"}) {
            SCOPED_TRACE(std::string(c.script) + " " + method);
            ui.Script(c.script);
            control.calls.clear();
            const json reply =
                Call(method, std::string(method) == "SignMessage" ? json::array({"Pay 100"})
                                                                  : json::array());
            EXPECT_EQ(Code(reply), c.code) << reply;
            EXPECT_EQ(control.calls.size(), *c.code == '\0' ? 1u : 0u);
            EXPECT_EQ(reply["id"], 7);
            if (*c.code != '\0') {
                EXPECT_NE(Message(reply).find(kSite), std::string::npos);
            }
        }
    }
    // Every call asked, each naming the site as the browser reported it, and
    // nothing was kept.
    const auto lines = ui.DialogLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(test::ControlOf(lines[0], kConsentOrigin)["text"], kSite);
    EXPECT_EQ(Opened(), std::vector<std::string>(14, kAsk));
    EXPECT_TRUE(consent.Load().empty());
    ui.Script("click 1103");
    EXPECT_NE(Message(Call("ChooseCertificate", json::array())).find("ostrel bridge origins allow"),
              std::string::npos);
}

TEST_F(BridgeConsent, AlwaysIsKeptForThatSiteOnly) {
    ui.Script("click 1102");
    EXPECT_EQ(Call("ChooseCertificate", json::array()), json({{"id", 7}, {"result", "signed"}}));
    EXPECT_EQ(consent.Find(kSite), (Grant{true, false}));
    ui.Script("click 1103");
    EXPECT_EQ(Code(Call("SignMessage", json::array({"x"}))), "");
    EXPECT_EQ(Code(Call("ChooseCertificate", json::array())), "");
    EXPECT_EQ(Opened().size(), 1u);
    // Another port of the same host, and the same host without it, are other sites.
    EXPECT_EQ(Code(Call("ChooseCertificate", json::array(), "https://bank.example")),
              "ERR_CONSENT");
    EXPECT_EQ(control.calls.size(), 3u);
    // Revoked elsewhere (by the command): asked again.
    ASSERT_TRUE(ConsentStore(home.Path()).Revoke(kSite));
    EXPECT_EQ(Code(Call("ChooseCertificate", json::array())), "ERR_CONSENT");
}

TEST_F(BridgeConsent, SigningByPositionIsConfirmedEachTimeUnlessAllowedWithoutPrompt) {
    test::AddToStore(test::MakeCert());
    const std::string text = std::string("Pay \x1B 100 crowns") + std::string(300, '.');
    // Even a site that is always allowed confirms each text.
    consent.Set(kSite, {true, false}, false);
    const struct {
        const char* script;
        const char* code;
    } cases[] = {{"ok", ""},
                 {"click 1202", "ERR_CONSENT"},
                 {"enter", "ERR_CONSENT"},
                 {"escape", "ERR_CANCELLED"},
                 {"click 1102", "ERR_CANCELLED"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.script);
        ui.Script(c.script);
        const json reply = Call("SignMessageNoPrompt", json::array({text, 0}));
        EXPECT_EQ(Code(reply), c.code) << reply;
    }
    EXPECT_EQ(control.calls.size(), 1u);
    ui.Script("click 1202");
    EXPECT_NE(Message(Call("SignMessageNoPrompt", json::array({text, 0})))
                  .find("ostrel bridge origins allow https://bank.example:8443 --without-prompt"),
              std::string::npos);

    const auto lines = ui.DialogLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0]["dialog"], kConfirm);
    EXPECT_EQ(test::ControlOf(lines[0], kConfirmOrigin)["text"], kSite);
    EXPECT_EQ(test::ControlOf(lines[0], kConfirmSubject)["text"],
              "C=US, O=Org, CN=Ann Lee, E=ann.lee@example.org");
    EXPECT_EQ(test::ControlOf(lines[0], kConfirmText)["text"], PreviewText(text));
    EXPECT_NE(PreviewText(text).find("Pay \\x1B 100"), std::string::npos);

    // A position the store does not have is said so; the page learns nothing.
    ui.Script("click 1202");
    EXPECT_EQ(Code(Call("SignMessageNoPrompt", json::array({"t", 5}))), "ERR_CONSENT");
    EXPECT_NE(test::ControlOf(LastOpened(), kConfirmSubject)["text"].get<std::string>().find(
                  "no certificate at position 5"),
              std::string::npos);

    // Allowed without prompt: signed without a word.
    consent.Set(kSite, {true, true}, false);
    const std::size_t before = Opened().size();
    EXPECT_EQ(Code(Call("SignMessageNoPrompt", json::array({text, 0}))), "");
    EXPECT_EQ(Opened().size(), before);
    EXPECT_EQ(control.calls.size(), 2u);
}

TEST_F(BridgeConsent, WithNobodyToAskOnlyWhatWasAllowedBeforeRuns) {
    test::ScriptedUi none("ok", "none");
    for (const json& args : {json::array(), json::array({"x"}), json::array({"x", 0})}) {
        const std::string method = args.empty()       ? "ChooseCertificate"
                                   : args.size() == 1 ? "SignMessage"
                                                      : "SignMessageNoPrompt";
        const json reply = Call(method, args);
        EXPECT_EQ(Code(reply), "ERR_CONSENT") << method;
        EXPECT_NE(Message(reply).find("nobody can be asked"), std::string::npos) << reply;
        EXPECT_NE(Message(reply).find("ostrel bridge origins allow"), std::string::npos);
    }
    consent.Set(kSite, {true, false}, false);
    EXPECT_EQ(Code(Call("ChooseCertificate", json::array())), "");
    EXPECT_EQ(Code(Call("SignMessageNoPrompt", json::array({"x", 0}))), "ERR_CONSENT");
    consent.Set(kSite, {true, true}, false);
    EXPECT_EQ(Code(Call("SignMessageNoPrompt", json::array({"x", 0}))), "");
    // Reading needs no consent at all.
    EXPECT_EQ(Code(Call("GetSubjectName", json::array({"00"}), "https://other.example")), "");
    EXPECT_EQ(control.calls.size(), 3u);
}

TEST_F(BridgeConsent, AGrantsFileThatCannotBeTrustedAsksNobodyAndRunsNothing) {
    ui.Script("click 1102");
    test::WriteFile(consent.File(), "{\"version\":1,\"origins\":{}}");
    ::chmod(consent.File().c_str(), 0666);
    const json reply = Call("ChooseCertificate", json::array());
    EXPECT_EQ(Code(reply), "ERR_CONSENT");
    // How to put it right names the file: the host's log says it, not the page.
    EXPECT_FALSE(NamesLocalDetail(Message(reply))) << reply;
    EXPECT_TRUE(Opened().empty());
    EXPECT_TRUE(control.calls.empty());
}

TEST_F(BridgeConsent, AReplyTooLongForTheBrowserBecomesAnErrorWithItsId) {
    consent.Set(kSite, {true, true}, false);
    control.answer = std::string(kMaxReply, 'A');
    const json reply = Call("SignMessageNoPrompt", json::array({"x", 0}));
    ASSERT_TRUE(reply.contains("result"));
    const std::string sent = SerializeForBrowser(reply);
    EXPECT_EQ(Code(json::parse(sent)), "ERR_TOO_LARGE");
    EXPECT_EQ(json::parse(sent)["id"], 7);
    // One that just fits goes as it is.
    control.answer = std::string(kMaxReply - 32, 'A');
    const std::string fits =
        SerializeForBrowser(Call("SignMessageNoPrompt", json::array({"x", 0})));
    EXPECT_LE(fits.size(), kMaxReply);
    EXPECT_TRUE(json::parse(fits).contains("result"));
    // Refusals that repeat what the page sent are bounded the same way.
    const std::string longName(2 << 20, 'M');
    EXPECT_EQ(Code(json::parse(SerializeForBrowser(Call(longName, json::array())))),
              "ERR_TOO_LARGE");
    // An id too long to repeat is left out.
    const json huge = {{"id", std::string(2 << 20, '1')}, {"result", 1}};
    EXPECT_EQ(json::parse(SerializeForBrowser(huge))["id"], nullptr);
}

}  // namespace
}  // namespace ostrel::bridge
