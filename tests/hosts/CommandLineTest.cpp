#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "tests/support/TestSupport.h"

namespace {

using namespace ostrel::test;

std::string Ostrel() {
    return std::string(std::getenv("OSTREL_BIN")) + "/ostrel";
}

// The commands a help text lists under "Subcommands:", by name.
std::vector<std::string> ListedCommands(const std::string& help) {
    std::vector<std::string> names;
    std::istringstream lines(help);
    std::string line;
    bool listing = false;
    while (std::getline(lines, line)) {
        if (line == "Subcommands:") {
            listing = true;
            continue;
        }
        if (!listing || line.size() < 3 || line.compare(0, 2, "  ") != 0 || line[2] == ' ')
            continue;
        names.push_back(line.substr(2, line.find(' ', 2) - 2));
    }
    return names;
}

const std::vector<std::string> kCommands = {
    "sign",  "store",      "verify", "subject",  "serial",     "choose", "typelib", "draw",
    "about", "properties", "state",  "register", "unregister", "call",   "info",    "bridge"};

TEST(CommandLine, EveryCommandIsReachedWhateverElseTheCommandLineHolds) {
    TempHome home;
    const auto help = RunCommand(Ostrel() + " --help");
    ASSERT_EQ(help.status, 0);
    EXPECT_EQ(ListedCommands(help.out), kCommands) << help.out;
    // Named first, each command is found and describes itself, with the
    // options it takes.
    for (const auto& command : kCommands) {
        SCOPED_TRACE(command);
        const auto own = RunCommand(Ostrel() + " " + command + " --help");
        EXPECT_EQ(own.status, 0);
        EXPECT_NE(own.out.find("/ostrel " + command + " "), std::string::npos) << own.out;
    }
    // A command line that names no command first still hears of all of them,
    // and one with an option first still finds the command named later.
    for (const std::string args : {"", "--help-me", "nosuch"}) {
        SCOPED_TRACE(args);
        const auto r = RunCommand(Ostrel() + " " + args + " 2>&1");
        EXPECT_EQ(r.status, 2) << r.out;
        EXPECT_NE(r.out.find("--help"), std::string::npos) << r.out;
    }
    const auto late = RunCommand(Ostrel() + " --help sign");
    EXPECT_EQ(late.status, 0);
    EXPECT_NE(late.out.find("/ostrel sign "), std::string::npos) << late.out;
    // A command the first word does not name is refused after the named one,
    // as before: one command a process.
    const auto two = RunCommand(Ostrel() + " serial verify 2>&1 </dev/null");
    EXPECT_EQ(two.status, 2) << two.out;
}

}  // namespace
