// `ostrel bridge install | uninstall | status` as a user runs them: the built
// program with a private home, configuration folder and system root, and an
// empty PATH, so that no browser of this machine is seen.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "hosts/bridge/Consent.h"
#include "hosts/bridge/Extension.h"
#include "tests/support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

std::string Quote(const std::string& text) {
    std::string out = "'";
    for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

fs::path BinFolder() {
    if (const char* dir = std::getenv("OSTREL_BIN"); dir != nullptr && *dir != '\0') return dir;
    return fs::read_symlink("/proc/self/exe").parent_path();
}

struct Outcome {
    int status;
    std::string out, err;
};

const std::string kChromiumOrigin =
    "chrome-extension://" + std::string(ostrel::bridge::kChromiumExtensionId) + "/";
const std::string kDevChromium = "abcdefghijklmnopabcdefghijklmnop";

class BridgeInstall : public ::testing::Test {
protected:
    void SetUp() override { fs::create_directories(Empty()); }

    Outcome Run(const std::vector<std::string>& args, const fs::path& program = {}) {
        std::string line =
            "HOME=" + Quote(User().string()) + " XDG_CONFIG_HOME=" + Quote(Config().string()) +
            " OSTREL_BRIDGE_SYSTEM_ROOT=" + Quote(Root().string()) +
            " PATH=" + Quote(Empty().string()) + " " +
            Quote((program.empty() ? BinFolder() / "ostrel" : program).string()) + " bridge";
        for (const auto& a : args) line += " " + Quote(a);
        const fs::path err = home.Path() / "stderr.txt";
        const auto r = ostrel::test::RunCommand(line + " </dev/null 2>" + Quote(err.string()));
        return {r.status, r.out, ostrel::test::ReadFile(err)};
    }

    fs::path User() const { return home.Path() / "user"; }
    fs::path Config() const { return home.Path() / "config"; }
    fs::path Root() const { return home.Path() / "root"; }
    fs::path Empty() const { return home.Path() / "empty-path"; }

    fs::path ChromiumManifest() const {
        return Config() / "chromium/NativeMessagingHosts/org.ostrel.bridge.json";
    }
    fs::path ChromeManifest() const {
        return Config() / "google-chrome/NativeMessagingHosts/org.ostrel.bridge.json";
    }
    fs::path FirefoxManifest() const {
        return User() / ".mozilla/native-messaging-hosts/org.ostrel.bridge.json";
    }

    static json Read(const fs::path& file) {
        return json::parse(ostrel::test::ReadFile(file), nullptr, false);
    }
    static unsigned Mode(const fs::path& file) {
        struct stat st {};
        return ::stat(file.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
    }
    static std::string Host() { return fs::canonical(BinFolder() / "ostrel-bridge").string(); }

    ostrel::test::TempHome home;
};

TEST_F(BridgeInstall, WritesEachBrowsersManifestNamingTheHostBesideTheProgram) {
    for (const char* browser : {"chromium", "chrome", "firefox"}) {
        const Outcome r = Run({"install", "--browser", browser});
        EXPECT_EQ(r.status, 0) << r.out << r.err;
    }
    for (const fs::path& file : {ChromiumManifest(), ChromeManifest()}) {
        EXPECT_EQ(Read(file), json({{"name", "org.ostrel.bridge"},
                                    {"description", Read(file).value("description", "")},
                                    {"path", Host()},
                                    {"type", "stdio"},
                                    {"allowed_origins", {kChromiumOrigin}}}))
            << file;
        EXPECT_EQ(Mode(file), 0644u) << file;
    }
    EXPECT_EQ(Read(FirefoxManifest())["allowed_extensions"], json({"bridge@ostrel.org"}));
    EXPECT_EQ(Read(FirefoxManifest())["path"], Host());
    EXPECT_FALSE(Read(FirefoxManifest()).contains("allowed_origins"));
    EXPECT_EQ(Mode(FirefoxManifest()), 0644u);
    // No extra extension was named: nothing is recorded for the host.
    EXPECT_FALSE(fs::exists(home.Path() / "bridge-extensions.json"));
}

TEST_F(BridgeInstall, AllInstallsForTheBrowsersFoundAndSaysWhichItSkipped) {
    Outcome r = Run({"install"});
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("Skipped Chromium"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("--browser firefox"), std::string::npos) << r.out;
    EXPECT_FALSE(fs::exists(ChromiumManifest()));

    fs::create_directories(Config() / "chromium");
    fs::create_directories(Config() / "mozilla/firefox");  // a profile kept the newer way
    r = Run({"install"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(fs::exists(ChromiumManifest()));
    EXPECT_TRUE(fs::exists(FirefoxManifest()));
    EXPECT_FALSE(fs::exists(ChromeManifest()));
    EXPECT_NE(r.out.find("Skipped Google Chrome"), std::string::npos) << r.out;
}

TEST_F(BridgeInstall, FurtherExtensionsAreAllowedInTheManifestsAndForTheHost) {
    Outcome r = Run({"install", "--browser", "chromium", "--extension-id", kDevChromium,
                     "--extension-id", "my-copy@example.org"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(Read(ChromiumManifest())["allowed_origins"],
              json({kChromiumOrigin, "chrome-extension://" + kDevChromium + "/"}));
    const fs::path list = home.Path() / "bridge-extensions.json";
    EXPECT_EQ(Read(list),
              json({{"chromium", {kDevChromium}}, {"firefox", {"my-copy@example.org"}}}));
    EXPECT_EQ(Mode(list), 0600u);
    // Installing again for another browser keeps what was added.
    r = Run({"install", "--browser", "firefox"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(Read(FirefoxManifest())["allowed_extensions"],
              json({"bridge@ostrel.org", "my-copy@example.org"}));

    for (const auto& args : std::vector<std::vector<std::string>>{
             {"install", "--extension-id", "not an id"},
             {"install", "--system", "--extension-id", kDevChromium},
             {"install", "--browser", "firefox", "--chromium-user-data-dir", "/tmp/x"},
             {"install", "--browser", "safari"}}) {
        r = Run(args);
        EXPECT_EQ(r.status, 2) << args.back();
        EXPECT_FALSE(r.err.empty());
    }

    r = Run({"uninstall", "--browser", "firefox", "--extension-id", "my-copy@example.org"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(Read(list), json({{"chromium", {kDevChromium}}, {"firefox", json::array()}}));
}

TEST_F(BridgeInstall, UninstallRemovesOnlyOurManifests) {
    ASSERT_EQ(Run({"install", "--browser", "chromium"}).status, 0);
    ASSERT_EQ(Run({"install", "--browser", "firefox"}).status, 0);
    const fs::path foreign = ChromiumManifest().parent_path() / "com.example.other.json";
    ostrel::test::WriteFile(foreign, R"({"name":"com.example.other"})");
    // Someone else's file under our name is not ours to remove.
    ostrel::test::WriteFile(ChromeManifest(), R"({"name":"com.example.other","path":"/x"})");

    const Outcome r = Run({"uninstall"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_FALSE(fs::exists(ChromiumManifest()));
    EXPECT_FALSE(fs::exists(FirefoxManifest()));
    EXPECT_TRUE(fs::exists(foreign));
    EXPECT_TRUE(fs::exists(ChromeManifest()));
    EXPECT_NE(r.out.find("not a manifest of the ostrel host"), std::string::npos) << r.out;
    // Nothing left to remove is not an error.
    EXPECT_EQ(Run({"uninstall", "--browser", "chromium"}).status, 0);
}

TEST_F(BridgeInstall, StatusGreetsTheHostAndShowsHowToFixEachProblem) {
    Outcome r = Run({"status"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("not installed: run `ostrel bridge install --browser chromium`"),
              std::string::npos)
        << r.out;

    ASSERT_EQ(Run({"install", "--browser", "firefox"}).status, 0);
    r = Run({"status"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("ostrel-bridge " OSTREL_TEST_VERSION ", protocol 1"), std::string::npos)
        << r.out;

    // A manifest naming a program that is not there.
    ASSERT_EQ(Run({"install", "--browser", "chromium"}).status, 0);
    json manifest = Read(ChromiumManifest());
    manifest["path"] = (home.Path() / "gone/ostrel-bridge").string();
    ostrel::test::WriteFile(ChromiumManifest(), manifest.dump());
    r = Run({"status"});
    EXPECT_EQ(r.status, 1) << r.out;  // Firefox is ready, but an installed manifest is broken
    EXPECT_NE(r.out.find("gone/ostrel-bridge, which does not exist"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("fix: run `ostrel bridge install --browser chromium`"), std::string::npos)
        << r.out;

    // One naming a program that cannot be run.
    const fs::path copy = home.Path() / "copy/ostrel-bridge";
    fs::create_directories(copy.parent_path());
    fs::copy_file(Host(), copy);
    fs::permissions(copy, fs::perms(0644));
    manifest["path"] = copy.string();
    ostrel::test::WriteFile(ChromiumManifest(), manifest.dump());
    r = Run({"status", "--browser", "chromium"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("which is not an executable file"), std::string::npos) << r.out;

    // One the extension is not allowed by, and one that is not JSON.
    manifest["path"] = Host();
    manifest["allowed_origins"] = {"chrome-extension://" + kDevChromium + "/"};
    ostrel::test::WriteFile(ChromiumManifest(), manifest.dump());
    r = Run({"status", "--browser", "chromium"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("does not allow the ostrel extension"), std::string::npos) << r.out;
    ostrel::test::WriteFile(ChromiumManifest(), "{\"name\":");
    r = Run({"status", "--browser", "chromium"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("not a JSON object"), std::string::npos) << r.out;

    ASSERT_EQ(Run({"install", "--browser", "chromium"}).status, 0);
    EXPECT_EQ(Run({"status"}).status, 0);
}

TEST_F(BridgeInstall, SystemWideInstallsGoUnderTheSystemRootAndServeAFreshUser) {
    Outcome r = Run({"install", "--system", "--browser", "all"});
    // Nothing of the browsers is under the fresh root.
    EXPECT_EQ(r.status, 1) << r.out;
    for (const char* browser : {"chromium", "chrome", "firefox"})
        ASSERT_EQ(Run({"install", "--system", "--browser", browser}).status, 0);
    const fs::path files[] = {
        Root() / "etc/chromium/native-messaging-hosts/org.ostrel.bridge.json",
        Root() / "etc/opt/chrome/native-messaging-hosts/org.ostrel.bridge.json",
        Root() / "usr/lib/mozilla/native-messaging-hosts/org.ostrel.bridge.json"};
    for (const auto& file : files) {
        EXPECT_EQ(Read(file)["path"], Host()) << file;
        EXPECT_EQ(Mode(file), 0644u) << file;
    }
    EXPECT_FALSE(fs::exists(User()));
    r = Run({"status"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("=> ready (system-wide install)"), std::string::npos) << r.out;

    // The user's own manifest comes first for the browser.
    ASSERT_EQ(Run({"install", "--browser", "firefox"}).status, 0);
    r = Run({"uninstall", "--system"});
    EXPECT_EQ(r.status, 0) << r.out;
    for (const auto& file : files) EXPECT_FALSE(fs::exists(file)) << file;
    EXPECT_TRUE(fs::exists(FirefoxManifest()));
}

TEST_F(BridgeInstall, AProfileGivenByUserDataDirGetsItsOwnManifest) {
    const fs::path profile = home.Path() / "profile";
    Outcome r =
        Run({"install", "--browser", "chromium", "--chromium-user-data-dir", profile.string()});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(fs::exists(profile / "NativeMessagingHosts/org.ostrel.bridge.json"));
    EXPECT_FALSE(fs::exists(ChromiumManifest()));
    r = Run({"status", "--browser", "chromium", "--chromium-user-data-dir", profile.string()});
    EXPECT_EQ(r.status, 0) << r.out;
}

TEST_F(BridgeInstall, ConfinedBrowsersAreNamedWithWhatToDo) {
    ostrel::test::WriteFile(Root() / "snap/bin/chromium", "");
    fs::create_directories(User() / ".var/app/org.mozilla.firefox");
    const Outcome r = Run({"install", "--browser", "all"});
    EXPECT_NE(r.out.find("Chromium is also installed as a snap"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Firefox is also installed as a flatpak"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("sudo apt install chromium"), std::string::npos) << r.out;
    // A confined copy alone is not a browser to install for.
    EXPECT_FALSE(fs::exists(ChromiumManifest()));
}

TEST_F(BridgeInstall, RefusesWhenTheHostIsNotBesideTheProgram) {
    const fs::path alone = home.Path() / "alone/ostrel";
    fs::create_directories(alone.parent_path());
    fs::copy_file(BinFolder() / "ostrel", alone);
    Outcome r = Run({"install", "--browser", "chromium"}, alone);
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("cannot find the bridge host"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(ChromiumManifest()));

    ostrel::test::WriteFile(alone.parent_path() / "ostrel-bridge", "#!/bin/sh\n");
    r = Run({"install", "--browser", "chromium"}, alone);
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("is not an executable file"), std::string::npos) << r.err;
}

// `bridge origins`: what allow stores, revoke finds, and what cannot be
// allowed ahead is refused with the reason.
TEST_F(BridgeInstall, OriginsAreStoredAsBrowsersNameThemSoThatRevokeFindsThem) {
    const fs::path file = home.Path() / ostrel::bridge::kOriginsFile;
    for (const char* bad : {"https://bank.example:443:443", "https://bank.example:",
                            "https://bank.example:65536", "https://[::1]:1:1"}) {
        const Outcome refused = Run({"origins", "allow", bad});
        EXPECT_EQ(refused.status, 2) << bad;
        EXPECT_NE(refused.err.find("is not the origin of a web page"), std::string::npos)
            << refused.err;
    }
    EXPECT_FALSE(fs::exists(file));
    EXPECT_EQ(Run({"origins", "allow", "HTTPS://Bank.Example:0443/"}).out,
              "allowed https://bank.example\n");
    EXPECT_EQ(Run({"origins", "revoke", "https://bank.example:443"}).status, 0);
    EXPECT_EQ(Run({"origins", "list"}).out, "");

    // What an older release stored in a spelling no browser reports is shown
    // as such, and goes by the site's name.
    ostrel::test::WriteFile(file, R"({"version":1,"origins":{
        "https://bank.example:443":{"always":true,"withoutPrompt":true},
        "https://pushy.example":{"always":false,"withoutPrompt":false,"blocked":true}}})");
    ::chmod(file.c_str(), 0600);
    EXPECT_EQ(Run({"origins", "list"}).out,
              "https://bank.example:443 always without-prompt (never matches: revoke it and "
              "allow https://bank.example)\nhttps://pushy.example blocked\n");
    EXPECT_EQ(Read(file)["origins"].size(), 2u);
    EXPECT_EQ(json::parse(Run({"origins", "list", "--json"}).out)[1],
              json({{"origin", "https://pushy.example"},
                    {"always", false},
                    {"withoutPrompt", false},
                    {"blocked", true}}));
    EXPECT_EQ(Run({"origins", "revoke", "https://bank.example"}).out,
              "revoked https://bank.example\n");
    // Revoking a block lets the site ask again.
    EXPECT_EQ(Run({"origins", "revoke", "https://pushy.example"}).status, 0);
    EXPECT_EQ(Read(file)["origins"], json::object());
}

TEST_F(BridgeInstall, HttpPagesOnThisComputerCannotBeAllowedAhead) {
    for (const char* shared :
         {"http://127.0.0.1:8080", "http://localhost:3000", "http://[::1]", "http://127.1.2.3"}) {
        for (bool silent : {false, true}) {
            std::vector<std::string> args = {"origins", "allow", shared};
            if (silent) args.push_back("--without-prompt");
            const Outcome refused = Run(args);
            EXPECT_EQ(refused.status, 2) << shared;
            EXPECT_NE(refused.err.find("any user of this computer"), std::string::npos)
                << refused.err;
            EXPECT_NE(refused.err.find("https://"), std::string::npos) << refused.err;
        }
    }
    EXPECT_FALSE(fs::exists(home.Path() / ostrel::bridge::kOriginsFile));
    // The same address over https is the user's own server.
    EXPECT_EQ(Run({"origins", "allow", "https://127.0.0.1:8443", "--without-prompt"}).status, 0);
    EXPECT_EQ(Run({"origins", "list"}).out, "https://127.0.0.1:8443 always without-prompt\n");
}

}  // namespace
