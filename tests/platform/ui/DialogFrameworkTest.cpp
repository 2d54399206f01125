#include <gtest/gtest.h>

#include <unistd.h>

#include <fstream>
#include <functional>
#include <stdexcept>

#include "platform/ui/Backend.h"
#include "platform/ui/Dialog.h"
#include "platform/ui/ListBox.h"
#include "platform/win/LastError.h"
#include "platform/win/WinError.h"
#include "tests/platform/ui/UiTestSupport.h"

namespace {

using namespace platform::ui;
using ostrel::test::ScopedEnv;
using ostrel::test::ScriptedUi;

constexpr int kList = 101;
constexpr int kEdit = 102;
constexpr int kLabel = 103;

constexpr DialogItemTemplate kItems[] = {
    {WS_CHILD | WS_VISIBLE | WS_TABSTOP | WS_BORDER | LBS_NOTIFY, 0, 10, 10, 100, 50, kList,
     WC_LISTBOX, "", 0},
    {WS_CHILD | WS_VISIBLE | WS_BORDER | ES_READONLY, 0, 10, 70, 100, 12, kEdit, WC_EDIT, "", 0},
    {WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON, 0, 10, 90, 50, 14, IDOK, WC_BUTTON,
     "OK", 0},
    {WS_CHILD | WS_VISIBLE | WS_TABSTOP, 0, 70, 90, 50, 14, IDCANCEL, WC_BUTTON, "Cancel", 0},
    {WS_CHILD | WS_VISIBLE | SS_LEFT, 0, 10, 110, 100, 8, kLabel, WC_STATIC, "Label", 0},
};

constexpr DialogTemplate kTemplate = {
    WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT,
    0,
    0,
    0,
    130,
    130,
    "Test Dialog",
    8,
    "MS Sans Serif",
    kItems};

// A dialog with the parts a product dialog uses: a bound list, a bound text,
// and a handler for the user's selection.
class TestDlg : public CDialog {
public:
    TestDlg() { InitModalIndirect(&kTemplate); }

    CListBox m_list;
    int m_index = -1;
    CString m_text;
    int m_selchanges = 0;
    std::function<void(TestDlg&)> m_onInit;
    std::function<void(TestDlg&)> m_onSelchange;

protected:
    void DoDataExchange(CDataExchange* pDX) override {
        DDX_Control(pDX, kList, m_list);
        DDX_LBIndex(pDX, kList, m_index);
        DDX_Text(pDX, kEdit, m_text);
    }
    BOOL OnInitDialog() override {
        CDialog::OnInitDialog();
        for (const char* row : {"zero", "one", "two"}) m_list.AddString(row);
        // Set by the program: no notification.
        m_list.SetCurSel(1);
        if (m_onInit) m_onInit(*this);
        return TRUE;
    }
    void OnSelchange() {
        ++m_selchanges;
        if (m_onSelchange) m_onSelchange(*this);
        UpdateData(TRUE);
        m_list.GetText(m_index, m_text);
        UpdateData(FALSE);
    }
    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(TestDlg, CDialog)
ON_LBN_SELCHANGE(kList, OnSelchange)
END_MESSAGE_MAP()

TEST(DialogFramework, UserSelectionNotifiesAndExchangesData) {
    ScriptedUi ui("select 2; ok");
    TestDlg dlg;
    ASSERT_EQ(dlg.DoModal(), IDOK);
    EXPECT_EQ(dlg.m_selchanges, 1) << "only the user's selection is announced";
    EXPECT_EQ(dlg.m_index, 2);
    EXPECT_EQ(dlg.m_text, "two");
    EXPECT_EQ(dlg.m_list.m_hWnd, nullptr) << "the control object lets go of its window";

    const auto lines = ui.DialogLines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0]["event"], "open");
    EXPECT_EQ(lines[0]["dialog"], "Test Dialog");
    EXPECT_EQ(ostrel::test::ControlOf(lines[0], kList)["selection"], 1);
    EXPECT_EQ(ostrel::test::ControlOf(lines[0], kList)["rows"],
              nlohmann::json({"zero", "one", "two"}));
    EXPECT_EQ(lines[1]["event"], "select 2");
    EXPECT_EQ(ostrel::test::ControlOf(lines[1], kEdit)["text"], "two");
    EXPECT_EQ(lines[2]["event"], "end");
    EXPECT_EQ(lines[2]["how"], "ok");
    EXPECT_EQ(lines[2]["result"], IDOK);
    EXPECT_EQ(lines[2]["index"], 2);
}

