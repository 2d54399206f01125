// Greeting a host as `ostrel bridge status` does, against small stand-in
// hosts that misbehave in the ways a broken install does.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "hosts/bridge/HostProbe.h"
#include "tests/support/TestSupport.h"

namespace ostrel::bridge {
namespace {

using namespace std::chrono_literals;

class HostProbe : public ::testing::Test {
protected:
    std::filesystem::path Script(const std::string& name, const std::string& body) {
        const auto path = home.Path() / name;
        test::WriteFile(path, "#!/bin/sh\n" + body);
        ::chmod(path.c_str(), 0755);
        return path;
    }
    test::TempHome home;
};

TEST_F(HostProbe, AHostThatHangsIsStoppedAtTheTimeout) {
    const auto started = std::chrono::steady_clock::now();
    const ProbeResult r = ProbeHost(Script("hang", "exec sleep 30\n"), {}, 300ms);
    EXPECT_FALSE(r.answered);
    EXPECT_NE(r.problem.find("did not answer within 300 ms"), std::string::npos) << r.problem;
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
}

TEST_F(HostProbe, AHostThatEndsEarlyIsReportedWithWhatItSaid) {
    const ProbeResult r =
        ProbeHost(Script("quit", "echo 'no home folder' >&2\nexit 3\n"), {"a"}, 5s);
    EXPECT_FALSE(r.answered);
    EXPECT_NE(r.problem.find("exit code 3"), std::string::npos) << r.problem;
    EXPECT_NE(r.problem.find("no home folder"), std::string::npos) << r.problem;

    const ProbeResult missing = ProbeHost(home.Path() / "absent", {}, 5s);
    EXPECT_FALSE(missing.answered);
    EXPECT_NE(missing.problem.find("127"), std::string::npos) << missing.problem;
}

TEST_F(HostProbe, OnlyAGreetingWithBothVersionsCounts) {
    // printf writes the frame's length as four bytes, little-endian as on
    // the machines this runs on.
    const auto frame = [](const std::string& body) {
        std::string octal;
        for (int i = 0; i < 4; ++i) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\%03o", unsigned((body.size() >> (8 * i)) & 0xFF));
            octal += buf;
        }
        return "head -c 4 >/dev/null\nprintf '" + octal + "%s' '" + body + "'\n";
    };
    ProbeResult r = ProbeHost(
        Script("good", frame(R"({"id":1,"result":{"host":"9.8.7","protocol":1}})")), {}, 5s);
    EXPECT_TRUE(r.answered) << r.problem;
    EXPECT_EQ(r.hostVersion, "9.8.7");
    EXPECT_EQ(r.protocol, 1);

    r = ProbeHost(
        Script("refusing",
               frame(R"({"id":null,"error":{"code":"ERR_ORIGIN","message":"not allowed"}})")),
        {}, 5s);
    EXPECT_FALSE(r.answered);
    EXPECT_NE(r.problem.find("ERR_ORIGIN: not allowed"), std::string::npos) << r.problem;

    for (const char* body :
         {R"({"id":1,"result":{"host":"1"}})", R"({"id":2,"result":{"host":"1","protocol":1}})",
          R"([1])", R"({"id":1,)"}) {
        r = ProbeHost(Script("odd", frame(body)), {}, 5s);
        EXPECT_FALSE(r.answered) << body;
        EXPECT_FALSE(r.problem.empty()) << body;
    }
    // A length far past any greeting is not waited for.
    r = ProbeHost(Script("huge", "printf '\\377\\377\\377\\177'\nexec sleep 30\n"), {}, 5s);
    EXPECT_FALSE(r.answered);
    EXPECT_NE(r.problem.find("frame of"), std::string::npos) << r.problem;
}

}  // namespace
}  // namespace ostrel::bridge
