// The module's resources as the platform reads them from the resource
// section: the same templates, strings and pictures the product wrote.

#include <gtest/gtest.h>

#include <cstring>

#include "control/OstrelResourceScript.h"
#include "platform/ctl/Control.h"
#include "platform/ui/ModuleStrings.h"
#include "platform/ui/Resources.h"
#include "platform/win/LastError.h"

namespace {

using namespace platform::ui;

bool SameText(const char* a, const char* b) {
    return std::strcmp(a == nullptr ? "" : a, b == nullptr ? "" : b) == 0;
}

TEST(ModuleResources, ReadBackAsTheProductWroteThem) {
    for (const auto& d : ostrel::resources::Dialogs()) {
        const DialogTemplate* t = FindDialogTemplate(d.id);
        ASSERT_NE(t, nullptr) << d.id;
        EXPECT_EQ(FindDialogTemplate(d.id), t) << "read once and kept";
        const DialogTemplate& w = *d.dialog;
        EXPECT_EQ(t->style, w.style) << d.id;
        EXPECT_EQ(t->exStyle, w.exStyle) << d.id;
        EXPECT_EQ((std::array{t->x, t->y, t->cx, t->cy}), (std::array{w.x, w.y, w.cx, w.cy}));
        EXPECT_TRUE(SameText(t->caption, w.caption)) << d.id;
        EXPECT_EQ(t->pointSize, w.pointSize) << d.id;
        EXPECT_TRUE(SameText(t->typeface, w.typeface)) << d.id;
        ASSERT_EQ(t->items.size(), w.items.size()) << d.id;
        for (std::size_t i = 0; i < w.items.size(); ++i) {
            const auto& a = t->items[i];
            const auto& b = w.items[i];
            EXPECT_EQ(a.style, b.style) << d.id << "/" << i;
            EXPECT_EQ(a.exStyle, b.exStyle) << d.id << "/" << i;
            EXPECT_EQ((std::array{a.x, a.y, a.cx, a.cy}), (std::array{b.x, b.y, b.cx, b.cy}));
            EXPECT_EQ(a.id, b.id) << d.id << "/" << i;
            EXPECT_TRUE(SameText(a.windowClass, b.windowClass)) << d.id << "/" << i;
            EXPECT_TRUE(SameText(a.text, b.text)) << d.id << "/" << i;
            EXPECT_EQ(a.imageId, b.imageId) << d.id << "/" << i;
        }
    }
    for (const auto& s : ostrel::resources::Strings()) EXPECT_STREQ(FindString(s.id), s.text);
    for (const auto& b : ostrel::resources::Bitmaps()) {
        const auto* image = FindBitmap(b.id);
        ASSERT_NE(image, nullptr) << b.id;
        EXPECT_EQ(*image, b.make()) << b.id;
    }
    // The framework's own strings are there for every module.
    EXPECT_STREQ(FindString(AFX_IDS_VERB_PROPERTIES), "&Properties...");
}

TEST(ModuleResources, LookingDoesNotChangeTheLastError) {
    SetLastError(1234);
    EXPECT_EQ(FindDialogTemplate(202), nullptr);
    EXPECT_EQ(FindBitmap(0), nullptr);
    EXPECT_EQ(FindString(3), nullptr);
    EXPECT_EQ(FindDialogTemplate(0x10000), nullptr);
    EXPECT_NE(FindString(1), nullptr);
    EXPECT_EQ(GetLastError(), 1234u);
}

}  // namespace