TEST(DialogFramework, EveryWayOutButOkCancels) {
    struct Case {
        const char* script;
        INT_PTR result;
        const char* how;
    } cases[] = {
        {"cancel", IDCANCEL, "cancel"},
        {"escape", IDCANCEL, "escape"},
        {"close", IDCANCEL, "close"},
        {"enter", IDOK, "enter"},
        {"select 0; cancel", IDCANCEL, "cancel"},
        // A script that runs out leaves nobody to answer: as Escape.
        {"select 0", IDCANCEL, "escape"},
    };
    for (const auto& c : cases) {
        ScriptedUi ui(c.script);
        TestDlg dlg;
        EXPECT_EQ(dlg.DoModal(), c.result) << c.script;
        const auto lines = ui.DialogLines();
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back()["how"], c.how) << c.script;
    }
}

TEST(DialogFramework, UnattendedDialogsCancelAtOnce) {
    ScopedEnv env;
    env.Set("OSTREL_UI", "none");
    TestDlg dlg;
    bool initialised = false;
    dlg.m_onInit = [&](TestDlg&) { initialised = true; };
    EXPECT_EQ(dlg.DoModal(), IDCANCEL);
    EXPECT_TRUE(initialised);
    EXPECT_EQ(dlg.m_selchanges, 0);
}

TEST(DialogFramework, ScriptRunsAcrossDialogsAndStartsOver) {
    ScriptedUi ui("ok; cancel");
    std::vector<INT_PTR> results;
    for (int i = 0; i < 3; ++i) {
        TestDlg dlg;
        results.push_back(dlg.DoModal());
    }
    EXPECT_EQ(results, (std::vector<INT_PTR>{IDOK, IDCANCEL, IDOK}));
}

TEST(DialogFramework, ScriptActionsThatCannotBeDoneAreSkippedAndLogged) {
    ScriptedUi ui("select 7; jump; click 55; select 1; ok");
    TestDlg dlg;
    EXPECT_EQ(dlg.DoModal(), IDOK);
    EXPECT_EQ(dlg.m_index, 1);
    // Told by their verbs and positions: what follows a verb may be a
    // PIN given in the wrong place.
    std::vector<std::pair<std::string, int>> refused;
    for (const auto& l : ui.DialogLines())
        if (l["event"] == "refused") refused.emplace_back(l["action"], l["position"]);
    EXPECT_EQ(refused, (std::vector<std::pair<std::string, int>>{
                           {"select", 1}, {"unknown", 2}, {"click", 3}}));
}

TEST(DialogFramework, HandlerThatThrowsLeavesTheDialogRunning) {
    ScriptedUi ui("select 2; select 0; ok");
    TestDlg dlg;
    int calls = 0;
    dlg.m_onSelchange = [&](TestDlg&) {
        if (++calls == 1) throw std::runtime_error("boom");
    };
    EXPECT_EQ(dlg.DoModal(), IDOK);
    EXPECT_EQ(dlg.m_index, 0);
}

TEST(DialogFramework, ProgramCanEndTheDialogWhileItOpens) {
    ScriptedUi ui("ok");
    TestDlg dlg;
    dlg.m_onInit = [](TestDlg& d) { d.EndDialog(42); };
    EXPECT_EQ(dlg.DoModal(), 42);
    const auto lines = ui.DialogLines();
    ASSERT_EQ(lines.size(), 1u) << "never shown: no open line";
    EXPECT_EQ(lines[0]["how"], "init");
}

TEST(DialogFramework, WindowsAndHandlesAreCheckedAndGoWithTheDialog) {
    ScriptedUi ui("ok");
    TestDlg dlg;
    HWND list = nullptr;
    dlg.m_onInit = [&](TestDlg& d) {
        list = d.m_list.m_hWnd;
        EXPECT_EQ(d.GetDlgItem(999), nullptr);
        CWnd* label = d.GetDlgItem(kLabel);
        ASSERT_NE(label, nullptr);
        EXPECT_EQ(label, d.GetDlgItem(kLabel)) << "one object per control";
        EXPECT_TRUE(label->IsWindowVisible());
        EXPECT_TRUE(label->ShowWindow(SW_HIDE)) << "was visible";
        EXPECT_FALSE(label->IsWindowVisible());
        EXPECT_EQ(d.GetDlgItem(kList), &d.m_list) << "the bound object stands for its control";
        // Out of range: no selection, as the program asked for none.
        EXPECT_EQ(d.m_list.SetCurSel(5), LB_ERR);
        EXPECT_EQ(d.m_list.GetCurSel(), LB_ERR);
        CString text;
        EXPECT_EQ(d.m_list.GetText(9, text), LB_ERR);
        EXPECT_EQ(d.m_list.GetCount(), 3);
    };
    EXPECT_EQ(dlg.DoModal(), IDOK);
    EXPECT_EQ(ostrel::test::ControlOf(ui.DialogLines()[0], kLabel)["visible"], false);

    SetLastError(0);
    EXPECT_FALSE(IsWindow(list));
    EXPECT_EQ(SendMessageA(list, LB_GETCOUNT, 0, 0), LB_ERR);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
    EXPECT_FALSE(ShowWindow(reinterpret_cast<HWND>(&dlg), SW_HIDE)) << "not a window";

    // The same object runs again with fresh windows.
    EXPECT_EQ(dlg.DoModal(), IDOK);
}

