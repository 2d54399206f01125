#include <gtest/gtest.h>

#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>

#include "chooser/SelectCertDlg.h"
#include "control/OstrelCtrl.h"
#include "tests/chooser/ChooserTestSupport.h"
#include "tests/platform/ui/QtUiDriver.h"

namespace {

using namespace ostrel::test;

class ChooserQt : public ::testing::Test {
protected:
    void SetUp() override {
        EnsureQtApplication();
        AddHolders({"Ann Lee", "Bob Ray", "Cy Doe"});
    }
    TempHome m_home;
};

QString Shot(const char* name) {
    return QString::fromStdString(BinFolder()) + "/../" + name;
}

TEST_F(ChooserQt, RealWindowListsFillsTheFieldsAndReturnsTheChoice) {
    QStringList rows;
    QString emailAtOpen, issuerAtOpen, emailAfter, title;
    bool previewVisible = true, labelVisible = true, listVisible = false, logoShown = false;
    UiDriver driver([&] {
        auto* dlg = VisibleTopLevel<QDialog>("dialog_201");
        if (dlg == nullptr) return false;
        auto* list = dlg->findChild<QListWidget*>("ctl_201");
        auto* email = dlg->findChild<QLineEdit*>("ctl_204");
        auto* issuer = dlg->findChild<QLineEdit*>("ctl_203");
        auto* ok = dlg->findChild<QPushButton*>("ctl_1");
        if (!list || !email || !issuer || !ok) return true;
        title = dlg->windowTitle();
        for (int i = 0; i < list->count(); ++i) rows << list->item(i)->text();
        emailAtOpen = email->text();
        issuerAtOpen = issuer->text();
        previewVisible = dlg->findChild<QWidget*>("ctl_206")->isVisible();
        labelVisible = dlg->findChild<QWidget*>("ctl_207")->isVisible();
        listVisible = list->isVisible();
        auto* logo = dlg->findChild<QLabel*>("item_4");
        logoShown = logo && logo->isVisible() && logo->pixmap().size() == QSize(48, 39);
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {},
                          list->visualItemRect(list->item(2)).center());
        emailAfter = email->text();
        dlg->grab().save(Shot("chooser-qt.png"));
        ok->click();
        return true;
    });
    COstrelCtrl control;
    EXPECT_EQ(control.ChooseCertificate(), 2);
    ASSERT_TRUE(driver.Done());
    EXPECT_EQ(title, "Select a Certificate");
    EXPECT_EQ(rows, QStringList({"Ann Lee", "Bob Ray", "Cy Doe"}));
    EXPECT_EQ(emailAtOpen, "ann.lee@example.org");
    EXPECT_EQ(issuerAtOpen, "Root CA");
    EXPECT_EQ(emailAfter, "cy.doe@example.org");
    EXPECT_FALSE(previewVisible);
    EXPECT_FALSE(labelVisible);
    EXPECT_TRUE(listVisible);
    EXPECT_TRUE(logoShown);
}

TEST_F(ChooserQt, PreviewShowsTheTextAndEscapeCancels) {
    QString preview;
    bool visible = false, readOnly = false, editable = true;
    UiDriver driver([&] {
        auto* dlg = VisibleTopLevel<QDialog>("dialog_201");
        if (dlg == nullptr) return false;
        auto* text = dlg->findChild<QPlainTextEdit*>("ctl_206");
        auto* email = dlg->findChild<QLineEdit*>("ctl_204");
        if (!text || !email) return true;
        preview = text->toPlainText();
        visible = text->isVisible() && dlg->findChild<QWidget*>("ctl_207")->isVisible();
        readOnly = text->isReadOnly();
        editable = !email->isReadOnly();
        dlg->grab().save(Shot("chooser-qt-preview.png"));
        QTest::keyClick(dlg, Qt::Key_Escape);
        return true;
    });
    OpenStore store;
    CSelectCertDlg dlg(nullptr);
    dlg.m_hCertStore = store.Get();
    dlg.m_strMessage = "Pay 100 to Bob.\nSigned, Ann";
    EXPECT_EQ(dlg.DoModal(), IDCANCEL);
    ASSERT_TRUE(driver.Done());
    EXPECT_EQ(preview, "Pay 100 to Bob.\nSigned, Ann");
    EXPECT_TRUE(visible);
    EXPECT_TRUE(readOnly);
    EXPECT_FALSE(editable);
    EXPECT_EQ(dlg.m_nCertIndex, -1);
}

TEST_F(ChooserQt, EmptyStoreBoxComesBeforeTheWindow) {
    TempHome empty;
    QStringList seen;
    UiDriver driver([&] {
        if (auto* box = VisibleTopLevel<QMessageBox>("ostrel_message_box")) {
            seen << box->text();
            box->button(QMessageBox::Ok)->click();
            return false;
        }
        if (auto* dlg = VisibleTopLevel<QDialog>("dialog_201")) {
            seen << QString::number(dlg->findChild<QListWidget*>("ctl_201")->count());
            dlg->close();
            return true;
        }
        return false;
    });
    // The second box comes after the window, from ChooseCertificate itself.
    UiDriver notSelected([&] {
        auto* box = VisibleTopLevel<QMessageBox>("ostrel_message_box");
        if (box == nullptr || !driver.Done()) return false;
        seen << box->text();
        box->button(QMessageBox::Ok)->click();
        return true;
    });
    COstrelCtrl control;
    EXPECT_EQ(control.ChooseCertificate(), -1);
    EXPECT_EQ(seen, QStringList({"No Personal certificates available to list.", "0",
                                 "Certificate is not selected."}));
}

}  // namespace
