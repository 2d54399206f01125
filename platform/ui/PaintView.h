#pragma once
// Drawing as the painter of the Qt module sees it: a list of operations with
// the pen and brush each one uses, turned into pixels by the module. Like
// DialogView.h this header stays free of the framework and of Qt, because
// the module opened on demand sees nothing else.

#include <cstdint>
#include <vector>

namespace platform::ui {

// Raised whenever this interface changes, so that a module built from other
// sources is refused rather than misread.
inline constexpr int kPaintViewVersion = 1;

// Colours are 0x00RRGGBB.
struct PaintBrush {
    bool hollow = false;  // draws nothing
    std::uint32_t rgb = 0;
};

struct PaintPen {
    bool none = false;  // draws nothing
    int width = 1;
    std::uint32_t rgb = 0;
};

enum class PaintKind {
    FillRect,  // the rectangle with the brush, no outline
    Ellipse,   // inscribed in the rectangle: outline with the pen, inside with the brush
};

// Rectangles exclude their right and bottom edges: a rectangle from 0 to 10
// covers pixels 0 to 9.
struct PaintOp {
    PaintKind kind = PaintKind::FillRect;
    int left = 0;
    int top = 0;
    int right = 0;
    int bottom = 0;
    PaintBrush brush;
    PaintPen pen;
};

class Painter {
public:
    virtual ~Painter() = default;
    // Draws the operations in order onto a transparent image; `argb` gets the
    // pixels as 0xAARRGGBB, row by row from the top. False when it cannot.
    virtual bool Render(int width, int height, const std::vector<PaintOp>& ops,
                        std::vector<std::uint32_t>& argb) noexcept = 0;
    // A PNG file image of such pixels. False when it cannot make one.
    virtual bool EncodePng(int width, int height, const std::vector<std::uint32_t>& argb,
                           std::vector<unsigned char>& png) noexcept = 0;
};

}  // namespace platform::ui

// The painter entry point of the module: its painter, or null when its
// interface version differs from `version`.
using OstrelUiPainterEntry = platform::ui::Painter* (*)(int version);
inline constexpr char kOstrelUiPainterEntry[] = "ostrel_ui_painter";
