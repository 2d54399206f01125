#include "control/OstrelBitmaps.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <string_view>

namespace ostrel::resources {
namespace {

struct Rgb {
    std::uint8_t r, g, b;
    bool operator==(const Rgb&) const = default;
};

// The standard 16-colour palette, so the logo looks the same wherever a
// 16-colour picture is shown.
constexpr std::array<Rgb, 16> kPalette16 = {{
    {0, 0, 0},
    {128, 0, 0},
    {0, 128, 0},
    {128, 128, 0},
    {0, 0, 128},
    {128, 0, 128},
    {0, 128, 128},
    {192, 192, 192},
    {128, 128, 128},
    {255, 0, 0},
    {0, 255, 0},
    {255, 255, 0},
    {0, 0, 255},
    {255, 0, 255},
    {0, 255, 255},
    {255, 255, 255},
}};

constexpr Rgb kBlack = kPalette16[0];
constexpr Rgb kMaroon = kPalette16[1];
constexpr Rgb kNavy = kPalette16[4];
constexpr Rgb kSilver = kPalette16[7];
constexpr Rgb kGray = kPalette16[8];
constexpr Rgb kRed = kPalette16[9];
constexpr Rgb kYellow = kPalette16[11];
constexpr Rgb kWhite = kPalette16[15];

// The picture, one row per line from the top, one hexadecimal digit per pixel
// naming a colour of the standard 16-colour palette: a sheet with a folded
// corner, lines of text and a red seal, on the grey (7) of a toolbox.
constexpr std::array<std::string_view, 15> kToolboxRows = {
    "7777777777777777", "7788888888877777", "778FFFFFFF8F8777", "778FFFFFFF8FF877",
    "778F4444FF888887", "778FFFFFFFFFFF87", "778F888888FFFF87", "778FFFFFFFFFFF87",
    "778F8888FF111F87", "778FFFFFF19991F7", "778F8888F19B91F7", "778FFFFFF19991F7",
    "7788888888111887", "7777777771991777", "7777777777777777",
};

consteval bool ToolboxRowsFit() {
    for (std::string_view row : kToolboxRows)
        if (row.size() != 16) return false;
    return true;
}
static_assert(ToolboxRowsFit(), "every row of the toolbox picture is 16 pixels wide");

class Canvas {
public:
    Canvas(int width, int height, Rgb fill)
        : m_width(width), m_height(height), m_pixels(std::size_t(width * height), fill) {}

    int Width() const { return m_width; }
    int Height() const { return m_height; }
    Rgb At(int x, int y) const { return m_pixels[std::size_t(y * m_width + x)]; }

    void Set(int x, int y, Rgb c) {
        if (x >= 0 && y >= 0 && x < m_width && y < m_height)
            m_pixels[std::size_t(y * m_width + x)] = c;
    }
    void FillRect(int x0, int y0, int x1, int y1, Rgb c) {
        for (int y = y0; y < y1; ++y)
            for (int x = x0; x < x1; ++x) Set(x, y, c);
    }
    void Frame(int x0, int y0, int x1, int y1, Rgb c) {
        FillRect(x0, y0, x1, y0 + 1, c);
        FillRect(x0, y1 - 1, x1, y1, c);
        FillRect(x0, y0, x0 + 1, y1, c);
        FillRect(x1 - 1, y0, x1, y1, c);
    }
    void Disc(int cx, int cy, int radius, Rgb c) {
        for (int y = cy - radius; y <= cy + radius; ++y)
            for (int x = cx - radius; x <= cx + radius; ++x)
                if ((x - cx) * (x - cx) + (y - cy) * (y - cy) <= radius * radius) Set(x, y, c);
    }
    // A slanted band, one pixel row at a time: a ribbon end.
    void Band(int x, int y, int width, int length, int slant, Rgb c) {
        for (int i = 0; i < length; ++i)
            FillRect(x + i * slant / length, y + i, x + i * slant / length + width, y + i + 1, c);
    }

private:
    int m_width;
    int m_height;
    std::vector<Rgb> m_pixels;
};

void Put16(std::vector<unsigned char>& out, std::uint16_t v) {
    out.push_back(static_cast<unsigned char>(v & 0xFF));
    out.push_back(static_cast<unsigned char>(v >> 8));
}
void Put32(std::vector<unsigned char>& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<unsigned char>((v >> (8 * i)) & 0xFF));
}

int PaletteIndex(Rgb c) {
    const auto it = std::find(kPalette16.begin(), kPalette16.end(), c);
    return it == kPalette16.end() ? 0 : static_cast<int>(it - kPalette16.begin());
}

// A bottom-up BMP file image of 4 or 24 bits per pixel.
std::vector<unsigned char> ToBmp(const Canvas& canvas, int bitsPerPixel) {
    const int w = canvas.Width();
    const int h = canvas.Height();
    const int rowBytes = ((w * bitsPerPixel + 31) / 32) * 4;
    const int paletteEntries = bitsPerPixel == 4 ? 16 : 0;
    const std::uint32_t offset = 14 + 40 + 4 * std::uint32_t(paletteEntries);
    const std::uint32_t imageSize = std::uint32_t(rowBytes * h);

    std::vector<unsigned char> out;
    out.reserve(offset + imageSize);
    out.push_back('B');
    out.push_back('M');
    Put32(out, offset + imageSize);
    Put32(out, 0);
    Put32(out, offset);
    Put32(out, 40);
    Put32(out, std::uint32_t(w));
    Put32(out, std::uint32_t(h));
    Put16(out, 1);
    Put16(out, std::uint16_t(bitsPerPixel));
    Put32(out, 0);  // no compression
    Put32(out, imageSize);
    Put32(out, 2835);  // 72 dots per inch
    Put32(out, 2835);
    Put32(out, std::uint32_t(paletteEntries));
    Put32(out, 0);
    for (int i = 0; i < paletteEntries; ++i) {
        out.push_back(kPalette16[std::size_t(i)].b);
        out.push_back(kPalette16[std::size_t(i)].g);
        out.push_back(kPalette16[std::size_t(i)].r);
        out.push_back(0);
    }
    for (int y = h - 1; y >= 0; --y) {
        std::vector<unsigned char> row(std::size_t(rowBytes), 0);
        for (int x = 0; x < w; ++x) {
            const Rgb c = canvas.At(x, y);
            if (bitsPerPixel == 4) {
                const int idx = PaletteIndex(c);
                row[std::size_t(x / 2)] |= static_cast<unsigned char>(x % 2 == 0 ? idx << 4 : idx);
            } else {
                row[std::size_t(3 * x)] = c.b;
                row[std::size_t(3 * x + 1)] = c.g;
                row[std::size_t(3 * x + 2)] = c.r;
            }
        }
        out.insert(out.end(), row.begin(), row.end());
    }
    return out;
}

}  // namespace

