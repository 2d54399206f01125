#include <gtest/gtest.h>

#include "chooser/SelectCertDlg.h"
#include "common/Messages.h"
#include "control/OstrelCtrl.h"
#include "platform/crypt/Store.h"
#include "platform/text/Bstr.h"
#include "platform/win/LastError.h"
#include "platform/win/WinError.h"
#include "tests/chooser/ChooserTestSupport.h"

namespace {

using namespace ostrel::test;
using platform::seams::ScopedFault;
using platform::seams::ScopedTrace;

const std::vector<std::string> kThree = {"Ann Lee", "Bob Ray", "Cy Doe"};

std::vector<std::string> Steps(const ScopedTrace& trace) {
    return trace.Filtered({"CryptAcquireContextA", "CertOpenSystemStoreA",
                           "CDialog::", "AfxMessageBox", "CertCloseStore", "CryptReleaseContext"});
}

std::string SystemText(DWORD code) {
    SetLastError(code);
    return SystemErrorText().Str();
}

class ChooseCertificate : public ::testing::Test {
protected:
    void SetUp() override {
        AddHolders(kThree);
        m_before = LiveCounts::Now();
    }
    void TearDown() override { EXPECT_EQ(LiveCounts::Now(), m_before) << "something left alive"; }

    TempHome m_home;
    LiveCounts m_before{};
};

TEST_F(ChooseCertificate, ChosenRowComesBackWithoutABox) {
    ScriptedUi ui("select 2; ok");
    ScopedTrace trace;
    COstrelCtrl control;
    EXPECT_EQ(control.ChooseCertificate(), 2);
    EXPECT_TRUE(ui.Boxes().empty());
    EXPECT_EQ(Steps(trace),
              (std::vector<std::string>{"CryptAcquireContextA 0", "CertOpenSystemStoreA",
                                        "CDialog::DoModal 201", "CertCloseStore 2",
                                        "CryptReleaseContext", "CDialog::~CDialog 201"}));
    const auto open = ui.DialogLines().at(0);
    EXPECT_EQ(ControlOf(open, IDC_MESSAGE)["visible"], false);
    EXPECT_EQ(ControlOf(open, IDC_MESSAGE_LABEL)["visible"], false);
    EXPECT_EQ(ControlOf(open, IDC_MESSAGE)["text"], "");
}

TEST_F(ChooseCertificate, EveryOtherEndIsNotSelected) {
    for (const char* script :
         {"cancel", "escape", "close", "ok", "select 1; cancel", "select 0; close"}) {
        ScriptedUi ui(script);
        ScopedTrace trace;
        COstrelCtrl control;
        EXPECT_EQ(control.ChooseCertificate(), -1) << script;
        EXPECT_EQ(ui.Boxes(), (std::vector<std::string>{"16 Certificate is not selected."}));
        EXPECT_EQ(Steps(trace),
                  (std::vector<std::string>{
                      "CryptAcquireContextA 0", "CertOpenSystemStoreA", "CDialog::DoModal 201",
                      "AfxMessageBox 16 Certificate is not selected.", "CertCloseStore 2",
                      "CryptReleaseContext", "CDialog::~CDialog 201"}))
            << script;
    }
}

TEST_F(ChooseCertificate, DialogThatCannotOpenIsNotSelected) {
    ScriptedUi ui("select 2; ok");
    ScopedFault fault("CDialog::DoModal", ERROR_NOT_ENOUGH_MEMORY);
    COstrelCtrl control;
    EXPECT_EQ(control.ChooseCertificate(), -1);
    EXPECT_EQ(ui.Boxes(), (std::vector<std::string>{"16 Certificate is not selected."}));
}

TEST_F(ChooseCertificate, ProviderIsRetriedWithANewKeySetThenReported) {
    {
        // No key set yet: the second attempt makes one.
        ScopedEnv env;
        env.Set("OSTREL_HOME", (m_home.Path() / "new-home").string());
        ScriptedUi ui("ok");
        ScopedTrace trace;
        COstrelCtrl control;
        EXPECT_EQ(control.ChooseCertificate(), -1);
        EXPECT_EQ(trace.Filtered({"CryptAcquireContextA"}),
                  (std::vector<std::string>{"CryptAcquireContextA 0", "CryptAcquireContextA 8"}));
        EXPECT_EQ(ui.Boxes(),
                  (std::vector<std::string>{"0 No Personal certificates available to list.",
                                            "16 Certificate is not selected."}));
    }
    // The first attempt fails for another reason; the retry finds the key set
    // there, and its error is the one reported.
    ScriptedUi ui("select 1; ok");
    ScopedFault first("CryptAcquireContextA", NTE_BAD_KEYSET);
    ScopedTrace trace;
    COstrelCtrl control;
    EXPECT_EQ(control.ChooseCertificate(), -1);
    EXPECT_EQ(ui.Boxes(), (std::vector<std::string>{"16 Acquire Crypt Context Failed" +
                                                    SystemText(NTE_EXISTS)}));
    EXPECT_EQ(Steps(trace),
              (std::vector<std::string>{
                  "CryptAcquireContextA 0", "CryptAcquireContextA 8",
                  "AfxMessageBox 16 Acquire Crypt Context Failed" + SystemText(NTE_EXISTS)}))
        << "nothing held, nothing released";
}

TEST_F(ChooseCertificate, StoreThatDoesNotOpenIsReportedAndTheProviderReleased) {
    ScriptedUi ui("select 1; ok");
    ScopedFault fault("CertOpenSystemStoreA", ERROR_ACCESS_DENIED);
    ScopedTrace trace;
    COstrelCtrl control;
    EXPECT_EQ(control.ChooseCertificate(), -1);
    const std::string box = "Error Getting Store Handle" + SystemText(ERROR_ACCESS_DENIED);
    EXPECT_EQ(Steps(trace),
              (std::vector<std::string>{"CryptAcquireContextA 0", "CertOpenSystemStoreA",
                                        "AfxMessageBox 16 " + box, "CryptReleaseContext"}));
}

TEST_F(ChooseCertificate, FailuresAfterAChoiceAreShownAndTheIndexStillReturned) {
    const std::string notFreed =
        "AfxMessageBox 0 Store Closed After Signing - \nNot All Certs or CRLs Were Freed";
    const std::string notReleased = "AfxMessageBox 0 Error during CryptReleaseContext.";
    struct Case {
        bool closeFails, releaseFails;
        std::vector<std::string> tail;
    } cases[] = {
        {true, false, {"CertCloseStore 2", notFreed, "CryptReleaseContext"}},
        {false, true, {"CertCloseStore 2", "CryptReleaseContext", notReleased}},
        {true, true, {"CertCloseStore 2", notFreed, "CryptReleaseContext", notReleased}},
    };
    for (const auto& c : cases) {
        ScriptedUi ui("select 2; ok");
        std::optional<ScopedFault> close, release;
        if (c.closeFails) close.emplace("CertCloseStore", CRYPT_E_PENDING_CLOSE);
        if (c.releaseFails) release.emplace("CryptReleaseContext", NTE_BAD_UID);
        ScopedTrace trace;
        COstrelCtrl control;
        EXPECT_EQ(control.ChooseCertificate(), 2);
        std::vector<std::string> expected = {"CryptAcquireContextA 0", "CertOpenSystemStoreA",
                                             "CDialog::DoModal 201"};
        expected.insert(expected.end(), c.tail.begin(), c.tail.end());
        expected.push_back("CDialog::~CDialog 201");
        EXPECT_EQ(Steps(trace), expected);
    }
}

TEST_F(ChooseCertificate, EmptyStoreShowsBothBoxes) {
    TempHome empty;
    ScriptedUi ui("select 0; ok");
    COstrelCtrl control;
    EXPECT_EQ(control.ChooseCertificate(), -1);
    EXPECT_EQ(ui.Boxes(), (std::vector<std::string>{"0 No Personal certificates available to list.",
                                                    "16 Certificate is not selected."}));
}

TEST_F(ChooseCertificate, ExpiredCertificateCanBeChosen) {
    CertOptions options;
    options.subject = "/CN=Old Timer";
    options.notBeforeDays = -400;
    options.notAfterDays = -30;
    AddToStore(MakeCert(options));
    ScriptedUi ui("select 3; ok");
    COstrelCtrl control;
    EXPECT_EQ(control.ChooseCertificate(), 3);
    EXPECT_TRUE(ui.Boxes().empty());
}

TEST_F(ChooseCertificate, ChoosingAnUnreadableEntrySignsNothingAndTheRowsAfterItStillSign) {
    const auto names = platform::crypt::DiskStore::Open(m_home.StoreFolder(), false).EntryNames();
    WriteFile(m_home.StoreFolder() / names[1], "garbage");
    {
        ScriptedUi ui("select 1; ok");
        COstrelCtrl control;
        platform::com::Bstr signature(control.SignMessage("text"));
        EXPECT_EQ(signature.Utf8(), "");
        EXPECT_EQ(ui.Boxes(), (std::vector<std::string>{"0 Signature Cert Not Found",
                                                        "16 Error Getting Ostrel Certificate" +
                                                            SystemText(CRYPT_E_FILE_ERROR)}));
    }
    ScriptedUi ui("select 2; ok");
    COstrelCtrl control;
    platform::com::Bstr signature(control.SignMessage("text"));
    EXPECT_FALSE(signature.Utf8().empty());
    EXPECT_TRUE(ui.Boxes().empty());
}

TEST_F(ChooseCertificate, CommandPrintsTheIndex) {
    const std::string bin = BinFolder();
    ScriptedUi ui("select 1; ok; cancel");
    const auto chosen = RunCommand(bin + "/ostrel choose");
    EXPECT_EQ(chosen.status, 0);
    EXPECT_EQ(chosen.out, "1\n");
    ui.Script("cancel");
    const auto none = RunCommand(bin + "/ostrel choose");
    EXPECT_EQ(none.status, 1);
    EXPECT_EQ(none.out, "-1\n");

    // A fresh process over an empty store: nothing is left in the fields.
    TempHome empty;
    ui.Script("ok");
    const auto emptyRun = RunCommand(bin + "/ostrel choose");
    EXPECT_EQ(emptyRun.status, 1);
    nlohmann::json open;
    for (const auto& line : ui.DialogLines())
        if (line["event"] == "open") open = line;
    EXPECT_EQ(ControlOf(open, IDC_EMAIL)["text"], "");
    EXPECT_EQ(ControlOf(open, IDC_ISSUER)["text"], "");
}

TEST_F(ChooseCertificate, TerminalFormTakesARowThenEnter) {
    ScopedEnv env;
    env.Set("OSTREL_UI", "tty");
    const std::string ostrel = BinFolder() + "/ostrel choose 2>/dev/null";
    EXPECT_EQ(RunCommand("printf '9\\n1\\n\\n' | " + ostrel).out, "1\n") << "no row 9: asked again";
    EXPECT_EQ(RunCommand("printf '2\\ncancel\\n' | " + ostrel).out, "-1\n");
    EXPECT_EQ(RunCommand(ostrel + " </dev/null").out, "-1\n") << "no input: cancelled";
}

}  // namespace
