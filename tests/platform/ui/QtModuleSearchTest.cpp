// Where the Qt module is looked for: only by full paths that pass the module
// checks, never through the loader's search path, which an empty entry in
// LD_LIBRARY_PATH turns into whatever folder a program runs in.

#include <gtest/gtest.h>

#include <filesystem>

#include "platform/ui/QtModulePath.h"
#include "tests/platform/ui/UiTestSupport.h"

namespace {

using namespace ostrel::test;
namespace fs = std::filesystem;

TEST(QtModuleSearch, EveryPlaceLookedInIsAFullPathAndAnUnsafeFileIsRefused) {
    {
        ScopedEnv env;
        env.Set("OSTREL_UI_QT_MODULE", std::nullopt);
        for (const auto& file : platform::ui::QtModuleCandidates())
            EXPECT_EQ(file.front(), '/') << file;
    }
    TempHome home;
    const fs::path planted = home.Path() / "libostrel_ui_qt.so";
    fs::copy_file(fs::path(BinFolder()) / "libostrel_ui_qt.so", planted);
    fs::permissions(planted, fs::perms(0666));
    std::string why;
    EXPECT_EQ(platform::ui::OpenQtModuleFile(planted.string(), why), nullptr);
    EXPECT_NE(why.find("mode 0666"), std::string::npos) << why;
    EXPECT_EQ(platform::ui::OpenQtModuleFile("libostrel_ui_qt.so", why), nullptr);
    EXPECT_NE(why.find("relative"), std::string::npos) << why;
}

TEST(QtModuleSearch, AModulePlantedInTheCurrentFolderNeverRuns) {
    // The program and the control's module alone in a folder, as where the
    // Qt package is not installed; a library of the Qt module's name, whose
    // loading leaves a marker, in the folder the program runs in.
    TempHome home;
    const fs::path program = home.Path() / "program";
    const fs::path current = home.Path() / "current";
    fs::create_directories(program);
    fs::create_directories(current);
    for (const char* file : {"ostrel", "OSTREL.OCX"})
        fs::copy_file(fs::path(BinFolder()) / file, program / file);
    fs::copy_file(fs::path(BinFolder()) / "libostrel_test_p11_faults.so",
                  current / "libostrel_ui_qt.so");
    const fs::path marker = home.Path() / "marker";
    const std::string prefix = "cd '" + current.string() +
                               "' && env -u OSTREL_UI_QT_MODULE OSTREL_UI=qt "
                               "QT_QPA_PLATFORM=offscreen LD_LIBRARY_PATH=/nonexistent: "
                               "OSTREL_TEST_P11_MARKER='" +
                               marker.string() + "' '" + (program / "ostrel").string() + "' ";
    const fs::path err = home.Path() / "err.txt";
    // A box to show: the signature fails on an empty store.
    const auto signed_ = RunCommand(prefix + "sign --index 0 </dev/null 2>'" + err.string() + "'");
    EXPECT_EQ(signed_.status, 1) << ReadFile(err);
    EXPECT_NE(ReadFile(err).find("the Qt user interface is not available"), std::string::npos)
        << ReadFile(err);
    RunCommand(prefix + "--version 2>/dev/null");
    EXPECT_FALSE(fs::exists(marker)) << "the planted library ran";
}

}  // namespace
