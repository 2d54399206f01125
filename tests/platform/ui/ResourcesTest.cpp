#include <gtest/gtest.h>

#include "control/OstrelResource.h"
#include "platform/ui/Resources.h"

namespace {

using namespace platform::ui;

TEST(Resources, BitmapsHaveTheirSizesAndDepths) {
    const auto* logo = FindBitmap(IDB_LOGO);
    const auto* banner = FindBitmap(IDB_BANNER);
    ASSERT_NE(logo, nullptr);
    ASSERT_NE(banner, nullptr);
    const auto l = ReadBitmapHeader(*logo);
    const auto b = ReadBitmapHeader(*banner);
    ASSERT_TRUE(l && b);
    EXPECT_EQ((std::array{l->width, l->height, l->bitsPerPixel, l->paletteSize}),
              (std::array{48, 39, 4, 16}));
    EXPECT_EQ((std::array{b->width, b->height, b->bitsPerPixel, b->paletteSize}),
              (std::array{315, 40, 24, 0}));
    // Rows are padded to four bytes: 24 + 4 bytes a row for the logo.
    EXPECT_EQ(logo->size(), 14u + 40 + 64 + 39 * 24);
    EXPECT_EQ(banner->size(), 14u + 40 + 40 * 948);
    EXPECT_EQ(FindBitmap(204), nullptr);
    EXPECT_EQ(FindDialogTemplate(202), nullptr);

    std::vector<unsigned char> cut(logo->begin(), logo->end() - 1);
    EXPECT_FALSE(ReadBitmapHeader(cut)) << "a size that disagrees with the header";
    EXPECT_FALSE(ReadBitmapHeader(std::vector<unsigned char>(10, 'B')));
}

}  // namespace
