#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "hosts/bridge/Caller.h"
#include "hosts/bridge/Consent.h"
#include "hosts/bridge/Extension.h"
#include "tests/platform/crypt/SignedMessages.h"
#include "tests/platform/ui/UiTestSupport.h"
#include "tests/support/TestSupport.h"

namespace ostrel::test {
namespace {

using nlohmann::json;

// The largest message the host takes.
constexpr std::size_t kMaxFrame = std::size_t(64) << 20;

std::string Frame(const std::string& body) {
    std::string out(4, '\0');
    const std::uint32_t n = std::uint32_t(body.size());
    std::memcpy(out.data(), &n, 4);
    return out + body;
}
std::string Frame(const json& message) {
    return Frame(message.dump());
}

struct Session {
    int status = -1;  // the exit code, or -1 when killed
    std::vector<json> replies;
    std::string rest;  // bytes after the last whole frame
};

// The built bridge run as a browser runs it: `args` on its command line,
// `input` on standard input, then standard input closed.
class BridgeProcess : public ::testing::Test {
protected:
    void SetUp() override {
        // A bridge that refuses its caller exits before reading its input;
        // writing to it then fails with EPIPE instead of ending the test.
        std::signal(SIGPIPE, SIG_IGN);
        const char* bin = std::getenv("OSTREL_BIN");
        const std::filesystem::path folder =
            bin != nullptr ? std::filesystem::path(bin)
                           : std::filesystem::read_symlink("/proc/self/exe").parent_path();
        m_bridge = (folder / "ostrel-bridge").string();
        ASSERT_TRUE(std::filesystem::exists(m_bridge)) << m_bridge;
        const auto list = m_home.Path() / bridge::kExtensionsFile;
        WriteFile(list,
                  json({{"chromium", {kExtension}}, {"firefox", {"sign@ostrel.example"}}}).dump());
        ::chmod(list.c_str(), 0600);
    }

    Session Start(const std::vector<std::string>& args, const std::string& input) {
        int in[2], out[2];
        if (::pipe(in) != 0 || ::pipe(out) != 0) return {};
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::dup2(in[0], 0);
            ::dup2(out[1], 1);
            ::close(in[0]);
            ::close(in[1]);
            ::close(out[0]);
            ::close(out[1]);
            const int log = ::open(m_log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
            ::dup2(log, 2);
            std::vector<char*> argv{const_cast<char*>(m_bridge.c_str())};
            for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            ::execv(m_bridge.c_str(), argv.data());
            ::_exit(127);
        }
        ::close(in[0]);
        ::close(out[1]);
        // Written from a thread, so that replies never fill the pipe while
        // the input is still going in.
        std::thread writer([&] {
            std::size_t at = 0;
            while (at < input.size()) {
                const ssize_t n = ::write(in[1], input.data() + at, input.size() - at);
                if (n <= 0) break;
                at += std::size_t(n);
            }
            ::close(in[1]);
        });
        std::string output;
        char buf[65536];
        for (ssize_t n; (n = ::read(out[0], buf, sizeof buf)) > 0;) output.append(buf, n);
        ::close(out[0]);
        writer.join();
        int status = 0;
        ::waitpid(pid, &status, 0);
        Session run;
        run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        std::size_t at = 0;
        while (output.size() - at >= 4) {
            std::uint32_t n = 0;
            std::memcpy(&n, output.data() + at, 4);
            if (output.size() - at - 4 < n) break;
            run.replies.push_back(json::parse(output.substr(at + 4, n), nullptr, false));
            at += 4 + n;
        }
        run.rest = output.substr(at);
        return run;
    }

