// The `ostrel` program with certificates on SoftHSM2 tokens: how the store
// lists them, what it refuses to do with them, and signing with the PIN
// given in the dialog (typed by the scripted user).

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <utmp.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
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

extern "C" char** environ;

// The program run on a pseudo-terminal that is its controlling terminal, as
// a user runs it in a terminal window: what the terminal shows is kept, keys
// are typed on it, and its settings can be looked at while the program runs
// and after it ended. Standard output goes to a file.
class Terminal {
public:
    Terminal(const std::vector<std::string>& args, const std::vector<std::string>& env,
             const fs::path& out) {
        std::vector<std::string> environment(env);
        for (char** e = environ; *e != nullptr; ++e) {
            const std::string entry = *e;
            const std::string name = entry.substr(0, entry.find('='));
            const bool replaced = std::any_of(env.begin(), env.end(), [&](const std::string& x) {
                return x.substr(0, x.find('=')) == name;
            });
            if (!replaced) environment.push_back(entry);
        }
        std::vector<char*> argv, envp;
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        for (const auto& e : environment) envp.push_back(const_cast<char*>(e.c_str()));
        envp.push_back(nullptr);
        if (::openpty(&m_master, &m_slave, nullptr, nullptr, nullptr) != 0) return;
        ::fcntl(m_master, F_SETFD, FD_CLOEXEC);
        m_pid = ::fork();
        if (m_pid == 0) {
            // A session of its own with the terminal as its controlling one,
            // on standard input and error.
            ::close(m_master);
            if (::login_tty(m_slave) != 0) ::_exit(126);
            const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            if (fd < 0 || ::dup2(fd, STDOUT_FILENO) < 0) ::_exit(126);
            ::close(fd);
            ::execve(argv[0], argv.data(), envp.data());
            ::_exit(127);
        }
        // The test keeps its own end of the terminal open, to read its
        // settings after the program is gone.
    }
    ~Terminal() {
        if (m_pid > 0 && m_status < 0) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
        if (m_master >= 0) ::close(m_master);
        if (m_slave >= 0) ::close(m_slave);
    }
    Terminal(const Terminal&) = delete;
    Terminal& operator=(const Terminal&) = delete;

    bool Started() const { return m_pid > 0; }

    // Waits until the terminal has shown `text` after what it showed up to
    // `from`; false when it did not within the time.
    bool WaitFor(const std::string& text, std::size_t from = 0) {
        return Until([&] { return m_shown.find(text, from) != std::string::npos; });
    }
    // Waits until the program turned the echo off.
    bool WaitForSilence() {
        return Until([&] { return !Echoes(); });
    }
    void Type(const std::string& keys) {
        ASSERT_EQ(::write(m_master, keys.data(), keys.size()), ssize_t(keys.size()));
    }
    // The program's end as a shell tells it: its exit status, or 128 and
    // the signal that ended it; -1 when it did not end in time.
    int Wait() {
        Until([&] {
            int status = 0;
            if (::waitpid(m_pid, &status, WNOHANG) != m_pid) return false;
            m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return true;
        });
        Drain();
        return m_status;
    }
    bool Echoes() const {
        termios now{};
        return ::tcgetattr(m_slave, &now) == 0 && (now.c_lflag & ECHO) != 0;
    }
    const std::string& Shown() const { return m_shown; }

private:
    template <typename Done>
    bool Until(Done done) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!done()) {
            if (std::chrono::steady_clock::now() > end) return false;
            pollfd p{m_master, POLLIN, 0};
            if (::poll(&p, 1, 20) > 0) Drain();
        }
        return true;
    }
    void Drain() {
        char buffer[4096];
        for (;;) {
            pollfd p{m_master, POLLIN, 0};
            if (::poll(&p, 1, 0) <= 0 || (p.revents & POLLIN) == 0) return;
            const ssize_t n = ::read(m_master, buffer, sizeof buffer);
            if (n <= 0) return;
            m_shown.append(buffer, std::size_t(n));
        }
    }

    int m_master = -1, m_slave = -1;
    pid_t m_pid = -1;
    int m_status = -1;
    std::string m_shown;
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

TEST_F(TokenCommands, AScriptAnsweringAWrongPinForeverEndsAfterThreeTriesWithTheReason) {
    const fs::path calls = m_home.Path() / "calls.log";
    ::setenv("OSTREL_PKCS11_MODULES",
             (fs::path(Binary()).parent_path() / "libostrel_test_p11_faults.so").c_str(), 1);
    ::setenv("OSTREL_TEST_P11_CALLS", calls.c_str(), 1);
    const Outcome r = Run({"sign", "--index", "1"}, "script", "type 0000; ok", "text");
    ::unsetenv("OSTREL_TEST_P11_CALLS");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.out.empty());
    EXPECT_EQ(ReadFile(calls), "C_Login\nC_Login\nC_Login\n");
    const std::string log = ReadFile(UiLog());
    EXPECT_NE(log.find("Last try"), std::string::npos) << log;
    EXPECT_NE(log.find("Error Getting Signature"), std::string::npos) << log;
    EXPECT_EQ(log.find("0000"), std::string::npos) << log;
}

