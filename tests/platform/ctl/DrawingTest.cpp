#include <gtest/gtest.h>

#include "platform/seams/Seams.h"
#include "platform/win/LastError.h"
#include "platform/win/WinError.h"
#include "tests/platform/ctl/CtlTestSupport.h"

namespace ostrel::test {
namespace {

using platform::ui::CreateImageDC;
using platform::ui::ImagePixels;
using platform::ui::RenderImage;

class Drawing : public LeakChecked {};

TEST_F(Drawing, FiguresCoverTheirRectangleWithoutItsRightAndBottomEdges) {
    HBRUSH red = CreateSolidBrush(RGB(255, 0, 0));
    const ImagePixels p = Drawn(64, 32, [&](HDC hdc) {
        const RECT all{0, 0, 64, 32};
        EXPECT_NE(FillRect(hdc, &all, GetStockObject(WHITE_BRUSH)), 0);
        EXPECT_TRUE(Ellipse(hdc, 0, 0, 64, 32));
        const RECT small{40, 4, 44, 8};
        EXPECT_NE(FillRect(hdc, &small, red), 0);
    });
    ExpectWhiteRectangleWithInscribedEllipse([&] {
        // The red square aside, the picture is the inscribed ellipse.
        ImagePixels q = p;
        for (int y = 4; y < 8; ++y)
            for (int x = 40; x < 44; ++x) q.argb[std::size_t(y * 64 + x)] = kWhite;
        return q;
    }());
    EXPECT_EQ(p.At(40, 4), 0xFFFF0000u);
    EXPECT_EQ(p.At(43, 7), 0xFFFF0000u);
    EXPECT_EQ(p.At(44, 7), kWhite);
    EXPECT_EQ(p.At(43, 8), kWhite);
    EXPECT_TRUE(DeleteObject(red));
}

TEST_F(Drawing, ANewContextIsTransparentAndDrawsWithTheBlackPenAndWhiteBrush) {
    const ImagePixels empty = Drawn(20, 20, [](HDC) {});
    for (std::uint32_t px : empty.argb) EXPECT_EQ(px, 0u);

    const ImagePixels ellipse = Drawn(20, 20, [](HDC hdc) { Ellipse(hdc, 0, 0, 20, 20); });
    EXPECT_TRUE(Dark(ellipse.At(10, 0)));
    EXPECT_EQ(ellipse.At(10, 10), kWhite);
    EXPECT_EQ(ellipse.At(0, 0), 0u) << "outside the ellipse nothing is drawn";
}

TEST_F(Drawing, RestoringAContextGivesBackItsSelections) {
    HBRUSH blue = CreateSolidBrush(RGB(0, 0, 255));
    const ImagePixels p = Drawn(20, 20, [&](HDC hdc) {
        EXPECT_EQ(SelectObject(hdc, blue), GetStockObject(WHITE_BRUSH));
        const int depth = SaveDC(hdc);
        EXPECT_EQ(depth, 1);
        EXPECT_EQ(SelectObject(hdc, GetStockObject(BLACK_BRUSH)), blue);
        EXPECT_EQ(SelectObject(hdc, GetStockObject(NULL_PEN)), GetStockObject(BLACK_PEN));
        EXPECT_TRUE(RestoreDC(hdc, -1));
        EXPECT_FALSE(RestoreDC(hdc, 1)) << "nothing is saved any more";
        Ellipse(hdc, 0, 0, 20, 20);
    });
    EXPECT_EQ(p.At(10, 10), 0xFF0000FFu);
    EXPECT_TRUE(Dark(p.At(10, 0)));
    EXPECT_TRUE(DeleteObject(blue));
}

TEST_F(Drawing, StaleAndMadeUpHandlesAreRefused) {
    const RECT r{0, 0, 4, 4};
    HDC made = reinterpret_cast<HDC>(0x1234);
    SetLastError(0);
    EXPECT_EQ(FillRect(made, &r, GetStockObject(WHITE_BRUSH)), 0);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);

    HDC hdc = CreateImageDC(4, 4);
    ASSERT_TRUE(DeleteDC(hdc));
    EXPECT_FALSE(Ellipse(hdc, 0, 0, 4, 4));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(DeleteDC(hdc));