std::vector<unsigned char> MakeLogoBitmap() {
    Canvas c(48, 39, kSilver);
    // The sheet, with a folded corner and lines of text.
    c.FillRect(5, 2, 36, 34, kWhite);
    c.Frame(5, 2, 36, 34, kGray);
    c.FillRect(6, 34, 37, 35, kBlack);
    c.FillRect(36, 3, 37, 35, kBlack);
    c.FillRect(10, 6, 31, 8, kNavy);
    for (int y = 11; y <= 23; y += 4) c.FillRect(9, y, y == 23 ? 22 : 32, y + 1, kGray);
    // The seal: ribbon ends first, then the disc over them.
    c.Band(31, 31, 4, 8, -4, kMaroon);
    c.Band(38, 31, 4, 8, 4, kMaroon);
    c.Disc(36, 27, 8, kMaroon);
    c.Disc(36, 27, 7, kRed);
    c.Disc(36, 27, 4, kYellow);
    c.Disc(36, 27, 2, kRed);
    return ToBmp(c, 4);
}

std::vector<unsigned char> MakeBannerBitmap() {
    constexpr int w = 315, h = 40;
    Canvas c(w, h, kBlack);
    for (int x = 0; x < w; ++x) {
        // Deep blue to teal from left to right.
        const auto t = double(x) / (w - 1);
        const Rgb col{std::uint8_t(10 + 20 * t), std::uint8_t(40 + 90 * t),
                      std::uint8_t(110 + 30 * t)};
        c.FillRect(x, 0, x + 1, h, col);
    }
    const Rgb gold{230, 190, 60};
    // A key: bow, shaft, bit.
    c.Disc(24, 20, 11, gold);
    c.Disc(24, 20, 5, {20, 60, 120});
    c.FillRect(34, 17, 92, 23, gold);
    c.FillRect(72, 23, 77, 31, gold);
    c.FillRect(82, 23, 87, 29, gold);
    // Rules to the right, thinning out, where a title would stand.
    for (int i = 0; i < 4; ++i)
        c.FillRect(110, 9 + 7 * i, 300 - 40 * i, 11 + 7 * i, {200, 220, 235});
    return ToBmp(c, 24);
}

std::vector<unsigned char> MakeToolboxBitmap() {
    Canvas c(16, 15, kSilver);
    for (int y = 0; y < c.Height(); ++y)
        for (int x = 0; x < c.Width(); ++x) {
            const char digit = kToolboxRows[std::size_t(y)][std::size_t(x)];
            const int index = digit >= '0' && digit <= '9' ? digit - '0' : digit - 'A' + 10;
            c.Set(x, y, kPalette16[std::size_t(index)]);
        }
    return ToBmp(c, 4);
}

}  // namespace ostrel::resources
