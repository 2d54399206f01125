#include <gtest/gtest.h>

#include "chooser/SelectCertDlg.h"
#include "platform/crypt/Store.h"
#include "tests/chooser/ChooserTestSupport.h"

namespace {

using namespace ostrel::test;

const std::vector<std::string> kThree = {"Ann Lee", "Bob Ray", "Cy Doe"};

struct Outcome {
    INT_PTR result;
    int index;
    CString email, issuer;
};

Outcome RunChooser(HCERTSTORE store, const CString& message = "", BOOL hide = 0) {
    CSelectCertDlg dlg(nullptr);
    dlg.m_hCertStore = store;
    dlg.m_strMessage = message;
    dlg.m_bHideMessage = hide;
    const INT_PTR result = dlg.DoModal();
    return {result, dlg.m_nCertIndex, dlg.m_strEmail, dlg.m_strIssuer};
}

TEST(SelectCertDlg, ListsInStoreOrderAndShowsTheSelectedRow) {
    TempHome home;
    AddHolders(kThree);
    OpenStore store;
    ScriptedUi ui("select 2; ok");
    const Outcome run = RunChooser(store.Get());
    EXPECT_EQ(run.result, IDOK);
    EXPECT_EQ(run.index, 2);
    EXPECT_EQ(run.email, "cy.doe@example.org");
    EXPECT_EQ(run.issuer, "Root CA");
    EXPECT_TRUE(ui.Boxes().empty());

    const auto lines = ui.DialogLines();
    ASSERT_EQ(lines.size(), 3u);
    const auto& open = lines[0];
    EXPECT_EQ(open["dialog"], "Select a Certificate");
    EXPECT_EQ(ControlOf(open, IDC_CERT_LIST)["rows"],
              nlohmann::json({"Ann Lee", "Bob Ray", "Cy Doe"}));
    // No row is selected, yet the fields show the first certificate.
    EXPECT_EQ(ControlOf(open, IDC_CERT_LIST)["selection"], -1);
    EXPECT_EQ(ControlOf(open, IDC_EMAIL)["text"], "ann.lee@example.org");
    EXPECT_EQ(ControlOf(open, IDC_ISSUER)["text"], "Root CA");
    EXPECT_EQ(ControlOf(lines[1], IDC_EMAIL)["text"], "cy.doe@example.org");
    EXPECT_EQ(ControlOf(lines[1], IDC_CERT_LIST)["selection"], 2);
    EXPECT_EQ(lines[2]["index"], 2);

    EXPECT_EQ(g_certEmails.Slot(1), "bob.ray@example.org");
    EXPECT_EQ(g_certIssuers.Slot(2), "Root CA");
}

TEST(SelectCertDlg, OutcomesWithoutAChoice) {
    TempHome home;
    AddHolders(kThree);
    OpenStore store;
    struct Case {
        const char* script;
        INT_PTR result;
        int index;
    } cases[] = {
        {"ok", IDOK, -1},
        {"enter", IDOK, -1},
        {"select 1; cancel", IDCANCEL, 1},
        {"select 2; escape", IDCANCEL, 2},
        {"close", IDCANCEL, -1},
    };
    for (const auto& c : cases) {
        ScriptedUi ui(c.script);
        const Outcome run = RunChooser(store.Get());
        EXPECT_EQ(run.result, c.result) << c.script;
        EXPECT_EQ(run.index, c.index) << c.script;
    }
}

TEST(SelectCertDlg, PreviewShownOrHidden) {
    TempHome home;
    AddHolders({"Ann Lee"});
    OpenStore store;
    for (const BOOL hide : {0, 1}) {
        ScriptedUi ui("ok");
        RunChooser(store.Get(), "Pay 100 to Bob,\nnot 1000.", hide);
        const auto open = ui.DialogLines().at(0);
        EXPECT_EQ(ControlOf(open, IDC_MESSAGE)["visible"], !hide);
        EXPECT_EQ(ControlOf(open, IDC_MESSAGE_LABEL)["visible"], !hide);
        EXPECT_EQ(ControlOf(open, IDC_MESSAGE)["text"], "Pay 100 to Bob,\nnot 1000.");
        for (int id : {IDC_CERT_LIST, IDC_EMAIL, IDC_ISSUER})
            EXPECT_EQ(ControlOf(open, id)["visible"], true) << id;
    }
}

TEST(SelectCertDlg, EmptyStoreTellsTheUserAndShowsWhatTheLastListingLeft) {
    TempHome full;
    AddHolders(kThree);
    {
        OpenStore store;
        ScriptedUi ui("cancel");
        RunChooser(store.Get());
    }
    TempHome empty;
    OpenStore store;
    ScriptedUi ui("ok");
    const Outcome run = RunChooser(store.Get());
    EXPECT_EQ(run.result, IDOK);
    EXPECT_EQ(run.index, -1);
    EXPECT_EQ(ui.Boxes(),
              (std::vector<std::string>{"0 No Personal certificates available to list."}));
    const auto lines = ui.Lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_TRUE(lines[0].contains("box")) << "the box comes while the dialog opens";
    const auto open = lines[1];
    EXPECT_EQ(ControlOf(open, IDC_CERT_LIST)["rows"], nlohmann::json::array());
    EXPECT_EQ(ControlOf(open, IDC_EMAIL)["text"], "ann.lee@example.org");
    EXPECT_EQ(ControlOf(open, IDC_ISSUER)["text"], "Root CA");
}

TEST(SelectCertDlg, NamesWithoutCommonNameOrWithACommaStillMakeOneRowEach) {
    TempHome home;
    CertOptions plain;
    plain.subject = "/O=Org/OU=Unit";
    AddToStore(MakeCert(plain));
    CertOptions comma;
    comma.subject = "/CN=Lee, Ann/emailAddress=ann@example.org";
    AddToStore(MakeCert(comma));
    OpenStore store;
    ScriptedUi ui("select 0; ok");
    EXPECT_EQ(RunChooser(store.Get()).index, 0);
    const auto lines = ui.DialogLines();
    EXPECT_EQ(ControlOf(lines[0], IDC_CERT_LIST)["rows"],
              nlohmann::json({"O=Org, OU=Unit", "\"Lee"}));
    EXPECT_EQ(ControlOf(lines[0], IDC_ISSUER)["text"], "O=Org, OU=Unit") << "self-signed";
    EXPECT_EQ(ControlOf(lines[1], IDC_EMAIL)["text"], "Not available");
}

TEST(SelectCertDlg, EveryRowOfALongStoreShowsItsOwnTexts) {
    TempHome home;
    std::vector<std::string> names;
    for (int i = 0; i < 101; ++i) names.push_back("Holder " + std::to_string(1000 + i));
    AddHolders(names);
    OpenStore store;
    ScriptedUi ui("select 99; select 100; select 0; select 100; ok");
    const Outcome run = RunChooser(store.Get());
    EXPECT_EQ(run.result, IDOK);
    EXPECT_EQ(run.index, 100);
    EXPECT_EQ(run.email, "holder.1100@example.org");
    const auto lines = ui.DialogLines();
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(ControlOf(lines[0], IDC_CERT_LIST)["rows"].size(), 101u);
    EXPECT_EQ(ControlOf(lines[1], IDC_EMAIL)["text"], "holder.1099@example.org");
    EXPECT_EQ(ControlOf(lines[2], IDC_EMAIL)["text"], "holder.1100@example.org");
    EXPECT_EQ(ControlOf(lines[3], IDC_EMAIL)["text"], "holder.1000@example.org");
    EXPECT_EQ(g_certEmails.SlotCount(), 101);
    EXPECT_EQ(g_certEmails.Slot(99), "holder.1099@example.org");
}

TEST(SelectCertDlg, AnUnreadableEntryIsARowOfItsOwnSoTheRowsAfterItKeepTheirPositions) {
    TempHome home;
    AddHolders(kThree);
    const auto names = platform::crypt::DiskStore::Open(home.StoreFolder(), false).EntryNames();
    WriteFile(home.StoreFolder() / names[1], "garbage");
    OpenStore store;
    ScriptedUi ui("select 1; select 2; ok");
    const Outcome run = RunChooser(store.Get());
    EXPECT_EQ(run.result, IDOK);
    EXPECT_EQ(run.index, 2);
    EXPECT_EQ(run.email, "cy.doe@example.org");
    EXPECT_TRUE(ui.Boxes().empty());

    const auto lines = ui.DialogLines();
    ASSERT_EQ(lines.size(), 4u);
    const auto rows = ControlOf(lines[0], IDC_CERT_LIST)["rows"];
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0], "Ann Lee");
    EXPECT_EQ(rows[1], "Unreadable entry " + names[1] + ": it holds no readable certificate");
    EXPECT_EQ(rows[2], "Cy Doe");
    EXPECT_EQ(ControlOf(lines[1], IDC_EMAIL)["text"], "Not available");
    EXPECT_EQ(ControlOf(lines[1], IDC_ISSUER)["text"], "Not available");
    EXPECT_EQ(ControlOf(lines[2], IDC_ISSUER)["text"], "Root CA");
}

