// The commands that work the control as a host does, run as the user runs
// them.

#include <gtest/gtest.h>

#include "control/OstrelCtrl.h"
#include "platform/ui/DeviceContext.h"
#include "tests/platform/ui/UiTestSupport.h"
#include "tests/support/TestSupport.h"

namespace ostrel::test {
namespace {

class ControlCommands : public ::testing::Test {
protected:
    // The program in a shell line, with the rest of the line after it.
    static std::string Ostrel(const std::string& rest) {
        return "'" + BinFolder() + "/ostrel' " + rest;
    }
    std::filesystem::path File(const std::string& name) const { return m_home.Path() / name; }

    TempHome m_home;
};

TEST_F(ControlCommands, DrawWritesAPngOfTheSizeAsked) {
    const auto out = File("control.png");
    const auto r = RunCommand(Ostrel("draw --width 321 --height 45 --out '" + out.string() + "'"));
    ASSERT_EQ(r.status, 0);
    const std::string png = ReadFile(out);
    ASSERT_GT(png.size(), 24u);
    EXPECT_EQ(png.substr(1, 3), "PNG");
    const auto be32 = [&](std::size_t at) {
        return std::uint32_t(std::uint8_t(png[at])) << 24 |
               std::uint32_t(std::uint8_t(png[at + 1])) << 16 |
               std::uint32_t(std::uint8_t(png[at + 2])) << 8 | std::uint8_t(png[at + 3]);
    };
    EXPECT_EQ(be32(16), 321u);
    EXPECT_EQ(be32(20), 45u);

    // The picture made inside the module is the one a host gets drawing the
    // control into its own device context.
    auto control =
        platform::com::ComPtr<IUnknown>::Attach(RUNTIME_CLASS(COstrelCtrl)->CreateObject());
    ASSERT_TRUE(control);
    ASSERT_EQ(control.As<IPersistStreamInit>()->InitNew(), S_OK);
    HDC dc = platform::ui::CreateImageDC(321, 45);
    ASSERT_NE(dc, nullptr);
    const RECTL bounds{0, 0, 321, 45};
    EXPECT_EQ(control.As<IViewObject>()->Draw(DVASPECT_CONTENT, -1, dc, &bounds), S_OK);
    std::vector<unsigned char> expected;
    EXPECT_TRUE(platform::ui::EncodeImagePng(dc, expected));
    DeleteDC(dc);
    EXPECT_EQ(png, std::string(expected.begin(), expected.end()));

    for (const char* bad :
         {"--width 0 --height 5", "--width 5 --height 4097", "--width x --height 5"})
        EXPECT_EQ(RunCommand(Ostrel(std::string("draw ") + bad + " --out '" + out.string() +
                                    "' 2>/dev/null"))
                      .status,
                  2)
            << bad;
}

TEST_F(ControlCommands, StateSavedIsLoadedAndAnOlderStampIsReported) {
    const auto file = File("state.txt");
    ASSERT_EQ(RunCommand(Ostrel("state save '" + file.string() + "'")).status, 0);
    EXPECT_EQ(ReadFile(file),
              "# Ostrel Control\n_Version=65537\n_ExtentX=2646\n_ExtentY=1323\n_StockProps=0\n");

    auto r = RunCommand(Ostrel("state load '" + file.string() + "'"));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "_Version=65537 (version 1.1)\n_ExtentX=2646\n_ExtentY=1323\n_StockProps=0\n");

    WriteFile(file, "_Version=65536\r\n_ExtentX=100\r\n");
    r = RunCommand(Ostrel("state load '" + file.string() + "'"));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out,
              "_Version=65536 (version 1.0)\n_ExtentX=100\n"
              "_ExtentY (not in the file: the control's default)\n"
              "_StockProps (not in the file: the control's default)\n");
}

TEST_F(ControlCommands, AStateTheControlCannotUseIsRefusedWithTheReason) {
    const auto file = File("state.txt");
    WriteFile(file, "_Version=65537\nbroken line\n");
    auto r = RunCommand(Ostrel("state load '" + file.string() + "' 2>&1"));
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.out.find("line 2: expected NAME=VALUE"), std::string::npos) << r.out;

    WriteFile(file, "_Version=one point one\nColour=red\n");
    r = RunCommand(Ostrel("state load '" + file.string() + "' 2>&1"));
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.out.find("_Version: 'one point one' is not a value of type VT_UI4; the control "
                         "took its default"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("Colour is not a property of the control; ignored"), std::string::npos);

    EXPECT_EQ(
        RunCommand(Ostrel("state load '" + File("missing").string() + "' 2>/dev/null")).status, 2);
}

TEST_F(ControlCommands, AStateIsReadNoFurtherThanTheControlTakes) {
    // An input without end is refused once it passes the control's limit.
    const auto r = RunCommand(Ostrel("state load - < /dev/zero 2>&1"));
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.out.find("standard input is larger than 1048576 bytes"), std::string::npos)
        << r.out;
}

std::size_t Count(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

TEST_F(ControlCommands, WithNobodyToSeeThemTheBoxesGoToStandardError) {
    // Nothing to sign with: the control says so in a box.
    auto r = RunCommand("echo text | OSTREL_UI=none " + Ostrel("sign --index 9 2>&1 >/dev/null"));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("OSTREL [error]: "), std::string::npos) << r.out;
    const std::string boxes = r.out;

    // A display nobody serves: Qt would end the process on the first box;
    // the unattended user interface takes over, and says so once.
    const std::string bare =
        "env -u QT_QPA_PLATFORM -u OSTREL_UI -u WAYLAND_DISPLAY -u XDG_SESSION_TYPE DISPLAY=" +
        UnservedDisplay() + " ";
    for (const std::string& ui : {std::string(), std::string("OSTREL_UI=qt ")}) {
        r = RunCommand("echo text | " + bare + ui + Ostrel("sign --index 9 2>&1 >/dev/null"));
        EXPECT_EQ(r.status, 1) << ui << r.out;
        EXPECT_EQ(Count(r.out, "no display can be reached"), 1u) << ui << r.out;
        EXPECT_NE(r.out.find("(OSTREL_UI=none)"), std::string::npos) << ui << r.out;
        EXPECT_NE(r.out.find(boxes), std::string::npos) << ui << r.out;
    }
}

TEST_F(ControlCommands, AboutShowsTheBoxWithItsTexts) {
    // The terminal user interface writes the box out in full.
    const auto r = RunCommand("echo ok | OSTREL_UI=tty " + Ostrel("about 2>&1"));
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("About Ostrel Control\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Ostrel Control, Version 1.1\n"), std::string::npos) << r.out;
}

TEST_F(ControlCommands, PropertiesListsTheVerbAndShowsTheGeneralPage) {
    auto r = RunCommand(Ostrel("properties --list"));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "0 Properties...\n");

    ScriptedUi ui("ok");
    for (const char* how : {"properties", "properties --verb 0"}) {
        r = RunCommand(Ostrel(how));
        EXPECT_EQ(r.status, 0) << how;
    }
    const auto lines = ui.DialogLines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[2]["dialog"], "Ostrel Control Properties");
    EXPECT_EQ(ControlOf(lines[2], 0x3020)["rows"], nlohmann::json::array({"General"}));
    EXPECT_EQ(RunCommand(Ostrel("properties --verb 3 2>/dev/null")).status, 3);
}

}  // namespace
}  // namespace ostrel::test