TEST(DialogFramework, DialogThatCannotBeMadeReturnsMinusOne) {
    ScriptedUi ui("ok");
    CDialog missing(4711);
    SetLastError(0);
    EXPECT_EQ(missing.DoModal(), -1);
    EXPECT_EQ(GetLastError(), ERROR_RESOURCE_NAME_NOT_FOUND);

    static constexpr DialogItemTemplate unknown[] = {
        {WS_CHILD | WS_VISIBLE, 0, 0, 0, 10, 10, 1, "SysTreeView32", "", 0}};
    static constexpr DialogTemplate withUnknownClass = {WS_POPUP, 0,   0, 0,  50,
                                                        50,       "X", 8, "", unknown};
    CDialog odd;
    odd.InitModalIndirect(&withUnknownClass);
    EXPECT_EQ(odd.DoModal(), -1);
    EXPECT_EQ(GetLastError(), ERROR_CANNOT_FIND_WND_CLASS);

    platform::seams::ScopedFault fault("CDialog::DoModal", ERROR_NOT_ENOUGH_MEMORY);
    TestDlg dlg;
    EXPECT_EQ(dlg.DoModal(), -1);
    EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
}

TEST(MessageBoxes, ScriptedBoxesAreDismissedLoggedAndKeepTheLastError) {
    ScriptedUi ui("cancel");
    platform::seams::ScopedTrace trace;
    SetLastError(NTE_BAD_KEYSET);
    EXPECT_EQ(AfxMessageBox("Two\nlines", MB_OK | MB_ICONERROR), IDOK);
    EXPECT_EQ(GetLastError(), NTE_BAD_KEYSET);
    EXPECT_EQ(ui.Boxes(), (std::vector<std::string>{"16 Two\nlines"}));
    EXPECT_EQ(trace.Events(), (std::vector<std::string>{"AfxMessageBox 16 Two\nlines"}));
    // A box takes nothing from the dialog script.
    TestDlg dlg;
    EXPECT_EQ(dlg.DoModal(), IDCANCEL);
}

TEST(Backends, ChosenByEnvironment) {
    ScopedEnv env;
    env.Set("OSTREL_UI", std::nullopt);
    env.Set("DISPLAY", std::nullopt);
    env.Set("WAYLAND_DISPLAY", std::nullopt);
    env.Set("QT_QPA_PLATFORM", std::nullopt);
    EXPECT_EQ(CurrentBackend().Name(), isatty(STDIN_FILENO) ? "tty" : "none");
    // A display named that nobody serves would end the process in Qt.
    env.Set("XDG_RUNTIME_DIR", "/nonexistent");
    env.Set("WAYLAND_DISPLAY", "wayland-0");
    EXPECT_NE(CurrentBackend().Name(), "qt");
    env.Set("QT_QPA_PLATFORM", "offscreen");
    EXPECT_EQ(CurrentBackend().Name(), "qt");
    for (const char* name : {"none", "tty", "script", "qt"}) {
        env.Set("OSTREL_UI", name);
        EXPECT_EQ(CurrentBackend().Name(), name);
    }
}

bool QtMapped() {
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line))
        if (line.find("libQt6") != std::string::npos) return true;
    return false;
}

TEST(Backends, QtIsNotLoadedUntilSomethingIsShownWithIt) {
    {
        ScriptedUi ui("select 1; ok");
        TestDlg dlg;
        EXPECT_EQ(dlg.DoModal(), IDOK);
        AfxMessageBox("shown by script");
    }
    EXPECT_FALSE(QtMapped());
    const auto ldd = ostrel::test::RunCommand("ldd " + ostrel::test::BinFolder() + "/ostrel");
    EXPECT_EQ(ldd.status, 0);
    EXPECT_EQ(ldd.out.find("Qt"), std::string::npos) << ldd.out;
}

TEST(Backends, MissingQtModuleFallsBackWithoutFailing) {
    ScopedEnv env;
    env.Set("OSTREL_UI", "qt");
    env.Set("OSTREL_UI_QT_MODULE", "/nonexistent/libostrel_ui_qt.so");
    EXPECT_EQ(AfxMessageBox("no Qt here"), IDOK);
    TestDlg dlg;
    EXPECT_EQ(dlg.DoModal(), IDCANCEL) << "falls back to the unattended backend";
    EXPECT_FALSE(QtMapped());
}

}  // namespace
