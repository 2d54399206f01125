// The PIN dialog as each unattended backend answers it, and what stays of a
// PIN afterwards: nothing in the log, nothing in the caller's buffer after a
// cancel.

#include <gtest/gtest.h>

#include <array>
#include <cstring>

#include "platform/seams/TokenPrompt.h"
#include "platform/ui/PinDialog.h"
#include "tests/platform/ui/UiTestSupport.h"

namespace {

using namespace ostrel::test;
using platform::seams::PinBuffer;
using platform::seams::PinRequest;
using platform::ui::CPinDialog;

PinRequest Request() {
    PinRequest r;
    r.tokenLabel = "Alpha";
    r.tokenSerial = "5e1a";
    r.subject = "CN=Ann Lee, O=Org";
    r.minLength = 4;
    r.maxLength = 8;
    return r;
}

struct Asked {
    bool entered = false;
    std::string pin;
};

// Asks through the prompt the user interface registered.
Asked Ask(const PinRequest& request) {
    std::array<char, 64> storage{};
    PinBuffer buffer{storage.data(), storage.size(), 0};
    platform::seams::TokenPrompt* prompt = platform::seams::CurrentTokenPrompt();
    EXPECT_NE(prompt, nullptr);
    Asked asked;
    if (prompt == nullptr) return asked;
    asked.entered = prompt->AskPin(request, buffer);
    asked.pin.assign(buffer.data, buffer.length);
    if (!asked.entered) {
        // A cancelled question leaves nothing behind.
        EXPECT_TRUE(std::all_of(storage.begin(), storage.end(), [](char c) { return c == 0; }));
    }
    return asked;
}

TEST(PinDialog, TheScriptTypesThePinWhichNeverReachesTheLog) {
    ScriptedUi ui("type 12; ok; type 123456789; ok; type 2468; ok");
    const Asked asked = Ask(Request());
    EXPECT_TRUE(asked.entered);
    // Too short and too long are turned back in the dialog, not sent to
    // the token as a wrong try.
    EXPECT_EQ(asked.pin, "2468");

    const std::string log = ReadFile(ui.LogPath());
    for (const char* secret : {"2468", "123456789", "\"12\""})
        EXPECT_EQ(log.find(secret), std::string::npos) << secret << " in " << log;
    const auto lines = ui.DialogLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front()["dialog"], "Token PIN");
    const auto token = ControlOf(lines.front(), platform::ui::IDC_PIN_TOKEN);
    EXPECT_NE(token["text"].get<std::string>().find("\"Alpha\" (serial 5e1a)"), std::string::npos);
    const auto subject = ControlOf(lines.front(), platform::ui::IDC_PIN_SUBJECT);
    EXPECT_NE(subject["text"].get<std::string>().find("CN=Ann Lee"), std::string::npos);
    EXPECT_EQ(ControlOf(lines.front(), platform::ui::IDC_PIN_EDIT)["password"], true);
    EXPECT_EQ(ControlOf(lines.front(), platform::ui::IDC_PIN_LENGTH)["text"], "4 to 8 characters");
    bool refusedLength = false;
    for (const auto& l : lines) {
        EXPECT_NE(l["event"], "type 2468");
        if (l["event"] == "ok" && ControlOf(l, platform::ui::IDC_PIN_STATUS)["text"] ==
                                      "The PIN must have 4 to 8 characters.")
            refusedLength = true;
    }
    EXPECT_TRUE(refusedLength);
    EXPECT_EQ(lines.back()["event"], "end");
    EXPECT_EQ(lines.back()["result"], 1);
}

TEST(PinDialog, TheTokensFlagsAreToldAndCancellingOrNoUserEnteresNothing) {
    PinRequest request = Request();
    request.wrongPin = true;
    request.fewTriesLeft = true;
    EXPECT_EQ(CPinDialog::StatusText(request), "Wrong PIN. Few tries left.");
    request.lastTry = true;
    EXPECT_EQ(CPinDialog::StatusText(request), "Wrong PIN. Last try: a wrong PIN locks the token.");
    request = Request();
    EXPECT_EQ(CPinDialog::StatusText(request), "");
    request.maxLength = 0;
    EXPECT_EQ(CPinDialog::LengthText(request), "at least 4 characters");
    request.keyOnly = true;
    EXPECT_NE(CPinDialog::TokenText(request).find("for this signature"), std::string::npos);

    {
        ScriptedUi ui("type 1234; cancel");
        EXPECT_FALSE(Ask(Request()).entered);
        EXPECT_EQ(ReadFile(ui.LogPath()).find("1234"), std::string::npos);
    }
    {
        // The unattended user interface answers no dialog.
        ScriptedUi ui("", "none");
        EXPECT_FALSE(Ask(Request()).entered);
    }
    {
        // A script that has nothing to type is refused without repeating
        // what it would have typed.
        ScriptedUi ui("type; ok; escape");
        EXPECT_FALSE(Ask(Request()).entered);
    }
}

TEST(PinDialog, AMistypedVerbIsRefusedByItsPositionWithoutWhatFollowsIt) {
    ScriptedUi ui("TYPE 13579; type\t24680; Type 11223; select 97531; cancel");
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(Ask(Request()).entered);
    const std::string err = ::testing::internal::GetCapturedStderr();
    const std::string log = ReadFile(ui.LogPath());
    for (const char* secret : {"13579", "24680", "11223", "97531"}) {
        EXPECT_EQ(err.find(secret), std::string::npos) << secret << " in " << err;
        EXPECT_EQ(log.find(secret), std::string::npos) << secret << " in " << log;
    }
    EXPECT_NE(err.find("action 1 (not an action the script knows)"), std::string::npos) << err;
    EXPECT_NE(err.find("action 4 (select)"), std::string::npos) << err;
    std::vector<std::pair<std::string, int>> refused;
    for (const auto& l : ui.DialogLines())
        if (l["event"] == "refused") refused.emplace_back(l["action"], l["position"]);
    EXPECT_EQ(refused, (std::vector<std::pair<std::string, int>>{
                           {"unknown", 1}, {"unknown", 2}, {"unknown", 3}, {"select", 4}}));
}

TEST(PinDialog, ThePinPadNoticeIsLoggedWithoutADialog) {
    ScriptedUi ui("");
    platform::seams::TokenPrompt* prompt = platform::seams::CurrentTokenPrompt();
    ASSERT_NE(prompt, nullptr);
    prompt->BeginPinPadNotice(Request());
    prompt->EndPinPadNotice();
    const auto lines = ui.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0]["notice"], "pin pad");
    EXPECT_EQ(lines[0]["token"], "Alpha");
}

}  // namespace
