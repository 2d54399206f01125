#pragma once
// What the control-framework suites share: a count of everything the
// framework hands out, and pixels read back from a drawing.

#include <gtest/gtest.h>

#include <string>

#include "platform/com/Unknown.h"
#include "platform/ctl/OleInterfaces.h"
#include "platform/ui/DeviceContext.h"
#include "tests/support/TestSupport.h"

namespace ostrel::test {

// Objects, task memory, contexts and drawing objects alive, with the
// platform's own counts.
struct FrameworkCounts {
    long objects, taskMemory, contexts, drawingObjects;
    LiveCounts platform;
    static FrameworkCounts Now() {
        return {platform::com::LiveObjects(), platform::ctl::LiveTaskMemory(),
                platform::ui::LiveDeviceContexts(), platform::ui::LiveDrawingObjects(),
                LiveCounts::Now()};
    }
    bool operator==(const FrameworkCounts&) const = default;
};

// A test that ends with everything it made given back.
class LeakChecked : public ::testing::Test {
protected:
    void SetUp() override { m_before = FrameworkCounts::Now(); }
    void TearDown() override {
        const FrameworkCounts after = FrameworkCounts::Now();
        EXPECT_EQ(after.objects, m_before.objects);
        EXPECT_EQ(after.taskMemory, m_before.taskMemory);
        EXPECT_EQ(after.contexts, m_before.contexts);
        EXPECT_EQ(after.drawingObjects, m_before.drawingObjects);
        EXPECT_TRUE(after.platform == m_before.platform);
    }

private:
    FrameworkCounts m_before{};
};

inline constexpr std::uint32_t kWhite = 0xFFFFFFFF;
inline constexpr std::uint32_t kBlack = 0xFF000000;

// Whether a pixel is drawn dark (the outline of a figure).
inline bool Dark(std::uint32_t argb) {
    const auto r = (argb >> 16) & 0xFF, g = (argb >> 8) & 0xFF, b = argb & 0xFF;
    return (argb >> 24) == 0xFF && r < 0x80 && g < 0x80 && b < 0x80;
}

// A context of that size with a drawing made by `draw`, read back as pixels.
template <class Draw>
platform::ui::ImagePixels Drawn(int width, int height, Draw&& draw) {
    HDC hdc = platform::ui::CreateImageDC(width, height);
    EXPECT_NE(hdc, nullptr);
    draw(hdc);
    platform::ui::ImagePixels pixels;
    EXPECT_TRUE(platform::ui::RenderImage(hdc, pixels));
    DeleteDC(hdc);
    return pixels;
}

// Checks the picture of a white rectangle over the whole image with an
// ellipse inscribed in it: white corners and centre, a dark outline through
// the middle of each side, white just inside and outside of it.
inline void ExpectWhiteRectangleWithInscribedEllipse(const platform::ui::ImagePixels& p) {
    const int w = p.width, h = p.height;
    ASSERT_GE(w, 16);
    ASSERT_GE(h, 16);
    for (auto [x, y] : {std::pair{0, 0}, {w - 1, 0}, {0, h - 1}, {w - 1, h - 1}, {2, 2}})
        EXPECT_EQ(p.At(x, y), kWhite) << "corner " << x << "," << y;
    EXPECT_EQ(p.At(w / 2, h / 2), kWhite) << "centre";
    // The outline touches each side of the rectangle in its middle.
    EXPECT_TRUE(Dark(p.At(w / 2, 0)));
    EXPECT_TRUE(Dark(p.At(w / 2, h - 1)));
    EXPECT_TRUE(Dark(p.At(0, h / 2)));
    EXPECT_TRUE(Dark(p.At(w - 1, h / 2)));
    EXPECT_EQ(p.At(w / 2, 3), kWhite) << "inside the outline";
    EXPECT_EQ(p.At(3, h / 2), kWhite) << "inside the outline";
    // Every row crosses the outline: once at the top and bottom, else twice.
    for (int y = 1; y < h - 1; ++y) {
        int dark = 0;
        for (int x = 0; x < w / 2; ++x) dark += Dark(p.At(x, y)) ? 1 : 0;
        EXPECT_GE(dark, 1) << "row " << y;
    }
    // Nothing is drawn but white and the dark outline.
    for (std::uint32_t px : p.argb) EXPECT_TRUE(px == kWhite || Dark(px));
}

}  // namespace ostrel::test