    // A bridge left running: its input and output open until the test closes them.
    struct Live {
        pid_t pid = -1;
        int in = -1;
        int out = -1;
    };
    Live StartLive(const std::string& input) {
        int in[2], out[2];
        if (::pipe(in) != 0 || ::pipe(out) != 0) return {};
        const std::string caller = "chrome-extension://" + std::string(kExtension) + "/";
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::dup2(in[0], 0);
            ::dup2(out[1], 1);
            for (int fd : {in[0], in[1], out[0], out[1]}) ::close(fd);
            ::execl(m_bridge.c_str(), m_bridge.c_str(), caller.c_str(), nullptr);
            ::_exit(127);
        }
        ::close(in[0]);
        ::close(out[1]);
        EXPECT_EQ(::write(in[1], input.data(), input.size()), ssize_t(input.size()));
        return {pid, in[1], out[0]};
    }
    // A bridge given `input`, with the most memory it held once it has
    // answered `count` frames (VmHWM, in KiB), then its input closed.
    struct Measured {
        std::vector<json> replies;
        long peakKiB = -1;
        int status = -1;
    };
    Measured RunMeasured(const std::string& input, std::size_t count) {
        Measured run;
        const Live bridge = StartLive(input);
        std::string output;
        char buf[65536];
        const auto whole = [&] {
            std::size_t at = 0, frames = 0;
            while (output.size() - at >= 4) {
                std::uint32_t n = 0;
                std::memcpy(&n, output.data() + at, 4);
                if (output.size() - at - 4 < n) break;
                at += 4 + n;
                ++frames;
            }
            return frames;
        };
        while (whole() < count) {
            const ssize_t n = ::read(bridge.out, buf, sizeof buf);
            if (n <= 0) break;
            output.append(buf, std::size_t(n));
        }
        std::ifstream status("/proc/" + std::to_string(bridge.pid) + "/status");
        for (std::string line; std::getline(status, line);)
            if (line.starts_with("VmHWM:")) run.peakKiB = std::stol(line.substr(6));
        ::close(bridge.in);
        for (ssize_t n; (n = ::read(bridge.out, buf, sizeof buf)) > 0;) output.append(buf, n);
        ::close(bridge.out);
        run.status = WaitFor(bridge.pid, std::chrono::seconds(30));
        for (std::size_t at = 0; output.size() - at >= 4;) {
            std::uint32_t n = 0;
            std::memcpy(&n, output.data() + at, 4);
            if (output.size() - at - 4 < n) break;
            run.replies.push_back(json::parse(output.substr(at + 4, n), nullptr, false));
            at += 4 + n;
        }
        return run;
    }

