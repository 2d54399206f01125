// Which user interface runs: Qt only where its display can be reached (Qt
// would otherwise end the process), and the unattended one says what its
// boxes said.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "platform/ui/Backend.h"
#include "platform/ui/Display.h"
#include "platform/ui/MessageBox.h"
#include "tests/platform/ui/UiTestSupport.h"

namespace ostrel::test {
namespace {

using platform::ui::CheckDisplay;
using platform::ui::CurrentBackend;

// A bare environment for choosing: no choice made, nothing of Qt named.
class BackendChoice : public ::testing::Test {
protected:
    BackendChoice() {
        for (const char* name : {"OSTREL_UI", "QT_QPA_PLATFORM", "WAYLAND_DISPLAY",
                                 "WAYLAND_SOCKET", "XDG_SESSION_TYPE"})
            m_env.Set(name, std::nullopt);
        m_env.Set("DISPLAY", UnservedDisplay());
    }
    ScopedEnv m_env;
};

// A listening Unix socket, as a Wayland compositor offers.
class ListeningSocket {
public:
    explicit ListeningSocket(const std::filesystem::path& path) : m_path(path) {
        m_fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        if (::bind(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(m_fd, 4) != 0)
            ADD_FAILURE() << "cannot listen on " << path << ": " << std::strerror(errno);
    }
    ~ListeningSocket() { Close(); }
    void Close() {
        if (m_fd >= 0) ::close(m_fd);
        m_fd = -1;
        std::error_code ec;
        std::filesystem::remove(m_path, ec);
    }

private:
    std::filesystem::path m_path;
    int m_fd = -1;
};

TEST_F(BackendChoice, AnXDisplayThatDoesNotAnswerGetsNoQt) {
    const auto check = CheckDisplay();
    EXPECT_FALSE(check.reachable);
    EXPECT_NE(check.why.find(std::getenv("DISPLAY")), std::string::npos) << check.why;
    EXPECT_NE(CurrentBackend().Name(), "qt");

    // Asked for by name, Qt falls back the same way.
    m_env.Set("OSTREL_UI", "qt");
    EXPECT_NE(CurrentBackend().Name(), "qt");
    m_env.Set("QT_QPA_PLATFORM", "xcb");
    EXPECT_NE(CurrentBackend().Name(), "qt");

    // A platform that needs no display, alone or after X, is taken as named.
    for (const char* platform : {"offscreen", "xcb;offscreen", "minimal:enable_fonts"}) {
        m_env.Set("QT_QPA_PLATFORM", platform);
        EXPECT_EQ(CurrentBackend().Name(), "qt") << platform;
    }
    m_env.Set("QT_QPA_PLATFORM", ";");
    EXPECT_NE(CurrentBackend().Name(), "qt");
}

TEST_F(BackendChoice, WaylandCountsWhereQtWouldTryItAndItsSocketAnswers) {
    TempHome home;
    m_env.Set("XDG_RUNTIME_DIR", home.Path().string());
    m_env.Set("WAYLAND_DISPLAY", "wayland-test");
    {
        ListeningSocket compositor(home.Path() / "wayland-test");
        // Outside a Wayland session Qt tries X alone, which is not there.
        EXPECT_NE(CurrentBackend().Name(), "qt");
        m_env.Set("XDG_SESSION_TYPE", "wayland");
        EXPECT_EQ(CurrentBackend().Name(), "qt");
        m_env.Set("XDG_SESSION_TYPE", std::nullopt);
        m_env.Set("QT_QPA_PLATFORM", "wayland");
        EXPECT_EQ(CurrentBackend().Name(), "qt");
        // A socket path given whole.
        m_env.Set("WAYLAND_DISPLAY", (home.Path() / "wayland-test").string());
        m_env.Set("XDG_RUNTIME_DIR", std::nullopt);
        EXPECT_EQ(CurrentBackend().Name(), "qt");
        compositor.Close();
        // The compositor is gone: its socket no longer answers.
        const auto check = CheckDisplay();
        EXPECT_FALSE(check.reachable);
        EXPECT_NE(check.why.find("wayland-test"), std::string::npos) << check.why;
    }
    EXPECT_NE(CurrentBackend().Name(), "qt");
}

TEST_F(BackendChoice, AnXServerThatAnswersGetsQt) {
    if (!std::filesystem::exists("/usr/bin/Xvfb")) GTEST_SKIP() << "Xvfb is not installed";
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t server = ::fork();
    ASSERT_GE(server, 0);
    if (server == 0) {
        ::close(ready[0]);
        const std::string fd = std::to_string(ready[1]);
        ::execl("/usr/bin/Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-nolisten", "tcp", "-noreset",
                "-screen", "0", "320x200x24", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(ready[1]);
    // -noreset: a server resets when its last client leaves, and for that
    // moment refuses the next one, as no desktop's server ever does.
    // Xvfb writes its display number once it serves it.
    std::string number;
    char c;
    while (::read(ready[0], &c, 1) == 1 && c != '\n') number += c;
    ::close(ready[0]);
    if (!number.empty()) {
        m_env.Set("DISPLAY", ":" + number);
        EXPECT_TRUE(CheckDisplay().reachable) << CheckDisplay().why;
        EXPECT_EQ(CurrentBackend().Name(), "qt");
    }
    ::kill(server, SIGTERM);
    ::waitpid(server, nullptr, 0);
    if (number.empty()) GTEST_SKIP() << "Xvfb did not start here";
}

TEST(NoneBackend, WritesTheTextOfEachBoxToStandardErrorAndStillLogsIt) {
    ScriptedUi ui("", "none");
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(AfxMessageBox("The message could not be signed.\nNo key.", MB_OK | MB_ICONERROR),
              IDOK);
    EXPECT_EQ(AfxMessageBox("Signed."), IDOK);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "OSTREL [error]: The message could not be signed.\nNo key.\nOSTREL: Signed.\n");
    EXPECT_EQ(ui.Boxes(), (std::vector<std::string>{"16 The message could not be signed.\nNo key.",
                                                    "0 Signed."}));
}

}  // namespace
}  // namespace ostrel::test