    HBRUSH brush = CreateSolidBrush(RGB(1, 2, 3));
    EXPECT_TRUE(DeleteObject(brush));
    EXPECT_FALSE(DeleteObject(brush));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    // Stock objects outlive any attempt to delete them.
    EXPECT_TRUE(DeleteObject(GetStockObject(WHITE_BRUSH)));
    EXPECT_NE(CGdiObject::FromHandle(GetStockObject(WHITE_BRUSH)), nullptr);
}

TEST_F(Drawing, ArgumentsOutOfRangeAreRefused) {
    for (auto [w, h] : {std::pair{0, 10}, {10, -1}, {16385, 1}, {16384, 16384}}) {
        SetLastError(0);
        EXPECT_EQ(CreateImageDC(w, h), nullptr) << w << "x" << h;
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    }
    EXPECT_EQ(GetStockObject(9), nullptr);
    EXPECT_EQ(CreatePen(3, 1, 0), nullptr);

    HDC hdc = CreateImageDC(8, 8);
    const RECT huge{0, 0, kMaxCoordinate + 1, 8};
    EXPECT_EQ(FillRect(hdc, &huge, GetStockObject(WHITE_BRUSH)), 0);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(Ellipse(hdc, -kMaxCoordinate - 1, 0, 8, 8));
    const RECT r{0, 0, 8, 8};
    EXPECT_EQ(FillRect(hdc, &r, GetStockObject(BLACK_PEN)), 0) << "a pen is no brush";
    EXPECT_EQ(FillRect(hdc, &r, nullptr), 0);
    EXPECT_TRUE(DeleteDC(hdc));
}

TEST_F(Drawing, WrappersStandForTheirHandlesAndGoWithThem) {
    HGDIOBJ pen = GetStockObject(BLACK_PEN);
    EXPECT_EQ(CGdiObject::FromHandle(pen), CGdiObject::FromHandle(pen));
    EXPECT_EQ(CGdiObject::FromHandle(pen)->GetSafeHandle(), pen);
    EXPECT_NE(CPen::FromHandle(pen), nullptr);
    EXPECT_EQ(CBrush::FromHandle(pen), nullptr);
    EXPECT_EQ(CGdiObject::FromHandle(nullptr), nullptr);
    {
        CBrush brush(RGB(9, 9, 9));
        ASSERT_NE(brush.m_hObject, nullptr);
        EXPECT_EQ(CBrush::FromHandle(brush.m_hObject)->m_hObject, brush.m_hObject);
        EXPECT_EQ(platform::ui::LiveDrawingObjects(), 1);
    }
    EXPECT_EQ(platform::ui::LiveDrawingObjects(), 0) << "the brush deleted its object";
}

TEST_F(Drawing, APictureIsAPngOfTheContextsSize) {
    HDC hdc = CreateImageDC(300, 7);
    std::vector<unsigned char> png;
    ASSERT_TRUE(platform::ui::EncodeImagePng(hdc, png));
    DeleteDC(hdc);
    ASSERT_GT(png.size(), 24u);
    const unsigned char signature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    EXPECT_TRUE(std::equal(std::begin(signature), std::end(signature), png.begin()));
    const auto be32 = [&](std::size_t at) {
        return std::uint32_t(png[at]) << 24 | std::uint32_t(png[at + 1]) << 16 |
               std::uint32_t(png[at + 2]) << 8 | png[at + 3];
    };
    EXPECT_EQ(be32(16), 300u);
    EXPECT_EQ(be32(20), 7u);
}

TEST_F(Drawing, AFailingCallSetsTheCodeAndDrawsNothing) {
    const ImagePixels p = Drawn(8, 8, [](HDC hdc) {
        platform::seams::ScopedFault fault("Ellipse", ERROR_NOT_ENOUGH_MEMORY);
        EXPECT_FALSE(Ellipse(hdc, 0, 0, 8, 8));
        EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
    });
    for (std::uint32_t px : p.argb) EXPECT_EQ(px, 0u);
}

}  // namespace
}  // namespace ostrel::test