TEST_F(TokenCommands, AModuleOthersCouldChangeIsNamedWithTheReasonAndNotLoaded) {
    const fs::path folder = m_home.Path() / "open";
    fs::create_directories(folder);
    const fs::path planted = folder / "module.so";
    fs::copy_file(fs::path(Binary()).parent_path() / "libostrel_test_p11_faults.so", planted);
    fs::permissions(folder, fs::perms::all);
    const fs::path marker = m_home.Path() / "marker";
    ::setenv("OSTREL_TEST_P11_MARKER", marker.c_str(), 1);
    ::setenv("OSTREL_PKCS11_MODULES", (planted.string() + ":" + SoftTokens::ModulePath()).c_str(),
             1);
    const Outcome listed = Run({"store", "list"});
    const Outcome tokens = Run({"store", "tokens", "--json"});
    const Outcome signedText = Run({"sign", "--index", "1"}, "script", "type 2468; ok", "text");
    ::unsetenv("OSTREL_TEST_P11_MARKER");
    EXPECT_EQ(listed.status, 0) << listed.err;
    const std::string why = "the PKCS#11 module " + planted.string() +
                            " was not loaded: the folder " + folder.string() +
                            " of the module file " + planted.string() + " has mode 0777";
    EXPECT_NE(listed.err.find("ostrel: warning: " + why), std::string::npos) << listed.err;
    EXPECT_NE(listed.out.find("3 entries"), std::string::npos) << listed.out;
    ASSERT_EQ(tokens.status, 0) << tokens.err;
    const json report = json::parse(tokens.out);
    ASSERT_EQ(report["warnings"].size(), 1u) << tokens.out;
    EXPECT_NE(report["warnings"][0].get<std::string>().find(why), std::string::npos);
    ASSERT_EQ(report["modules"].size(), 1u);
    EXPECT_EQ(report["modules"][0]["path"], SoftTokens::ModulePath());
    EXPECT_EQ(signedText.status, 0) << signedText.err;
    EXPECT_FALSE(fs::exists(marker)) << "the refused module ran";
}

TEST_F(TokenCommands, AModuleReportingHugeSlotCountsIsAWarningNotAnAbort) {
    ::setenv("OSTREL_PKCS11_MODULES",
             (fs::path(Binary()).parent_path() / "libostrel_test_p11_faults.so").c_str(), 1);
    ::setenv("OSTREL_TEST_P11_FAULT", "slots:18446744073709551615", 1);
    const Outcome signedText = Run({"sign", "--index", "1"}, "script", "type 2468; ok", "text");
    const Outcome listed = Run({"store", "list"});
    const Outcome tokens = Run({"store", "tokens"});
    ::unsetenv("OSTREL_TEST_P11_FAULT");
    EXPECT_EQ(signedText.status, 1) << signedText.err;
    EXPECT_EQ(listed.status, 0) << listed.err;
    EXPECT_NE(listed.err.find("reports 18446744073709551615 slots"), std::string::npos)
        << listed.err;
    EXPECT_NE(listed.out.find("1 entry"), std::string::npos) << listed.out;
    EXPECT_EQ(tokens.status, 0) << tokens.err;
    EXPECT_NE(tokens.out.find("Warning: the PKCS#11 module"), std::string::npos) << tokens.out;
}

// The program, and the control's module in a program that loads it,
// finalise the modules as they end: a module a process leaves unfinalised
// may keep its readers and logins as they were.
TEST_F(TokenCommands, EveryModuleLoadedIsFinalisedAsTheProgramEnds) {
    const fs::path log = m_home.Path() / "calls.log";
    ::setenv("OSTREL_PKCS11_MODULES",
             (fs::path(Binary()).parent_path() / "libostrel_test_p11_faults.so").c_str(), 1);
    ::setenv("OSTREL_TEST_P11_LOG", log.c_str(), 1);
    const auto count = [&](const std::string& call) {
        const std::string text = ReadFile(log);
        std::size_t n = 0;
        for (auto at = text.find(call); at != std::string::npos; at = text.find(call, at + 1)) ++n;
        return n;
    };
    Outcome r = Run({"store", "list"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("3 entries"), std::string::npos) << r.out;
    EXPECT_EQ(count("C_Initialize"), 1u);
    EXPECT_EQ(count("C_Finalize"), 1u);

    r = Run({"sign", "--index", "1"}, "script", "type 2468; ok", "text");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Verifies(r.out, "text"));
    EXPECT_EQ(count("C_Initialize"), 2u);
    EXPECT_EQ(count("C_Finalize"), 2u);

    ASSERT_EQ(Run({"register"}).status, 0);
    r = Run({"call", "--progid", "OSTREL.OstrelCtrl.1", "SignMessageNoPrompt", "text", "1"},
            "script", "type 2468; ok");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("MII"), std::string::npos) << r.out;
    EXPECT_EQ(count("C_Initialize"), 3u);
    EXPECT_EQ(count("C_Finalize"), 3u);
    ::unsetenv("OSTREL_TEST_P11_LOG");
}

