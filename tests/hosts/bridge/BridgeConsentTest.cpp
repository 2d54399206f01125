// The sites' grants on disk, the questions the bridge asks before a site
// uses the certificates (answered by the scripted user), and replies too long
// for a browser.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
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
        {"https://bank.example:0443", "https://bank.example"},
        {"https://bank.example:08443", "https://bank.example:8443"},
        {"http://[::1]:80/", "http://[::1]"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(NormalOrigin(c.typed), c.normal) << c.typed;
        // Canonical once is canonical for good.
        EXPECT_EQ(NormalOrigin(c.normal), c.normal) << c.normal;
    }
    for (const char* bad :
         {"bank.example", "http://bank.example", "https://bank.example/x", "https://bank.example//",
          "https://", "file:///etc", "", "https://bank.example:443:443",
          "https://bank.example:", "https://bank.example:99999", "https://bank.example:+443",
          "https://[::1]:443:443", "https://a@bank.example"})
        EXPECT_EQ(NormalOrigin(bad), std::nullopt) << bad;
}

TEST(BridgeConsentStore, SpellingsAnOlderReleaseStoredAreRevokedAndReplaced) {
    test::TempHome home;
    ConsentStore store(home.Path());
    test::WriteFile(store.File(), R"({"version":1,"origins":{
        "https://bank.example:443":{"always":true,"withoutPrompt":true},
        "https://other.example":{"always":true,"withoutPrompt":false}}})");
    ::chmod(store.File().c_str(), 0600);
    // The browser never names a site so: the grant does not apply.
    EXPECT_EQ(store.Find("https://bank.example"), Grant{});
    // Revoked by the name the list shows, or by the site's own name.
    EXPECT_TRUE(store.Revoke(*NormalOrigin("https://bank.example:443")));
    EXPECT_EQ(store.Load().size(), 1u);
    EXPECT_FALSE(store.Revoke("https://bank.example"));
    // Allowing the site again replaces any old spelling of it.
    test::WriteFile(store.File(), R"({"version":1,"origins":{
        "https://bank.example:443":{"always":true,"withoutPrompt":true}}})");
    store.Set("https://bank.example", {.always = true}, false);
    EXPECT_EQ(store.Load(),
              (std::map<std::string, Grant>{{"https://bank.example", {.always = true}}}));
    EXPECT_THROW(store.Set("https://bank.example:443", {.always = true}, false), ConsentError);
}