// Opens a second chooser over another store from inside its own opening, as
// a host could from within the first one's message loop.
class NestingDlg : public CSelectCertDlg {
public:
    HCERTSTORE m_innerStore = nullptr;
    Outcome m_inner{};

protected:
    BOOL OnInitDialog() override {
        const BOOL result = CSelectCertDlg::OnInitDialog();
        m_inner = RunChooser(m_innerStore);
        return result;
    }
};

TEST(SelectCertDlg, TwoChoosersOpenAtOnceEachShowTheirOwnListing) {
    TempHome outerHome;
    AddHolders(kThree);
    OpenStore outerStore;
    TempHome innerHome;
    AddHolders({"Zed Zulu", "Yan Yu"});
    OpenStore innerStore;

    // The inner chooser takes "select 1; ok", the outer one the rest.
    ScriptedUi ui("select 1; ok; select 2; ok");
    NestingDlg outer;
    outer.m_hCertStore = outerStore.Get();
    outer.m_innerStore = innerStore.Get();
    EXPECT_EQ(outer.DoModal(), IDOK);
    EXPECT_EQ(outer.m_inner.index, 1);
    EXPECT_EQ(outer.m_inner.email, "yan.yu@example.org");
    EXPECT_EQ(outer.m_nCertIndex, 2);
    EXPECT_EQ(outer.m_strEmail, "cy.doe@example.org") << "not the inner listing's row";
}

}  // namespace
