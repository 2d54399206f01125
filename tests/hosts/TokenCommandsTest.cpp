// The `ostrel` program with certificates on SoftHSM2 tokens: how the store
// lists them, what it refuses to do with them, and signing with the PIN
// given in the dialog (typed by the scripted user).

#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/SoftTokens.h"
#include "tests/support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using namespace ostrel::test;

std::string Quote(const std::string& text) {
    std::string out = "'";
    for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

std::string Binary() {
    if (const char* dir = std::getenv("OSTREL_BIN"); dir != nullptr && *dir != '\0')
        return std::string(dir) + "/ostrel";
    return (fs::read_symlink("/proc/self/exe").parent_path() / "ostrel").string();
}

struct Outcome {
    int status;
    std::string out, err;
};

class TokenCommands : public ::testing::Test {
protected:
    void SetUp() override {
        if (!SoftTokens::Available()) {
            GTEST_SKIP() << "SoftHSM2 or its tools are not installed";
        }
        m_tokens.emplace(m_home.Path());
        m_file = MakeCert({.subject = "/CN=File Entry", .serialHex = "F1"});
        m_signer = MakeCert({.subject = "/CN=Token Signer", .serialHex = "71"});
        m_bare = MakeCert({.subject = "/CN=Token Bare", .serialHex = "72"});
        AddToStore(m_file);
        m_serial = m_tokens->AddToken("Alpha", "2468");
        m_tokens->ImportKey("Alpha", m_signer, "01", "2468");
        m_tokens->ImportCert("Alpha", m_signer, "01", "2468");
        m_tokens->ImportCert("Alpha", m_bare, "02", "2468");
    }

    // Runs the program with the user interface given ("none", or the
    // scripted user with `script`); the UI log goes to ui.log.
    Outcome Run(const std::vector<std::string>& args, const std::string& ui = "none",
                const std::string& script = "", const std::string& input = "") {
        std::string line = "OSTREL_UI=" + ui + " OSTREL_UI_SCRIPT=" + Quote(script) +
                           " OSTREL_UI_LOG=" + Quote(UiLog().string()) + " " + Quote(Binary());
        for (const auto& a : args) line += " " + Quote(a);
        const fs::path in = m_home.Path() / "stdin.txt";
        WriteFile(in, input);
        const fs::path err = m_home.Path() / "stderr.txt";
        const auto r = RunCommand(line + " <" + Quote(in.string()) + " 2>" + Quote(err.string()));
        return {r.status, r.out, ReadFile(err)};
    }
    fs::path UiLog() const { return m_home.Path() / "ui.log"; }

    bool Verifies(const std::string& base64, const std::string& text) {
        const auto der = DecodeBase64Text(base64);
        if (der.empty()) return false;
        WriteFile(m_home.Path() / "sig.der", std::string(der.begin(), der.end()));
        WriteFile(m_home.Path() / "content.txt", text);
        return RunCommand("openssl cms -verify -binary -noverify -inform DER -in " +
                          Quote((m_home.Path() / "sig.der").string()) + " -content " +
                          Quote((m_home.Path() / "content.txt").string()) +
                          " -out /dev/null 2>/dev/null")
                   .status == 0;
    }

    TempHome m_home;
    std::optional<SoftTokens> m_tokens;
    TestCert m_file, m_signer, m_bare;
    std::string m_serial;
};

TEST_F(TokenCommands, TheListShowsTokenEntriesAfterTheFilesWithTheirTokenAndKey) {
    const Outcome r = Run({"store", "list", "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    const json rows = json::parse(r.out);
    ASSERT_EQ(rows.size(), 3u) << r.out;
    EXPECT_EQ(rows[0]["kind"], "file");
    EXPECT_EQ(rows[1]["kind"], "token");
    EXPECT_EQ(rows[1]["position"], 1);
    EXPECT_EQ(rows[1]["subject"], "CN=Token Signer");
    EXPECT_EQ(rows[1]["token"], "Alpha");
    EXPECT_EQ(rows[1]["tokenSerial"], m_serial);
    EXPECT_EQ(rows[1]["hasKey"], true);
    EXPECT_TRUE(rows[1]["uri"].get<std::string>().starts_with("pkcs11:"));
    EXPECT_EQ(rows[2]["subject"], "CN=Token Bare");
    EXPECT_EQ(rows[2]["hasKey"], false);

    const Outcome plain = Run({"store", "list"});
    ASSERT_EQ(plain.status, 0) << plain.err;
    EXPECT_NE(plain.out.find("Token:    Alpha (serial " + m_serial + ")"), std::string::npos)
        << plain.out;
    EXPECT_NE(plain.out.find("URI:      pkcs11:"), std::string::npos);
    EXPECT_NE(plain.out.find("3 entries"), std::string::npos);

    // A token entry is not the store's to remove; the file entry still is.
    Outcome removed = Run({"store", "remove", "1"});
    EXPECT_EQ(removed.status, 2);
    EXPECT_NE(removed.err.find("is a certificate on the token \"Alpha\""), std::string::npos)
        << removed.err;
    removed = Run({"store", "remove", "3"});
    EXPECT_EQ(removed.status, 2);
    EXPECT_NE(removed.err.find("holds 1 entry"), std::string::npos) << removed.err;
    EXPECT_EQ(Run({"store", "remove", "0"}).status, 0);
    // With the files gone the token entries move up; nothing else changes.
    const json after = json::parse(Run({"store", "list", "--json"}).out);
    ASSERT_EQ(after.size(), 2u);
    EXPECT_EQ(after[0]["subject"], "CN=Token Signer");
}

TEST_F(TokenCommands, TokensListsModulesAndTokensWithTheirStateAndWarnings) {
    const Outcome r = Run({"store", "tokens", "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    const json report = json::parse(r.out);
    ASSERT_EQ(report["modules"].size(), 1u) << r.out;
    const json& module = report["modules"][0];
    EXPECT_EQ(module["path"], SoftTokens::ModulePath());
    bool found = false;
    for (const auto& t : module["tokens"])
        if (t["present"] == true && t.value("serial", std::string()) == m_serial) {
            found = true;
            EXPECT_EQ(t["label"], "Alpha");
            EXPECT_EQ(t["pinLocked"], false);
            EXPECT_EQ(t["pinPad"], false);
            EXPECT_EQ(t["loginRequired"], true);
        }
    EXPECT_TRUE(found) << r.out;

    // A module that cannot be loaded is named, and the rest still works.
    ::setenv("OSTREL_PKCS11_MODULES",
             ("/nonexistent/module.so:" + SoftTokens::ModulePath()).c_str(), 1);
    const Outcome warned = Run({"store", "list"});
    EXPECT_EQ(warned.status, 0);
    EXPECT_NE(warned.err.find("ostrel: warning: the PKCS#11 module /nonexistent/module.so"),
              std::string::npos)
        << warned.err;
    EXPECT_NE(warned.out.find("3 entries"), std::string::npos);
    const Outcome text = Run({"store", "tokens"});
    EXPECT_NE(text.out.find("Warning: the PKCS#11 module /nonexistent/module.so"),
              std::string::npos)
        << text.out;
    EXPECT_NE(text.out.find("\"Alpha\" serial " + m_serial), std::string::npos) << text.out;
}

TEST_F(TokenCommands, SignsWithTheTokenKeyAfterAWrongAndARightPin) {
    const std::string text = "Transfer 10 to Ann.\n";
    const Outcome r = Run({"sign", "--index", "1"}, "script", "type 0000; ok; type 2468; ok", text);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Verifies(r.out, text));
    const std::string log = ReadFile(UiLog());
    EXPECT_EQ(log.find("2468"), std::string::npos) << log;
    EXPECT_EQ(log.find("0000"), std::string::npos) << log;
    EXPECT_NE(log.find("Wrong PIN."), std::string::npos) << log;

    // The chooser, then the PIN.
    const Outcome chosen = Run({"sign"}, "script", "select 1; ok; type 2468; ok", text);
    ASSERT_EQ(chosen.status, 0) << chosen.err;
    EXPECT_TRUE(Verifies(chosen.out, text));
}

TEST_F(TokenCommands, NoPinOrNoKeyEndsSigningWithThePipelinesBoxes) {
    // Nobody to answer: the dialog is cancelled.
    Outcome r = Run({"sign", "--index", "1"}, "none", "", "text");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Error Getting Signature"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("canceled by the user"), std::string::npos) << r.err;
    EXPECT_TRUE(r.out.empty());

    r = Run({"sign", "--index", "2"}, "script", "type 2468; ok", "text");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(ReadFile(UiLog()).find("Error Getting SignatureKey does not exist."),
              std::string::npos)
        << ReadFile(UiLog());
}

}  // namespace
