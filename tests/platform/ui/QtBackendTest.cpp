#include <gtest/gtest.h>

#include <QDialog>
#include <QFontMetricsF>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <cmath>
#include <map>
#include <string>
#include <vector>

#include "platform/ui/Dialog.h"
#include "platform/ui/ListBox.h"
#include "platform/ui/PinDialog.h"
#include "tests/platform/ui/QtUiDriver.h"

namespace {

using namespace platform::ui;
using ostrel::test::UiDriver;
using ostrel::test::VisibleTopLevel;

constexpr DialogItemTemplate kItems[] = {
    {WS_CHILD | WS_VISIBLE | WS_TABSTOP | WS_BORDER | LBS_NOTIFY, 0, 10, 10, 100, 50, 101,
     WC_LISTBOX, "", 0},
    {WS_CHILD | WS_VISIBLE | WS_BORDER | ES_READONLY, 0, 10, 70, 100, 12, 102, WC_EDIT, "", 0},
    {WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON, 0, 10, 90, 50, 14, IDOK, WC_BUTTON,
     "OK", 0},
    {WS_CHILD | WS_VISIBLE | WS_TABSTOP, 0, 70, 90, 50, 14, IDCANCEL, WC_BUTTON, "Cancel", 0},
};
constexpr DialogTemplate kTemplate = {WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME,
                                      0,
                                      0,
                                      0,
                                      130,
                                      110,
                                      "Qt Test",
                                      8,
                                      "MS Sans Serif",
                                      kItems};

class PickDlg : public CDialog {
public:
    PickDlg() { InitModalIndirect(&kTemplate); }
    CListBox m_list;
    int m_index = -1;
    CString m_text;

protected:
    void DoDataExchange(CDataExchange* pDX) override {
        DDX_Control(pDX, 101, m_list);
        DDX_LBIndex(pDX, 101, m_index);
        DDX_Text(pDX, 102, m_text);
    }
    BOOL OnInitDialog() override {
        CDialog::OnInitDialog();
        for (const char* row : {"red", "green", "blue"}) m_list.AddString(row);
        return TRUE;
    }
    void OnSelchange() {
        UpdateData(TRUE);
        m_list.GetText(m_index, m_text);
        UpdateData(FALSE);
    }
    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(PickDlg, CDialog)
ON_LBN_SELCHANGE(101, OnSelchange)
END_MESSAGE_MAP()

class QtBackend : public ::testing::Test {
protected:
    void SetUp() override { ostrel::test::EnsureQtApplication(); }
};

TEST_F(QtBackend, MessageBoxesAreCaptionedAndStyled) {
    for (const UINT style : {MB_OK, MB_OK | MB_ICONERROR}) {
        QString title, text;
        QMessageBox::Icon icon = QMessageBox::Warning;
        int buttons = 0;
        UiDriver driver([&] {
            auto* box = VisibleTopLevel<QMessageBox>("ostrel_message_box");
            if (box == nullptr) return false;
            title = box->windowTitle();
            text = box->text();
            icon = box->icon();
            buttons = int(box->buttons().size());
            box->button(QMessageBox::Ok)->click();
            return true;
        });
        EXPECT_EQ(AfxMessageBox("Store Closed After Signing - \nNot All Certs", style), IDOK);
        EXPECT_TRUE(driver.Done());
        EXPECT_EQ(title, "OSTREL");
        EXPECT_EQ(text, "Store Closed After Signing - \nNot All Certs");
        EXPECT_EQ(icon, style == MB_OK ? QMessageBox::NoIcon : QMessageBox::Critical);
        EXPECT_EQ(buttons, 1);
    }
}

TEST_F(QtBackend, TemplateIsLaidOutInDialogUnitsAndTheUserPicks) {
    QRect listRect, okRect;
    QSize client;
    double baseX = 0, baseY = 0;
    QString edited;
    bool listHasFocus = false;
    UiDriver driver([&] {
        auto* dlg = VisibleTopLevel<QDialog>("dialog_0");
        if (dlg == nullptr) return false;
        auto* list = dlg->findChild<QListWidget*>("ctl_101");
        auto* edit = dlg->findChild<QLineEdit*>("ctl_102");
        auto* ok = dlg->findChild<QPushButton*>("ctl_1");
        if (!list || !edit || !ok) return true;
        const QFontMetricsF fm(dlg->font());
        baseX = std::round(
            fm.horizontalAdvance("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz") / 52.0);
        baseY = std::round(fm.height());
        listRect = list->geometry();
        okRect = ok->geometry();
        client = dlg->size();
        listHasFocus = list->hasFocus() || dlg->focusWidget() == list;
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {},
                          list->visualItemRect(list->item(1)).center());
        edited = edit->text();
        ok->click();
        return true;
    });
    PickDlg dlg;
    EXPECT_EQ(dlg.DoModal(), IDOK);
    ASSERT_TRUE(driver.Done());
    EXPECT_EQ(dlg.m_index, 1);
    EXPECT_EQ(edited, "green") << "the handler's text reached the field at once";
    const auto x = [&](int du) { return int(std::lround(du * baseX / 4)); };
    const auto y = [&](int du) { return int(std::lround(du * baseY / 8)); };
    EXPECT_EQ(listRect, QRect(x(10), y(10), x(100), y(50)));
    EXPECT_EQ(okRect, QRect(x(10), y(90), x(50), y(14)));
    EXPECT_EQ(client, QSize(x(130), y(110)));
    EXPECT_TRUE(listHasFocus) << "the first tab stop";
}

TEST_F(QtBackend, EscapeAndTheCloseBoxCancel) {
    for (const bool escape : {true, false}) {
        UiDriver driver([&] {
            auto* dlg = VisibleTopLevel<QDialog>("dialog_0");
            if (dlg == nullptr) return false;
            auto* list = dlg->findChild<QListWidget*>("ctl_101");
            QTest::mouseClick(list->viewport(), Qt::LeftButton, {},
                              list->visualItemRect(list->item(2)).center());
            if (escape)
                QTest::keyClick(dlg, Qt::Key_Escape);
            else
                dlg->close();
            return true;
        });
        PickDlg dlg;
        EXPECT_EQ(dlg.DoModal(), IDCANCEL) << (escape ? "escape" : "close box");
        EXPECT_EQ(dlg.m_index, 2) << "what the last selection stored";
    }
}

TEST_F(QtBackend, ThePinIsTypedIntoAPasswordEditAndHandedOverOnOk) {
    QLineEdit::EchoMode echo = QLineEdit::Normal;
    QString shownStatus;
    UiDriver driver([&] {
        auto* dlg = VisibleTopLevel<QDialog>("dialog_0");
        if (dlg == nullptr) return false;
        auto* edit =
            dlg->findChild<QLineEdit*>(QStringLiteral("ctl_%1").arg(platform::ui::IDC_PIN_EDIT));
        auto* ok = dlg->findChild<QPushButton*>(QStringLiteral("ctl_%1").arg(IDOK));
        auto* status =
            dlg->findChild<QLabel*>(QStringLiteral("ctl_%1").arg(platform::ui::IDC_PIN_STATUS));
        if (edit == nullptr || ok == nullptr || status == nullptr) return false;
        echo = edit->echoMode();
        shownStatus = status->text();
        QTest::keyClicks(edit, "2468");
        ok->click();
        return true;
    });
    platform::seams::PinRequest request;
    request.tokenLabel = "Alpha";
    request.minLength = 4;
    request.wrongPin = true;
    char storage[32] = {};
    platform::seams::PinBuffer pin{storage, sizeof storage, 0};
    ASSERT_NE(platform::seams::CurrentTokenPrompt(), nullptr);
    EXPECT_TRUE(platform::seams::CurrentTokenPrompt()->AskPin(request, pin));
    EXPECT_TRUE(driver.Done());
    EXPECT_EQ(echo, QLineEdit::Password);
    EXPECT_EQ(shownStatus, "Wrong PIN.");
    EXPECT_EQ(std::string(pin.data, pin.length), "2468");
}

// Labels holding more than their template's room: an address with no space
// to break at, and a sentence.
constexpr DialogItemTemplate kLongItems[] = {
    {WS_CHILD | WS_VISIBLE | SS_LEFT, 0, 7, 7, 266, 10, 201, WC_STATIC, "", 0},
    {WS_CHILD | WS_VISIBLE | SS_LEFT, 0, 7, 19, 266, 10, 202, WC_STATIC, "", 0},
    {WS_CHILD | WS_VISIBLE | SS_LEFT, 0, 7, 31, 50, 8, -1, WC_STATIC, "Certificate:", 0},
    {WS_CHILD | WS_VISIBLE | SS_LEFT, 0, 60, 31, 213, 10, 203, WC_STATIC, "", 0},
    {WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON, 0, 7, 46, 50, 14, IDOK, WC_BUTTON, "OK",
     0},
};
constexpr DialogTemplate kLongTemplate = {WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME,
                                          0,
                                          0,
                                          0,
                                          280,
                                          67,
                                          "Long",
                                          8,
                                          "MS Sans Serif",
                                          kLongItems};

class LongTextDlg : public CDialog {
public:
    explicit LongTextDlg(std::vector<std::pair<int, CString>> texts) : m_texts(std::move(texts)) {
        InitModalIndirect(&kLongTemplate);
    }

protected:
    void DoDataExchange(CDataExchange* pDX) override {
        for (auto& [id, text] : m_texts) DDX_Text(pDX, id, text);
    }

private:
    std::vector<std::pair<int, CString>> m_texts;
};

TEST_F(QtBackend, ALabelShowsAllOfItsTextInsideTheWindow) {
    const std::string origin =
        "https://www.mybank.com.account-verification-secure-login-update-center.example.co.uk:8443";
    const std::string sentence =
        "CN=Ann Lee, O=A Rather Long Organisation Name Limited, OU=Department of Signatures, "
        "L=Somewhere, C=GB";
    const std::map<int, std::string> texts = {
        {201, origin}, {202, "first line\nsecond line"}, {203, sentence}};
    std::map<int, QString> shown;
    std::map<int, QRect> where;
    QRect window, ok;
    std::vector<std::string> problems;
    UiDriver driver([&] {
        auto* dlg = VisibleTopLevel<QDialog>("dialog_0");
        if (dlg == nullptr) return false;
        window = dlg->rect();
        for (const auto& [id, text] : texts) {
            auto* label = dlg->findChild<QLabel*>(QStringLiteral("ctl_%1").arg(id));
            if (label == nullptr) return true;
            shown[id] = label->text();
            where[id] = label->geometry();
            const QSize hint = label->sizeHint();
            if (hint.width() > label->width() || hint.height() > label->height())
                problems.push_back("label " + std::to_string(id) + " is smaller than its text");
        }
        ok = dlg->findChild<QPushButton*>(QStringLiteral("ctl_%1").arg(IDOK))->geometry();
        dlg->findChild<QPushButton*>(QStringLiteral("ctl_%1").arg(IDOK))->click();
        return true;
    });
    LongTextDlg dlg(
        {{201, CString(origin)}, {202, CString(texts.at(202))}, {203, CString(sentence)}});
    EXPECT_EQ(dlg.DoModal(), IDOK);
    ASSERT_TRUE(driver.Done());
    EXPECT_EQ(problems, std::vector<std::string>{});
    for (const auto& [id, text] : texts) {
        SCOPED_TRACE(id);
        // Every character, in order; only line breaks were added.
        QString joined = shown[id];
        joined.remove(QLatin1Char('\n'));
        QString expected = QString::fromStdString(text);
        expected.remove(QLatin1Char('\n'));
        EXPECT_EQ(joined, expected);
        EXPECT_TRUE(window.contains(where[id])) << "outside the window";
    }
    EXPECT_GE(shown[201].count(QLatin1Char('\n')), 1);
    EXPECT_GE(shown[203].count(QLatin1Char('\n')), 1);
    // What lay below a grown label moved down, and the window grew to hold it.
    EXPECT_GE(where[202].top(), where[201].bottom());
    EXPECT_GE(where[203].top(), where[202].bottom());
    EXPECT_GE(ok.top(), where[203].bottom());
    EXPECT_TRUE(window.contains(ok));
}

}  // namespace
