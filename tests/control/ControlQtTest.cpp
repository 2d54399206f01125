// The About box and the property frame as real windows of the Qt user
// interface, found by the names the backend gives them.

#include <gtest/gtest.h>

#include <QDialog>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>

#include "control/OstrelCtrl.h"
#include "tests/platform/ui/QtUiDriver.h"
#include "tests/platform/ui/UiTestSupport.h"

namespace {

using namespace ostrel::test;

QString Shot(const char* name) {
    return QString::fromStdString(BinFolder()) + "/../" + name;
}

class ControlQt : public ::testing::Test {
protected:
    void SetUp() override { EnsureQtApplication(); }
    TempHome m_home;
};

TEST_F(ControlQt, TheAboutBoxShowsItsTitleLineAndLogoUntilOk) {
    QString title, line;
    QSize logo;
    UiDriver driver([&] {
        auto* dlg = VisibleTopLevel<QDialog>("dialog_1");
        if (dlg == nullptr) return false;
        title = dlg->windowTitle();
        if (auto* label = dlg->findChild<QLabel*>("item_1")) line = label->text();
        if (auto* picture = dlg->findChild<QLabel*>("item_0")) logo = picture->pixmap().size();
        dlg->grab().save(Shot("about-qt.png"));
        if (auto* ok = dlg->findChild<QPushButton*>("ctl_1")) ok->click();
        return true;
    });
    COstrelCtrl control;
    control.AboutBox();
    ASSERT_TRUE(driver.Done());
    EXPECT_EQ(title, "About Ostrel Control");
    EXPECT_EQ(line, "Ostrel Control, Version 1.1");
    EXPECT_EQ(logo, QSize(48, 39));
}

TEST_F(ControlQt, ThePropertyFrameShowsTheGeneralPage) {
    QString title;
    QStringList pages;
    bool applyEnabled = true, textShown = false;
    UiDriver driver([&] {
        auto* dlg = VisibleTopLevel<QDialog>("dialog_0");
        if (dlg == nullptr) return false;
        title = dlg->windowTitle();
        if (auto* list = dlg->findChild<QListWidget*>("ctl_12320"))
            for (int i = 0; i < list->count(); ++i) pages << list->item(i)->text();
        if (auto* apply = dlg->findChild<QPushButton*>("ctl_12321"))
            applyEnabled = apply->isEnabled();
        for (auto* label : dlg->findChildren<QLabel*>())
            textShown =
                textShown || (label->isVisible() && label->text().startsWith("TODO: Place"));
        dlg->grab().save(Shot("properties-qt.png"));
        if (auto* ok = dlg->findChild<QPushButton*>("ctl_1")) ok->click();
        return true;
    });
    COstrelCtrl control;
    IOleObject* ole = &control;
    EXPECT_EQ(ole->DoVerb(OLEIVERB_PROPERTIES, nullptr, nullptr, nullptr), S_OK);
    ASSERT_TRUE(driver.Done());
    EXPECT_EQ(title, "Ostrel Control Properties");
    EXPECT_EQ(pages, QStringList({"General"}));
    EXPECT_FALSE(applyEnabled);
    EXPECT_TRUE(textShown);
}

}  // namespace