// The terminal backend reads the PIN from the controlling terminal with its
// echo off, and gives the echo back however the reading ends.
class PinOnTerminal : public TokenCommands {
protected:
    std::unique_ptr<Terminal> Start() {
        WriteFile(m_home.Path() / "text.txt", m_text);
        auto terminal = std::make_unique<Terminal>(
            std::vector<std::string>{Binary(), "sign", "--index", "1", "--in",
                                     (m_home.Path() / "text.txt").string()},
            std::vector<std::string>{"OSTREL_UI=tty"}, Out());
        EXPECT_TRUE(terminal->Started());
        EXPECT_TRUE(terminal->Echoes());
        return terminal;
    }
    // Waits for the PIN question and for the echo to go off before the
    // keys are typed: the terminal drops what was typed ahead.
    static void AnswerPin(Terminal& terminal, const std::string& keys, std::size_t from = 0) {
        ASSERT_TRUE(terminal.WaitFor("(Ctrl-D cancels): ", from)) << terminal.Shown();
        ASSERT_TRUE(terminal.WaitForSilence()) << terminal.Shown();
        terminal.Type(keys);
    }
    fs::path Out() const { return m_home.Path() / "signature.txt"; }
    // What the terminal showed, without the token's serial (hexadecimal
    // digits that may hold a PIN's by chance).
    std::string Shown(const Terminal& terminal) const {
        std::string text = terminal.Shown();
        for (auto at = text.find(m_serial); at != std::string::npos; at = text.find(m_serial))
            text.erase(at, m_serial.size());
        return text;
    }

    const std::string m_text = "Pay 20 to Sam.\n";
};

TEST_F(PinOnTerminal, ThePinTypedIsNeverShownAndSigns) {
    auto terminal = Start();
    // A wrong PIN first: asked again, saying so.
    AnswerPin(*terminal, "wxyz\r");
    ASSERT_TRUE(terminal->WaitFor("Wrong PIN.")) << terminal->Shown();
    AnswerPin(*terminal, "2468\r", terminal->Shown().find("Wrong PIN."));
    EXPECT_EQ(terminal->Wait(), 0) << terminal->Shown();
    EXPECT_TRUE(terminal->Echoes());
    EXPECT_NE(terminal->Shown().find("Token PIN"), std::string::npos) << terminal->Shown();
    EXPECT_NE(terminal->Shown().find("CN=Token Signer"), std::string::npos) << terminal->Shown();
    EXPECT_EQ(Shown(*terminal).find("wxyz"), std::string::npos) << terminal->Shown();
    EXPECT_EQ(Shown(*terminal).find("2468"), std::string::npos) << terminal->Shown();
    EXPECT_TRUE(Verifies(ReadFile(Out()), m_text));
}

TEST_F(PinOnTerminal, EndingTheInputCancelsWithTheBoxesAndGivesTheEchoBack) {
    auto terminal = Start();
    AnswerPin(*terminal, "\x04");
    ASSERT_TRUE(terminal->WaitFor("[OK: press Enter]")) << terminal->Shown();
    terminal->Type("\r");
    EXPECT_EQ(terminal->Wait(), 1) << terminal->Shown();
    EXPECT_TRUE(terminal->Echoes());
    EXPECT_NE(terminal->Shown().find("Error Getting Signature"), std::string::npos)
        << terminal->Shown();
    EXPECT_EQ(ReadFile(Out()), "");
}

TEST_F(PinOnTerminal, CtrlCWhileThePinIsTypedEndsTheProgramAndGivesTheEchoBack) {
    for (const auto& [keys, signal] :
         {std::pair<std::string, int>{"2q\x03", SIGINT}, {"2q\x1c", SIGQUIT}}) {
        auto terminal = Start();
        AnswerPin(*terminal, keys);
        EXPECT_EQ(terminal->Wait(), 128 + signal) << terminal->Shown();
        EXPECT_TRUE(terminal->Echoes()) << "the terminal was left without echo";
        EXPECT_EQ(Shown(*terminal).find("2q"), std::string::npos) << terminal->Shown();
        EXPECT_EQ(ReadFile(Out()), "");
    }
}

}  // namespace
