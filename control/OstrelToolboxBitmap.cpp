#include "control/OstrelBitmaps.h"

#include <array>
#include <cstdint>
#include <string_view>

namespace ostrel::resources {
namespace {

constexpr int kWidth = 16;
constexpr int kHeight = 15;

// The picture, one row per line from the top, one hexadecimal digit per pixel
// naming a colour of the standard 16-colour palette: a sheet with a folded
// corner, lines of text and a red seal, on the grey (7) of a toolbox.
constexpr std::array<std::string_view, 15> kRows = {
    "7777777777777777", "7788888888877777", "778FFFFFFF8F8777", "778FFFFFFF8FF877",
    "778F4444FF888887", "778FFFFFFFFFFF87", "778F888888FFFF87", "778FFFFFFFFFFF87",
    "778F8888FF111F87", "778FFFFFF19991F7", "778F8888F19B91F7", "778FFFFFF19991F7",
    "7788888888111887", "7777777771991777", "7777777777777777",
};

constexpr std::array<std::uint32_t, 16> kPalette = {
    0x000000, 0x800000, 0x008000, 0x808000, 0x000080, 0x800080, 0x008080, 0xC0C0C0,
    0x808080, 0xFF0000, 0x00FF00, 0xFFFF00, 0x0000FF, 0xFF00FF, 0x00FFFF, 0xFFFFFF,
};

consteval bool RowsFit() {
    for (std::string_view row : kRows)
        if (row.size() != kWidth) return false;
    return true;
}
static_assert(RowsFit(), "every row of the picture is 16 pixels wide");

int PixelAt(int x, int y) {
    const char c = kRows[std::size_t(y)][std::size_t(x)];
    return c >= '0' && c <= '9' ? c - '0' : c - 'A' + 10;
}

void Put16(std::vector<unsigned char>& out, std::uint32_t v) {
    out.push_back(static_cast<unsigned char>(v & 0xFF));
    out.push_back(static_cast<unsigned char>((v >> 8) & 0xFF));
}

void Put32(std::vector<unsigned char>& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<unsigned char>((v >> (8 * i)) & 0xFF));
}

}  // namespace

std::vector<unsigned char> MakeToolboxBitmap() {
    constexpr std::uint32_t rowBytes = ((kWidth * 4 + 31) / 32) * 4;
    constexpr std::uint32_t offset = 14 + 40 + 4 * 16;
    constexpr std::uint32_t imageSize = rowBytes * kHeight;
    std::vector<unsigned char> out;
    out.reserve(offset + imageSize);
    out.push_back('B');
    out.push_back('M');
    Put32(out, offset + imageSize);
    Put32(out, 0);
    Put32(out, offset);
    Put32(out, 40);
    Put32(out, kWidth);
    Put32(out, kHeight);
    Put16(out, 1);
    Put16(out, 4);
    Put32(out, 0);
    Put32(out, imageSize);
    Put32(out, 2835);
    Put32(out, 2835);
    Put32(out, 16);
    Put32(out, 0);
    for (std::uint32_t rgb : kPalette) {
        out.push_back(static_cast<unsigned char>(rgb & 0xFF));
        out.push_back(static_cast<unsigned char>((rgb >> 8) & 0xFF));
        out.push_back(static_cast<unsigned char>((rgb >> 16) & 0xFF));
        out.push_back(0);
    }
    // Bottom row first.
    for (int y = kHeight - 1; y >= 0; --y) {
        std::array<unsigned char, rowBytes> row{};
        for (int x = 0; x < kWidth; ++x)
            row[std::size_t(x / 2)] |=
                static_cast<unsigned char>(x % 2 == 0 ? PixelAt(x, y) << 4 : PixelAt(x, y));
        out.insert(out.end(), row.begin(), row.end());
    }
    return out;
}

}  // namespace ostrel::resources