    // The exit status within `limit`, or -2 (and the process killed) after it.
    static int WaitFor(pid_t pid, std::chrono::milliseconds limit) {
        const auto end = std::chrono::steady_clock::now() + limit;
        for (;;) {
            int status = 0;
            if (::waitpid(pid, &status, WNOHANG) == pid)
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            if (std::chrono::steady_clock::now() > end) {
                ::kill(pid, SIGKILL);
                ::waitpid(pid, &status, 0);
                return -2;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }

    Session Chromium(const std::string& input) {
        return Start({"chrome-extension://" + std::string(kExtension) + "/"}, input);
    }

    static json Request(int id, const std::string& method, json args) {
        return {{"v", 1},
                {"id", id},
                {"origin", "https://bank.example"},
                {"method", method},
                {"args", std::move(args)}};
    }
    static std::string Hello() { return Frame(json{{"v", 1}, {"id", 0}, {"method", "hello"}}); }

    std::string In(const std::string& name) const { return (m_home.Path() / name).string(); }

    // A message signed by the openssl command, as hex.
    std::string OpensslSigned(const TestCert& cert, bool changed = false) {
        WriteFile(In("cert.pem"), cert.CertPem());
        WriteFile(In("key.pem"), cert.KeyPem());
        WriteFile(In("content.txt"), "Pay Ann Lee 100 crowns.\n");
        const CommandResult r =
            RunCommand("openssl cms -sign -nodetach -binary -md sha256 -in '" + In("content.txt") +
                       "' -signer '" + In("cert.pem") + "' -inkey '" + In("key.pem") +
                       "' -outform DER -out '" + In("msg.der") + "' 2>&1");
        EXPECT_EQ(r.status, 0) << r.out;
        const std::string der = ReadFile(In("msg.der"));
        const Bytes message(der.begin(), der.end());
        return Hex(changed ? Flipped(message, SignatureOf(message), 3) : message);
    }

    static constexpr const char* kExtension = "abcdefghijklmnopabcdefghijklmnop";
    TempHome m_home;
    std::string m_bridge;
    // The bridge's standard error, its log, kept apart from what pages see.
    std::string m_log = (m_home.Path() / "bridge.log").string();
};

TEST_F(BridgeProcess, AnswersTheHandshakeAndInspectsAnOpensslMessage) {
    if (RunCommand("command -v openssl >/dev/null 2>&1").status != 0)
        GTEST_SKIP() << "no openssl command";
    const TestCert cert = MakeCert();
    const std::string good = OpensslSigned(cert);
    const std::string changed = OpensslSigned(cert, true);
    const Session run = Chromium(Hello() + Frame(Request(1, "VerifyMessage", json::array({good}))) +
                                 Frame(Request(2, "VerifyMessage", json::array({changed}))) +
                                 Frame(Request(3, "GetSubjectName", json::array({good}))) +
                                 Frame(Request(4, "GetSerialNumber", json::array({good}))));
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.rest, "");
    ASSERT_EQ(run.replies.size(), 5u);
    EXPECT_EQ(run.replies[0],
              json({{"id", 0}, {"result", {{"host", OSTREL_TEST_VERSION}, {"protocol", 1}}}}));
    EXPECT_EQ(run.replies[1], json({{"id", 1}, {"result", true}}));
    EXPECT_EQ(run.replies[2], json({{"id", 2}, {"result", false}}));
    EXPECT_EQ(run.replies[3],
              json({{"id", 3}, {"result", "C=US, O=Org, CN=Ann Lee, E=ann.lee@example.org"}}));
    EXPECT_EQ(run.replies[4], json({{"id", 4}, {"result", "CDAB2301"}}));
}

TEST_F(BridgeProcess, RefusesWhatAPageMayNotAskAndCarriesOn) {
    AddToStore(MakeCert());
    const std::string huge = [] {
        std::string frame(4, '\0');
        const std::uint32_t n = (64u << 20) + 1;
        std::memcpy(frame.data(), &n, 4);
        return frame + std::string(n, ' ');
    }();
    const Session run =
        Start({"/home/u/.mozilla/native-messaging-hosts/ostrel.json", "sign@ostrel.example"},
              Frame(Request(1, "GetSubjectName", json::array({"00"}))) + Hello() +
                  Frame(Request(2, "SignMessage", json::array({"Pay 100"}))) +
                  Frame(Request(3, "ChooseCertificate", json::array())) +
                  Frame(Request(4, "AboutBox", json::array())) +
                  Frame(Request(5, "VerifyMessage", json::array({1}))) + huge +
                  Frame(std::string()) + Frame(std::string("{\"v\":1,")) +
                  Frame(Request(6, "GetSerialNumber", json::array({"not hex"}))));
    EXPECT_EQ(run.status, 0);
    ASSERT_EQ(run.replies.size(), 10u);
    const char* codes[] = {"ERR_VERSION", nullptr,    "ERR_CONSENT",   "ERR_CONSENT",
                           "ERR_METHOD",  "ERR_ARGS", "ERR_TOO_LARGE", "ERR_ARGS",
                           "ERR_ARGS",    nullptr};
    for (std::size_t i = 0; i < run.replies.size(); ++i) {
        SCOPED_TRACE(i);
        if (codes[i] == nullptr)
            EXPECT_TRUE(run.replies[i].contains("result")) << run.replies[i];
        else
            EXPECT_EQ(run.replies[i]["error"]["code"], codes[i]) << run.replies[i];
    }
    // Nothing was signed: the refusals name the site, not a signature.
    EXPECT_NE(run.replies[2]["error"]["message"].get<std::string>().find("bank.example"),
              std::string::npos);
    EXPECT_EQ(run.replies[9]["id"], 6);
}

TEST_F(BridgeProcess, AnExtensionNotAllowedGetsOneRefusalAndExitCodeTwo) {
    const std::vector<std::string> callers[] = {
        {"chrome-extension://ponmlkjihgfedcbaponmlkjihgfedcba/"},
        {"/manifest.json", "other@example.org"},
        {},
    };
    for (const auto& args : callers) {
        const Session run = Start(args, Hello());
        EXPECT_EQ(run.status, 2);
        ASSERT_EQ(run.replies.size(), 1u);
        // The refusal answers the browser's first request, so that the
        // browser hands it to the page rather than reporting a host that
        // ended without a word.
        EXPECT_EQ(run.replies[0]["id"], 0);
        EXPECT_EQ(run.replies[0]["error"]["code"], "ERR_ORIGIN");
        const std::string message = run.replies[0]["error"]["message"];
        EXPECT_NE(message.find("ostrel bridge install"), std::string::npos);
        if (!args.empty()) {
            EXPECT_NE(message.find(args.back()), std::string::npos) << message;
        }
    }
    // With no request to answer, the refusal carries no id.
    const Session silent = Start(callers[0], "");
    EXPECT_EQ(silent.status, 2);
    ASSERT_EQ(silent.replies.size(), 1u);
    EXPECT_EQ(silent.replies[0]["id"], nullptr);
    // Without the list only the ostrel extension itself is served, as for a
    // user of a system-wide install who never ran `ostrel bridge install`.
    std::filesystem::remove(m_home.Path() / bridge::kExtensionsFile);
    EXPECT_EQ(Chromium(Hello()).status, 2);
    const Session pinned =
        Start({"chrome-extension://" + std::string(bridge::kChromiumExtensionId) + "/"}, Hello());
    EXPECT_EQ(pinned.status, 0);
    ASSERT_EQ(pinned.replies.size(), 1u);
    EXPECT_TRUE(pinned.replies[0].contains("result")) << pinned.replies[0];
}

TEST_F(BridgeProcess, EndsQuietlyWhenTheBrowserClosesThePipe) {
    const std::string next = Frame(Request(1, "GetSubjectName", json::array({"00"})));
    // Closed between frames, inside a length, and inside a body.
    for (const std::string& input :
         {std::string(), Hello(), Hello() + next.substr(0, 2), Hello() + next.substr(0, 9)}) {
        const Session run = Chromium(input);
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.replies.size(), input.empty() ? 0u : 1u);
        EXPECT_EQ(run.rest, "");
    }
}

TEST_F(BridgeProcess, TheScriptedUserAnswersTheQuestionAndThenTheChooser) {
    // The host asks first and the control's chooser after it, each reading
    // the script on its own: the question passes over "select 0".
    const TestCert cert = MakeCert();
    AddToStore(cert);
    ScriptedUi ui("select 0; ok");
    const Session run = Chromium(Hello() + Frame(Request(1, "ChooseCertificate", json::array())) +
                                 Frame(Request(2, "SignMessage", json::array({"Pay 100"}))));
    EXPECT_EQ(run.status, 0);
    ASSERT_EQ(run.replies.size(), 3u);
    EXPECT_EQ(run.replies[1], json({{"id", 1}, {"result", 0}}));
    ASSERT_TRUE(run.replies[2]["result"].is_string()) << run.replies[2];
    EXPECT_FALSE(DecodeBase64Text(run.replies[2]["result"]).empty());
    std::vector<std::string> opened;
    for (const auto& line : ui.DialogLines())
        if (line["event"] == "open") opened.push_back(line["dialog"]);
    EXPECT_EQ(opened, (std::vector<std::string>{
                          "Allow this site to use your certificates?", "Select a Certificate",
                          "Allow this site to use your certificates?", "Select a Certificate"}));
    EXPECT_TRUE(bridge::ConsentStore(m_home.Path()).Load().empty());

    // "Always" is asked once and kept; the chooser passes over its answer.
    ui.Script("click 1102; select 0; ok");
    const Session always =
        Chromium(Hello() + Frame(Request(1, "ChooseCertificate", json::array())) +
                 Frame(Request(2, "ChooseCertificate", json::array())));
    ASSERT_EQ(always.replies.size(), 3u);
    EXPECT_EQ(always.replies[1]["result"], 0) << always.replies[1];
    EXPECT_EQ(always.replies[2]["result"], 0) << always.replies[2];
    EXPECT_EQ(bridge::ConsentStore(m_home.Path()).Find("https://bank.example"),
              (bridge::Grant{.always = true}));
}

TEST_F(BridgeProcess, EndsPromptlyWhenTheBrowserGoesAwayDuringAQuestion) {
    if (!std::filesystem::exists(std::filesystem::path(m_bridge).parent_path() /
                                 "libostrel_ui_qt.so"))
        GTEST_SKIP() << "no Qt user interface in this build";
    AddToStore(MakeCert());
    // An offscreen Qt dialog waits for ever: only the end of the input ends it.
    ScriptedUi ui("", "qt");
    ScopedEnv env;
    env.Set("QT_QPA_PLATFORM", "offscreen");
    const auto opened = [&] {
        for (int i = 0; i < 500; ++i) {
            try {
                for (const auto& line : ui.DialogLines())
                    if (line["event"] == "open") return true;
            } catch (const json::exception&) {
                // A line still being written.
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    };
    for (const bool closeOutput : {true, false}) {
        SCOPED_TRACE(closeOutput ? "input and output closed" : "input closed");
        std::filesystem::remove(ui.LogPath());
        const Live bridge =
            StartLive(Hello() + Frame(Request(1, "ChooseCertificate", json::array())));
        ASSERT_TRUE(opened()) << "the question never opened";
        const auto start = std::chrono::steady_clock::now();
        ::close(bridge.in);
        if (closeOutput) ::close(bridge.out);
        // Output still read: within the grace a call is given; not read: at once.
        const int status = WaitFor(bridge.pid, std::chrono::seconds(closeOutput ? 2 : 8));
        EXPECT_EQ(status, 0);
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_LT(took, std::chrono::seconds(closeOutput ? 2 : 8));
        if (!closeOutput) {
            // The question was still open: only the handshake was answered.
            std::string output;
            char buf[4096];
            for (ssize_t n; (n = ::read(bridge.out, buf, sizeof buf)) > 0;) output.append(buf, n);
            ::close(bridge.out);
            ASSERT_GE(output.size(), 4u);
            std::uint32_t n = 0;
            std::memcpy(&n, output.data(), 4);
            EXPECT_EQ(output.size(), 4 + n);
            EXPECT_EQ(json::parse(output.substr(4))["id"], 0);
        }
    }
    EXPECT_FALSE(std::filesystem::exists(m_home.Path() / bridge::kOriginsFile));
}

TEST_F(BridgeProcess, RepliesTooLongForTheBrowserAndAControlThatCannotBeMadeAreErrors) {
    const std::string longName(1 << 21, 'M');
    WriteFile(m_home.Path() / "registry.reg", "this is no registry\n");
    const Session run = Chromium(Hello() + Frame(Request(1, longName, json::array())) +
                                 Frame(Request(2, "GetSubjectName", json::array({"00"}))));
    EXPECT_EQ(run.status, 0);
    ASSERT_EQ(run.replies.size(), 3u);
    EXPECT_EQ(run.replies[1]["id"], 1);
    EXPECT_EQ(run.replies[1]["error"]["code"], "ERR_TOO_LARGE");
    EXPECT_EQ(run.replies[2]["id"], 2);
    EXPECT_EQ(run.replies[2]["error"]["code"], "ERR_CALL");
    EXPECT_EQ(run.replies[2]["error"]["hresult"], "0x800703F1") << run.replies[2];
    // How to put it right names the registry's file: for the log, not the page.
    EXPECT_NE(ReadFile(m_log).find("ostrel register --repair"), std::string::npos);
}

TEST_F(BridgeProcess, TheOriginsCommandListsAllowsAndRevokes) {
    const std::string ostrel =
        (std::filesystem::path(m_bridge).parent_path() / "ostrel").string() + " bridge origins ";
    const auto run = [&](const std::string& args) { return RunCommand(ostrel + args + " 2>&1"); };
    EXPECT_EQ(run("").status, 0);
    EXPECT_EQ(run("").out, "");
    EXPECT_EQ(run("allow HTTPS://Bank.Example:443/").status, 0);
    EXPECT_EQ(run("allow https://shop.example:8443 --without-prompt").status, 0);
    CommandResult listed = run("list");
    EXPECT_EQ(listed.status, 0);
    EXPECT_EQ(listed.out,
              "https://bank.example always\nhttps://shop.example:8443 always without-prompt\n");
    EXPECT_EQ(run("").out, listed.out);
    EXPECT_EQ(json::parse(run("list --json").out),
              json::parse(R"([{"origin":"https://bank.example","always":true,"withoutPrompt":false,
                    "blocked":false},
                   {"origin":"https://shop.example:8443","always":true,"withoutPrompt":true,
                    "blocked":false}])"));
    struct stat st {};
    ASSERT_EQ(::stat((m_home.Path() / bridge::kOriginsFile).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);

    for (const char* bad : {"http://bank.example", "https://bank.example/login", "bank.example",
                            "'https://a b.example'"}) {
        const CommandResult refused = run(std::string("allow ") + bad);
        EXPECT_EQ(refused.status, 2) << bad;
        EXPECT_NE(refused.out.find("is not the origin of a web page"), std::string::npos)
            << refused.out;
    }
    EXPECT_EQ(run("revoke https://bank.example").status, 0);
    const CommandResult again = run("revoke https://bank.example");
    EXPECT_EQ(again.status, 1);
    EXPECT_NE(again.out.find("was not allowed"), std::string::npos);
    EXPECT_EQ(run("list").out, "https://shop.example:8443 always without-prompt\n");

    // A file others may change is refused, named, and left as it was.
    const auto file = m_home.Path() / bridge::kOriginsFile;
    ::chmod(file.c_str(), 0666);
    const std::string before = ReadFile(file);
    const CommandResult damaged = run("allow https://c.example");
    EXPECT_EQ(damaged.status, 3);
    EXPECT_NE(damaged.out.find(file.string()), std::string::npos) << damaged.out;
    EXPECT_EQ(ReadFile(file), before);
}

// A request of `size` bytes whose arguments are empty objects, "{},{},...",
// with its fields in the order Chromium writes them (by name): the id after
// the arguments.
std::string HostileRequest(std::size_t size) {
    const std::string head = "{\"args\":[";
    const std::string tail =
        "{}],\"id\":9,\"method\":\"VerifyMessage\",\"origin\":\"https://bank.example\",\"v\":1}";
    std::string body = head;
    body.reserve(size);
    while (body.size() + 3 + tail.size() <= size) body += "{},";
    body += tail;
    return body;
}

// Under AddressSanitizer every allocation carries red zones and freed memory
// is held back in quarantine, so the host's peak says nothing of its own.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kPeaksAreTheHosts = false;
#else
constexpr bool kPeaksAreTheHosts = true;
#endif

TEST_F(BridgeProcess, NestingAndFloodsOfValuesAreRefusedWithinBoundedMemory) {
    // A hundred thousand levels: refused, the host still there to answer.
    const std::string deep =
        "{\"args\":[" + std::string(100000, '[') + std::string(100000, ']') +
        "],\"id\":8,\"method\":\"VerifyMessage\",\"origin\":\"https://bank.example\",\"v\":1}";
    const Session nested = Chromium(Hello() + Frame(deep) +
                                    Frame(Request(9, "GetSerialNumber", json::array({"not hex"}))));
    EXPECT_EQ(nested.status, 0);
    ASSERT_EQ(nested.replies.size(), 3u);
    EXPECT_EQ(nested.replies[1]["id"], 8);
    EXPECT_EQ(nested.replies[1]["error"]["code"], "ERR_ARGS") << nested.replies[1];
    EXPECT_EQ(nested.replies[2]["id"], 9);

    // The largest frame taken, of nothing but empty objects: at most three
    // times its size and 32 MiB more at any moment, as for any frame. The
    // same flood as the whole message, not an object at all.
    const std::string hostile = HostileRequest(kMaxFrame);
    ASSERT_LE(hostile.size(), kMaxFrame);
    ASSERT_GT(hostile.size(), kMaxFrame - 16);
    std::string flood = "[";
    flood.reserve(kMaxFrame);
    while (flood.size() + 4 <= kMaxFrame) flood += "{},";
    flood += "{}]";
    for (const std::string* body : {&hostile, static_cast<const std::string*>(&flood)}) {
        const Measured run = RunMeasured(Hello() + Frame(*body), 2);
        EXPECT_EQ(run.status, 0);
        ASSERT_EQ(run.replies.size(), 2u);
        EXPECT_EQ(run.replies[1]["error"]["code"], "ERR_ARGS") << run.replies[1];
        EXPECT_EQ(run.replies[1]["id"], body == &hostile ? json(9) : json(nullptr));
        const long limitKiB = long(3 * body->size() / 1024) + 32 * 1024;
        EXPECT_GT(run.peakKiB, 0);
        if (kPeaksAreTheHosts) {
            EXPECT_LE(run.peakKiB, limitKiB) << "of a frame of " << body->size() << " bytes";
        }
        std::cout << "peak of a " << body->size() << "-byte frame: " << run.peakKiB << " KiB\n";
    }
}

TEST_F(BridgeProcess, TheLargestTextAPageMaySignIsSignedWithinTheSameBound) {
    AddToStore(MakeCert());
    bridge::ConsentStore(m_home.Path())
        .Set("https://bank.example", bridge::Grant{.always = true, .withoutPrompt = true}, false);
    const std::string empty = Request(1, "SignMessageNoPrompt", json::array({"", 0})).dump();
    std::string text(kMaxFrame - empty.size(), 'a');
    const std::string body =
        Request(1, "SignMessageNoPrompt", json::array({std::move(text), 0})).dump();
    ASSERT_EQ(body.size(), kMaxFrame);
    const Measured run = RunMeasured(Hello() + Frame(body), 2);
    EXPECT_EQ(run.status, 0);
    ASSERT_EQ(run.replies.size(), 2u);
    ASSERT_TRUE(run.replies[1]["result"].is_string()) << run.replies[1].dump().substr(0, 200);
    EXPECT_FALSE(DecodeBase64Text(run.replies[1]["result"]).empty());
    if (kPeaksAreTheHosts) {
        EXPECT_LE(run.peakKiB, long(3 * kMaxFrame / 1024) + 32 * 1024);
    }
    std::cout << "peak of signing a " << body.size() << "-byte frame: " << run.peakKiB << " KiB\n";
}

TEST_F(BridgeProcess, RepliesToPagesNameNoPathOrUserWhateverFails) {
    const std::string home = m_home.Path().string();
    const char* user = std::getenv("USER");
    const std::regex path(R"((^|[\s"'`(=,])~?/[A-Za-z0-9._~-])");
    // `count` replies, `failed` of them errors.
    const auto check = [&](const Session& run, std::size_t count, std::size_t failed) {
        ASSERT_EQ(run.replies.size(), count);
        std::size_t errors = 0;
        for (std::size_t i = 1; i < run.replies.size(); ++i) {
            const json& reply = run.replies[i];
            SCOPED_TRACE(reply.dump());
            if (!reply.contains("error")) continue;
            ++errors;
            const std::string text = reply.dump();
            EXPECT_EQ(text.find(home), std::string::npos);
            if (user != nullptr && *user != '\0') {
                EXPECT_EQ(text.find(std::string(" ") + user), std::string::npos);
                EXPECT_EQ(text.find(std::string("/") + user), std::string::npos);
            }
            EXPECT_FALSE(std::regex_search(reply["error"]["message"].get<std::string>(), path));
        }
        EXPECT_EQ(errors, failed);
    };

    // A store entry that is damaged, for a site allowed to sign unseen: the
    // control tells the user in a box and answers with nothing.
    bridge::ConsentStore(m_home.Path())
        .Set("https://bank.example", {.always = true, .withoutPrompt = true}, false);
    AddToStore(MakeCert());
    for (const auto& entry : std::filesystem::directory_iterator(m_home.StoreFolder()))
        if (entry.path().extension() == ".pem") WriteFile(entry.path(), "-----BEGIN damaged\n");
    check(Chromium(Hello() + Frame(Request(1, "SignMessageNoPrompt", json::array({"x", 0}))) +
                   Frame(Request(2, "ChooseCertificate", json::array()))),
          3, 0);

    // A grants file the user's own tools refuse: others may change it.
    const auto grants = m_home.Path() / bridge::kOriginsFile;
    ::chmod(grants.c_str(), 0666);
    check(Chromium(Hello() + Frame(Request(1, "SignMessage", json::array({"x"})))), 2, 1);
    std::filesystem::remove(grants);

    // A registration naming a module that is gone.
    const auto module = m_home.Path() / "gone" / "OSTREL.OCX";
    std::filesystem::create_directories(module.parent_path());
    std::filesystem::copy_file(std::filesystem::path(m_bridge).parent_path() / "OSTREL.OCX",
                               module);
    const std::string ostrel = (std::filesystem::path(m_bridge).parent_path() / "ostrel").string();
    ASSERT_EQ(RunCommand(ostrel + " register '" + module.string() + "' >/dev/null 2>&1").status, 0);
    std::filesystem::remove(module);
    check(Chromium(Hello() + Frame(Request(1, "VerifyMessage", json::array({"00"})))), 2, 1);

    // A registry that is damaged.
    WriteFile(m_home.Path() / "registry.reg", "this is no registry\n");
    check(Chromium(Hello() + Frame(Request(1, "GetSubjectName", json::array({"00"})))), 2, 1);

    // What the pages were not told is in the host's log.
    const std::string log = ReadFile(m_log);
    EXPECT_NE(log.find(module.string()), std::string::npos) << log;
    EXPECT_NE(log.find(grants.string()), std::string::npos) << log;
    EXPECT_NE(log.find("registry.reg"), std::string::npos) << log;
}

}  // namespace
}  // namespace ostrel::test