TEST(BridgeConsentStore, BlocksAreKeptBesideGrantsAndOldFilesReadAsBefore) {
    test::TempHome home;
    ConsentStore store(home.Path());
    store.Set("https://a.example", {.always = true, .withoutPrompt = true}, false);
    // A file without a blocked site has no "blocked" field at all.
    EXPECT_EQ(test::ReadFile(store.File()).find("blocked"), std::string::npos);
    store.Set("https://b.example", {.blocked = true}, false);
    EXPECT_EQ(json::parse(test::ReadFile(store.File()))["origins"]["https://b.example"],
              json({{"always", false}, {"withoutPrompt", false}, {"blocked", true}}));
    EXPECT_EQ(ConsentStore(home.Path()).Find("https://b.example"), (Grant{.blocked = true}));
    // Allowing a blocked site unblocks it; merging a grant does too.
    store.Set("https://b.example", {.always = true}, true);
    EXPECT_EQ(store.Find("https://b.example"), (Grant{.always = true}));
    EXPECT_TRUE(store.Revoke("https://b.example"));
    test::WriteFile(store.File(), R"({"version":1,"origins":{"https://c.example":{"blocked":1}}})");
    EXPECT_THROW(store.Load(), ConsentError);
}

TEST(BridgeConsentStore, HttpOnThisComputerHoldsNoGrantThatSparesTheQuestion) {
    test::TempHome home;
    ConsentStore store(home.Path());
    for (const char* shared : {"http://127.0.0.1:8080", "http://localhost", "http://[::1]:3000"}) {
        EXPECT_TRUE(IsSharedLoopback(shared)) << shared;
        EXPECT_THROW(store.Set(shared, {.always = true}, false), ConsentError) << shared;
        EXPECT_THROW(store.Set(shared, {.withoutPrompt = true}, false), ConsentError) << shared;
        // Blocking one takes nothing from anyone.
        store.Set(shared, {.blocked = true}, false);
    }
    for (const char* own : {"https://127.0.0.1:8443", "https://localhost", "https://bank.example"})
        EXPECT_FALSE(IsSharedLoopback(own)) << own;
    store.Set("https://127.0.0.1:8443", {.always = true, .withoutPrompt = true}, false);
}

TEST(BridgeConsentStore, TheDomainAPersonMustReadIsThePublicSuffixListsOwn) {
    const struct {
        const char* origin;
        const char* domain;
    } cases[] = {
        {"https://www.mybank.com.account-verification-update.example.co.uk", "example.co.uk"},
        {"https://www.bank.example.co.uk:8443", "example.co.uk"},
        {"https://login.mybank.com", "mybank.com"},
        {"https://mybank.com", "mybank.com"},
        {"https://a.b.someone.github.io", "someone.github.io"},
        {"https://github.io", "github.io"},  // itself a public suffix
        {"https://bank.example", "bank.example"},
        {"http://127.0.0.1:8080", "127.0.0.1"},
        {"https://10.1.2.3", "10.1.2.3"},
        {"http://localhost:3000", "localhost"},
        {"http://[::1]:8080", "[::1]"},
    };
    for (const auto& c : cases) EXPECT_EQ(RegistrableDomain(c.origin), c.domain) << c.origin;
}

TEST(BridgeConsentStore, GrantsAreSetMergedAndRevokedInAPrivateFile) {
    test::TempHome home;
    const fs::path inner = home.Path() / "not" / "yet";
    ConsentStore store(inner);
    EXPECT_TRUE(store.Load().empty());
    EXPECT_EQ(store.Find("https://a.example"), Grant{});
    EXPECT_FALSE(store.Revoke("https://a.example"));

    store.Set("https://a.example", {.always = true}, true);
    store.Set("https://b.example", {.always = true, .withoutPrompt = true}, false);
    EXPECT_EQ(ModeOf(store.File()), 0600u);
    EXPECT_EQ(ModeOf(inner), 0700u);
    // Merging keeps what was granted; setting replaces it.
    store.Set("https://b.example", {.always = true}, true);
    EXPECT_EQ(store.Find("https://b.example"), (Grant{.always = true, .withoutPrompt = true}));
    store.Set("https://b.example", {.always = true}, false);
    EXPECT_EQ(store.Find("https://b.example"), (Grant{.always = true}));
    EXPECT_THROW(store.Set("https://B.example", {.always = true}, false), ConsentError);

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
                            store.Set(origin(p, t, i),
                                      {.always = true, .withoutPrompt = i % 2 == 0}, false);
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
                EXPECT_EQ(it->second, (Grant{.always = true, .withoutPrompt = i % 2 == 0}));
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
                if (attempt == 1)
                    store.Set("https://a.example", {.always = true, .withoutPrompt = true}, true);
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
    EXPECT_THROW(store.Set("https://a.example", {.always = true}, false), ConsentError);
    EXPECT_TRUE(fs::is_directory(file));
    fs::remove(file);

    if (::geteuid() == 0) {
        write(good);
        ASSERT_EQ(::chown(file.c_str(), 4321, 4321), 0);
        expectRefused("another user's", "another user");
    }
    // The same text, mode and owner it was refused for are taken once right.
    write(good);
    EXPECT_EQ(store.Find("https://a.example"), (Grant{.always = true}));
}

TEST(BridgeConsentText, NothingInTheTextCanHideSoThatItIsSignedUnseen) {
    const auto shown = [](std::string_view text) { return ShowText(text).text; };
    // Words and single spaces as they are; what else separates them, marked.
    EXPECT_EQ(shown("Pay 100 to Ann"), "Pay 100 to Ann");
    EXPECT_EQ(shown("Pay 100\r\nto Ann\tLee\rX\n"),
              "Pay 100\u240D\u21B5\nto Ann\u21E5Lee\u240D\nX\u21B5\n");
    EXPECT_EQ(shown("a  b"), "a\u2423\u2423b");
    // Long runs, which would push the rest out of sight, are counted.
    EXPECT_EQ(shown("Pay 1" + std::string(5000, ' ') + "00 000"),
              "Pay 1\u2423\u27E85,000 spaces\u27E900 000");
    EXPECT_EQ(shown("x" + std::string(12, '\t') + "y"), "x\u21E5\u27E812 tabs\u27E9y");
    EXPECT_EQ(shown("a\n\n\nb"), "a\u21B5\n\u21B5\n\u21B5\nb");
    EXPECT_EQ(shown("a" + std::string(400, '\n') + "b"), "a\u21B5\u27E8400 line breaks\u27E9\nb");
    // Controls, bidirectional and invisible marks, odd blanks, bytes that are
    // not UTF-8 (and overlong forms of characters).
    EXPECT_EQ(shown(std::string("a\0b\x1B[2Jc\x7F", 9)),
              "a\u27E8U+0000\u27E9b\u27E8U+001B\u27E9[2Jc\u27E8U+007F\u27E9");
    EXPECT_EQ(
        shown("pay \u202E001\u200B\u2066!\u00A0\u2028\uFEFF\xFF\xC0\xAF"),
        "pay \u27E8U+202E\u27E9001\u27E8U+200B\u27E9\u27E8U+2066\u27E9!\u27E8U+00A0\u27E9"
        "\u27E8U+2028\u27E9\u27E8U+FEFF\u27E9\u27E80xFF\u27E9\u27E80xC0\u27E9\u27E80xAF\u27E9");
    EXPECT_EQ(shown("\u00E9t\u00E9 \u20AC \U0001F600"), "\u00E9t\u00E9 \u20AC \U0001F600");
    EXPECT_EQ(shown("tag\U000E0041"), "tag\u27E8U+E0041\u27E9");

    // Characters, not bytes, are counted; a huge text is cut, and says so.
    const TextShown small = ShowText("\u00E9t\u00E9\r\n");
    EXPECT_EQ(small.characters, 5u);
    EXPECT_EQ(small.shown, 5u);
    EXPECT_NE(ExtentLine(small).find("All 5 characters are shown"), std::string::npos);
    std::string huge;
    for (std::size_t i = 0; i < kShownCharacters + 1234; ++i) huge += i % 2 ? "\u00E9" : "x";
    const TextShown cut = ShowText(huge);
    EXPECT_EQ(cut.shown, kShownCharacters);
    EXPECT_EQ(cut.characters, kShownCharacters + 1234);
    EXPECT_EQ(cut.text, huge.substr(0, kShownCharacters / 2 * 3));
    EXPECT_NE(ExtentLine(cut).find("Only the first 100,000 of 101,234 characters are shown"),
              std::string::npos);
}

TEST(BridgeConsentText, AnOriginIsWrappedWhole) {
    const std::string origin =
        "https://www.mybank.com.account-verification-secure-login-update.example.co.uk:8443";
    const std::string wrapped = WrappedOrigin(origin);
    std::string joined;
    std::size_t lines = 0;
    for (std::size_t at = 0; at <= wrapped.size();) {
        const std::size_t end = std::min(wrapped.find('\n', at), wrapped.size());
        EXPECT_LE(end - at, kOriginLine);
        joined += wrapped.substr(at, end - at);
        ++lines;
        at = end + 1;
    }
    EXPECT_EQ(joined, origin);
    EXPECT_EQ(lines, 3u);
    // Broken after a dot or hyphen near the end of a line.
    EXPECT_EQ(wrapped.substr(0, wrapped.find('\n')), "https://www.mybank.com.account-");
    EXPECT_EQ(WrappedOrigin("https://bank.example"), "https://bank.example");
    EXPECT_EQ(DomainLine(origin), "Domain: example.co.uk");
    EXPECT_EQ(DomainLine("http://127.0.0.1:8080"), "Address: 127.0.0.1");
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
        // Answers follow each other at once here; the pause has its own test.
        consent.SetTimes({std::chrono::milliseconds(200), std::chrono::milliseconds(0)});
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
    EXPECT_EQ(consent.Find(kSite), (Grant{.always = true}));
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
    consent.Set(kSite, {.always = true}, false);
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
    EXPECT_EQ(test::ControlOf(lines[0], kConfirmText)["text"], ShowText(text).text);
    EXPECT_EQ(test::ControlOf(lines[0], kConfirmExtent)["text"], ExtentLine(ShowText(text)));
    EXPECT_NE(ShowText(text).text.find("Pay \u27E8U+001B\u27E9 100"), std::string::npos);

    // A position the store does not have is said so; the page learns nothing.
    ui.Script("click 1202");
    EXPECT_EQ(Code(Call("SignMessageNoPrompt", json::array({"t", 5}))), "ERR_CONSENT");
    EXPECT_NE(test::ControlOf(LastOpened(), kConfirmSubject)["text"].get<std::string>().find(
                  "no certificate at position 5"),
              std::string::npos);

    // Allowed without prompt: signed without a word.
    consent.Set(kSite, {.always = true, .withoutPrompt = true}, false);
    const std::size_t before = Opened().size();
    EXPECT_EQ(Code(Call("SignMessageNoPrompt", json::array({text, 0}))), "");
    EXPECT_EQ(Opened().size(), before);
    EXPECT_EQ(control.calls.size(), 2u);
}

TEST_F(BridgeConsent, TheSignerAsksAsTheControlDoesForWhatItsOptionsName) {
    test::AddToStore(test::MakeCert());
    // A position: the text and that certificate are confirmed, as for
    // SignMessageNoPrompt, even for a site that is always allowed.
    consent.Set(kSite, {.always = true}, false);
    ui.Script("ok");
    EXPECT_EQ(Code(Call("Signer.Sign", json::array({"Pay 100", R"({"certificate":0})"}))), "");
    ASSERT_EQ(Opened(), std::vector<std::string>{kConfirm});
    EXPECT_EQ(test::ControlOf(LastOpened(), kConfirmSubject)["text"],
              "C=US, O=Org, CN=Ann Lee, E=ann.lee@example.org");
    EXPECT_EQ(test::ControlOf(LastOpened(), kConfirmText)["text"], ShowText("Pay 100").text);
    ui.Script("click 1202");
    EXPECT_EQ(Code(Call("Signer.Sign", json::array({"Pay 100", R"({"certificate":0})"}))),
              "ERR_CONSENT");
    // The chooser: the site's "always" is enough.
    EXPECT_EQ(Code(Call("Signer.Sign", json::array({"Pay 100", R"({"certificate":"choose"})"}))),
              "");
    EXPECT_EQ(Code(Call("Signer.ChooseCertificate", json::array({"{}"}))), "");
    EXPECT_EQ(Opened().size(), 2u);
    // A site not yet allowed is asked whether it may use the certificates.
    ASSERT_TRUE(consent.Revoke(kSite));
    ui.Script("ok");
    EXPECT_EQ(Code(Call("Signer.Sign", json::array({"Pay 100", "{}"}))), "");
    EXPECT_EQ(Opened().back(), kAsk);
    EXPECT_EQ(control.calls, (std::vector<std::string>{"Signer.Sign", "Signer.Sign",
                                                       "Signer.ChooseCertificate", "Signer.Sign"}));
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
    consent.Set(kSite, {.always = true}, false);
    EXPECT_EQ(Code(Call("ChooseCertificate", json::array())), "");
    EXPECT_EQ(Code(Call("SignMessageNoPrompt", json::array({"x", 0}))), "ERR_CONSENT");
    consent.Set(kSite, {.always = true, .withoutPrompt = true}, false);
    EXPECT_EQ(Code(Call("SignMessageNoPrompt", json::array({"x", 0}))), "");
    // Reading needs no consent at all.
    EXPECT_EQ(Code(Call("GetSubjectName", json::array({"00"}), "https://other.example")), "");
    EXPECT_EQ(control.calls.size(), 3u);
}

TEST_F(BridgeConsent, AGrantsFileThatCannotBeTrustedAsksNobodyAndRunsNothing) {
    ui.Script("click 1102");
    test::WriteFile(consent.File(), "{\"version\":1,\"origins\":{}}");
    ::chmod(consent.File().c_str(), 0666);
    for (const json& args : {json::array(), json::array({"x", 0})}) {
        testing::internal::CaptureStderr();
        const json reply = Call(args.empty() ? "ChooseCertificate" : "SignMessageNoPrompt", args);
        const std::string log = testing::internal::GetCapturedStderr();
        EXPECT_EQ(Code(reply), "ERR_CONSENT");
        // The page hears what to run, never where the file is (it names the
        // user); the host's log has the whole story.
        EXPECT_NE(Message(reply).find("ostrel bridge origins list"), std::string::npos) << reply;
        EXPECT_EQ(reply.dump().find(home.Path().string()), std::string::npos) << reply;
        EXPECT_EQ(reply.dump().find('/', reply.dump().find("https://") + 8), std::string::npos);
        EXPECT_NE(log.find(consent.File().string()), std::string::npos) << log;
        EXPECT_NE(log.find("chmod 600"), std::string::npos) << log;
    }
    EXPECT_TRUE(Opened().empty());
    EXPECT_TRUE(control.calls.empty());
}

TEST_F(BridgeConsent, ALongOriginIsShownWholeWithItsDomainApart) {
    const std::string site =
        "https://www.mybank.com.account-verification-secure-login-update.example.co.uk";
    test::AddToStore(test::MakeCert());
    ui.Script("click 1103");
    EXPECT_EQ(Code(Call("ChooseCertificate", json::array(), site)), "ERR_CONSENT");
    ui.Script("click 1202");
    EXPECT_EQ(Code(Call("SignMessageNoPrompt", json::array({"t", 0}), site)), "ERR_CONSENT");
    std::vector<json> opened;
    for (const auto& line : ui.DialogLines())
        if (line["event"] == "open") opened.push_back(line);
    ASSERT_EQ(opened.size(), 2u);
    const int ids[][2] = {{kConsentOrigin, kConsentDomain}, {kConfirmOrigin, kConfirmDomain}};
    for (std::size_t i = 0; i < 2; ++i) {
        std::string text = test::ControlOf(opened[i], ids[i][0])["text"];
        EXPECT_NE(text.find('\n'), std::string::npos) << text;
        std::erase(text, '\n');
        EXPECT_EQ(text, site);
        EXPECT_EQ(test::ControlOf(opened[i], ids[i][1])["text"], "Domain: example.co.uk");
    }
}

TEST_F(BridgeConsent, BlockThisSiteRefusesItFromNowOnWithoutAQuestion) {
    // The block is kept, so no pause follows it: revoked, the site asks at once.
    consent.SetTimes({std::chrono::milliseconds(200), std::chrono::milliseconds(60'000)});
    ui.Script("click 1104");
    const json reply = Call("SignMessage", json::array({"x"}));
    EXPECT_EQ(Code(reply), "ERR_CONSENT");
    EXPECT_NE(Message(reply).find("ostrel bridge origins revoke " + std::string(kSite)),
              std::string::npos);
    EXPECT_EQ(consent.Find(kSite), (Grant{.blocked = true}));
    ui.Script("ok");
    for (const json& args : {json::array(), json::array({"x"}), json::array({"x", 0})}) {
        const std::string method = args.empty()       ? "ChooseCertificate"
                                   : args.size() == 1 ? "SignMessage"
                                                      : "SignMessageNoPrompt";
        EXPECT_EQ(Code(Call(method, args)), "ERR_CONSENT") << method;
    }
    EXPECT_EQ(Opened().size(), 1u);
    // From the confirmation too; other sites are still asked.
    ui.Script("click 1204");
    EXPECT_EQ(Code(Call("SignMessageNoPrompt", json::array({"x", 0}), "https://b.example")),
              "ERR_CONSENT");
    EXPECT_TRUE(consent.Find("https://b.example").blocked);
    ui.Script("ok");
    EXPECT_EQ(Code(Call("ChooseCertificate", json::array(), "https://c.example")), "");
    ASSERT_TRUE(consent.Revoke(kSite));
    EXPECT_EQ(Code(Call("ChooseCertificate", json::array())), "");
    EXPECT_EQ(control.calls.size(), 2u);
}

TEST_F(BridgeConsent, AfterANoTheSameDomainWaitsBeforeItMayAskAgain) {
    consent.SetTimes({std::chrono::milliseconds(200), std::chrono::milliseconds(600)});
    const auto opened = [&] { return Opened().size(); };
    for (const char* no : {"click 1103", "escape"}) {
        SCOPED_TRACE(no);
        ui.Script(no);
        const std::size_t before = opened();
        EXPECT_NE(Code(Call("ChooseCertificate", json::array())), "");
        ui.Script("ok");
        // A flood of calls meets no dialog, from this origin or another of
        // its domain.
        for (int i = 0; i < 30; ++i) {
            const json reply = Call("SignMessage", json::array({"x"}),
                                    i % 2 ? kSite : "https://login.bank.example");
            EXPECT_EQ(Code(reply), "ERR_CONSENT");
            EXPECT_NE(Message(reply).find("may ask again in 1 s"), std::string::npos) << reply;
        }
        EXPECT_EQ(opened(), before + 1);
        // Another domain is not held up; this one asks again once it passed.
        EXPECT_EQ(Code(Call("ChooseCertificate", json::array(), "https://other.example")), "");
        std::this_thread::sleep_for(std::chrono::milliseconds(650));
        EXPECT_EQ(Code(Call("ChooseCertificate", json::array())), "");
    }
    // The ports of an address are services of their own.
    ui.Script("click 1103");
    EXPECT_EQ(Code(Call("ChooseCertificate", json::array(), "http://127.0.0.1:8080")),
              "ERR_CONSENT");
    ui.Script("ok");
    EXPECT_EQ(Code(Call("ChooseCertificate", json::array(), "http://127.0.0.1:8081")), "");
    EXPECT_NE(Message(Call("ChooseCertificate", json::array(), "http://127.0.0.1:8080"))
                  .find("may ask again"),
              std::string::npos);
    std::this_thread::sleep_for(std::chrono::milliseconds(650));
    // "Allow once" starts no pause.
    EXPECT_EQ(Code(Call("ChooseCertificate", json::array())), "");
    EXPECT_EQ(Code(Call("ChooseCertificate", json::array())), "");
}

TEST_F(BridgeConsent, OneQuestionAtATimeAcrossTheUsersHosts) {
    ui.Script("ok");
    // Another host of the user has a question on screen.
    std::optional<QuestionTurn> other = ConsentStore(home.Path()).TakeTurn({});
    ASSERT_TRUE(other.has_value());
    const auto began = std::chrono::steady_clock::now();
    const json reply = Call("ChooseCertificate", json::array());
    EXPECT_GE(std::chrono::steady_clock::now() - began, std::chrono::milliseconds(200));
    EXPECT_EQ(Code(reply), "ERR_BUSY") << reply;
    EXPECT_TRUE(Opened().empty());
    // A site that needs no question still waits for the turn when the
    // control shows its chooser, which the other question would cover; it
    // does not when it signs by position, which shows nothing.
    consent.Set("https://allowed.example", {.always = true, .withoutPrompt = true}, false);
    EXPECT_EQ(Code(Call("ChooseCertificate", json::array(), "https://allowed.example")),
              "ERR_BUSY");
    EXPECT_EQ(Code(Call("SignMessageNoPrompt", json::array({"x", -1}), "https://allowed.example")),
              "ERR_BUSY");
    EXPECT_TRUE(control.calls.empty());
    EXPECT_EQ(Code(Call("SignMessageNoPrompt", json::array({"x", 0}), "https://allowed.example")),
              "");
    EXPECT_EQ(control.calls.size(), 1u);
    // Once answered there, a question waiting here goes ahead.
    consent.SetTimes({std::chrono::milliseconds(5000), std::chrono::milliseconds(0)});
    std::thread answered([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        other.reset();
    });
    EXPECT_EQ(Code(Call("ChooseCertificate", json::array())), "");
    answered.join();
    EXPECT_EQ(Opened().size(), 1u);
    // And another process cannot take it while one is asking.
    const pid_t child = ::fork();
    if (child == 0) {
        auto held = ConsentStore(home.Path()).TakeTurn({});
        ::sleep(1);
        ::_exit(held ? 0 : 1);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(ConsentStore(home.Path()).TakeTurn(std::chrono::milliseconds(100)).has_value());
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(ConsentStore(home.Path()).TakeTurn({}).has_value());
}

TEST_F(BridgeConsent, HttpOnThisComputerIsAskedEveryTimeWhateverTheFileSays) {
    const std::string shared = "http://127.0.0.1:8080";
    // As an older release could have written it.
    test::WriteFile(
        consent.File(),
        json({{"version", 1},
              {"origins",
               {{shared, {{"always", true}, {"withoutPrompt", true}}},
                {"https://127.0.0.1:8443", {{"always", true}, {"withoutPrompt", true}}}}}})
            .dump());
    ::chmod(consent.File().c_str(), 0600);
    ui.Script("click 1202");
    testing::internal::CaptureStderr();
    EXPECT_EQ(Code(Call("SignMessageNoPrompt", json::array({"x", 0}), shared)), "ERR_CONSENT");
    EXPECT_NE(testing::internal::GetCapturedStderr().find("not honoured"), std::string::npos);
    // Its question offers no "Always allow", and a script that finds none
    // leaves it unanswered.
    ui.Script("click 1102");
    EXPECT_EQ(Code(Call("ChooseCertificate", json::array(), shared)), "ERR_CANCELLED");
    EXPECT_EQ(test::ControlOf(LastOpened(), kConsentOrigin)["text"], shared);
    ui.Script("ok");
    EXPECT_EQ(Code(Call("ChooseCertificate", json::array(), shared)), "");
    EXPECT_EQ(Opened().size(), 3u);
    // https on the loopback is someone's own: its grant holds.
    EXPECT_EQ(Code(Call("SignMessageNoPrompt", json::array({"x", 0}), "https://127.0.0.1:8443")),
              "");
    EXPECT_EQ(Opened().size(), 3u);
    EXPECT_EQ(control.calls.size(), 2u);
}

TEST_F(BridgeConsent, AReplyTooLongForTheBrowserBecomesAnErrorWithItsId) {
    consent.Set(kSite, {.always = true, .withoutPrompt = true}, false);
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
