#pragma once
// Device contexts and the objects they draw with. A device context here draws
// onto an image in memory: it keeps what it was asked to draw, and the
// painter of the Qt module turns that into pixels when someone asks for them,
// so that the platform library itself never links Qt. Handles are checked on
// every call; a stale or made-up one is refused with ERROR_INVALID_HANDLE.

#include <cstdint>
#include <vector>

#include "platform/win/WinTypes.h"

struct HDC__;
struct HGDIOBJ__;
using HDC = HDC__*;
using HGDIOBJ = HGDIOBJ__*;
using HBRUSH = HGDIOBJ;
using HPEN = HGDIOBJ;
using COLORREF = DWORD;  // 0x00BBGGRR

constexpr COLORREF RGB(BYTE r, BYTE g, BYTE b) {
    return COLORREF(r) | COLORREF(g) << 8 | COLORREF(b) << 16;
}
constexpr BYTE GetRValue(COLORREF c) {
    return BYTE(c & 0xFF);
}
constexpr BYTE GetGValue(COLORREF c) {
    return BYTE((c >> 8) & 0xFF);
}
constexpr BYTE GetBValue(COLORREF c) {
    return BYTE((c >> 16) & 0xFF);
}

struct RECT {
    LONG left;
    LONG top;
    LONG right;
    LONG bottom;
};
using LPRECT = RECT*;
using LPCRECT = const RECT*;
using RECTL = RECT;
using LPCRECTL = const RECTL*;

// Stock objects.
inline constexpr int WHITE_BRUSH = 0;
inline constexpr int LTGRAY_BRUSH = 1;
inline constexpr int GRAY_BRUSH = 2;
inline constexpr int DKGRAY_BRUSH = 3;
inline constexpr int BLACK_BRUSH = 4;
inline constexpr int NULL_BRUSH = 5;
inline constexpr int HOLLOW_BRUSH = NULL_BRUSH;
inline constexpr int WHITE_PEN = 6;
inline constexpr int BLACK_PEN = 7;
inline constexpr int NULL_PEN = 8;

// Pen styles.
inline constexpr int PS_SOLID = 0;
inline constexpr int PS_NULL = 5;

// Coordinates beyond this magnitude are refused, as the platform's drawing
// has always limited them; it keeps every width and height within an int.
inline constexpr LONG kMaxCoordinate = 1 << 27;

// The stock object, which lives as long as the process; null (and
// ERROR_INVALID_PARAMETER) for an index that names none.
HGDIOBJ GetStockObject(int i);
HBRUSH CreateSolidBrush(COLORREF color);
// PS_SOLID or PS_NULL, width 0 (meaning 1) to 1024.
HPEN CreatePen(int iStyle, int cWidth, COLORREF color);
// Deleting a stock object does nothing and succeeds.
BOOL DeleteObject(HGDIOBJ ho);
// Selects a pen or brush into the context and returns the one it replaces.
HGDIOBJ SelectObject(HDC hdc, HGDIOBJ h);
// Fills the rectangle (right and bottom edges excluded) with the brush,
// whatever is selected. Nonzero on success.
int FillRect(HDC hDC, const RECT* lprc, HBRUSH hbr);
// The ellipse inscribed in the rectangle, outlined with the selected pen and
// filled with the selected brush.
BOOL Ellipse(HDC hdc, int left, int top, int right, int bottom);
// Keeps the selected pen and brush on a stack; returns the new depth, 0 on
// failure.
int SaveDC(HDC hdc);
// Goes back to the state of that depth (negative: relative to the top).
BOOL RestoreDC(HDC hdc, int nSavedDC);
BOOL DeleteDC(HDC hdc);

namespace platform::ui {

// The largest image a context draws onto: each side at most 16384 pixels,
// 64 Mi pixels in all.
inline constexpr int kMaxImageSide = 16384;
inline constexpr std::int64_t kMaxImagePixels = std::int64_t(1) << 26;

// A context that draws onto a transparent image of that size, with the black
// pen and the white brush selected; null (ERROR_INVALID_PARAMETER) for a
// size out of range.
HDC CreateImageDC(int width, int height);

struct ImagePixels {
    int width = 0;
    int height = 0;
    std::vector<std::uint32_t> argb;  // 0xAARRGGBB, row by row from the top

    std::uint32_t At(int x, int y) const {
        return argb[std::size_t(y) * std::size_t(width) + std::size_t(x)];
    }
};

// What the context has drawn so far, as pixels or as a PNG file image. FALSE
// with ERROR_MOD_NOT_FOUND when the painter module cannot be loaded.
BOOL RenderImage(HDC hdc, ImagePixels& out);
BOOL EncodeImagePng(HDC hdc, std::vector<unsigned char>& png);

// Contexts and pens or brushes made and not yet deleted (stock ones not
// counted), for tests that prove nothing stays behind.
long LiveDeviceContexts();
long LiveDrawingObjects();

}  // namespace platform::ui

// ---------------------------------------------------------------------------
// The framework's classes over the handles.

class CRect : public RECT {
public:
    CRect() : RECT{0, 0, 0, 0} {}
    CRect(int l, int t, int r, int b) : RECT{l, t, r, b} {}
    CRect(const RECT& rc) : RECT(rc) {}
    int Width() const { return right - left; }
    int Height() const { return bottom - top; }
    operator LPRECT() { return this; }
    operator LPCRECT() const { return this; }
};

class CGdiObject {
public:
    CGdiObject() = default;
    // Deletes the object it holds.
    virtual ~CGdiObject();
    CGdiObject(const CGdiObject&) = delete;
    CGdiObject& operator=(const CGdiObject&) = delete;

    HGDIOBJ m_hObject = nullptr;

    HGDIOBJ GetSafeHandle() const { return m_hObject; }
    BOOL Attach(HGDIOBJ hObject);
    HGDIOBJ Detach();
    BOOL DeleteObject();

    // The object standing for a handle: one the handle keeps for as long as
    // it lives (never delete it); null for a null or dead handle.
    static CGdiObject* FromHandle(HGDIOBJ hObject);
};

class CPen : public CGdiObject {
public:
    CPen() = default;
    CPen(int nPenStyle, int nWidth, COLORREF crColor);
    BOOL CreatePen(int nPenStyle, int nWidth, COLORREF crColor);
    // Null also when the handle is not a pen's.
    static CPen* FromHandle(HPEN hPen);
};

class CBrush : public CGdiObject {
public:
    CBrush() = default;
    explicit CBrush(COLORREF crColor);
    BOOL CreateSolidBrush(COLORREF crColor);
    // Null also when the handle is not a brush's.
    static CBrush* FromHandle(HBRUSH hBrush);
};

class CDC {
public:
    CDC() = default;
    // Deletes the context it holds: detach one that is lent.
    virtual ~CDC();
    CDC(const CDC&) = delete;
    CDC& operator=(const CDC&) = delete;

    HDC m_hDC = nullptr;

    BOOL Attach(HDC hDC);
    HDC Detach();

    CGdiObject* SelectStockObject(int nIndex);
    CPen* SelectObject(CPen* pPen);
    CBrush* SelectObject(CBrush* pBrush);
    void FillRect(LPCRECT lpRect, CBrush* pBrush);
    BOOL Ellipse(int x1, int y1, int x2, int y2);
    BOOL Ellipse(LPCRECT lpRect);
    int SaveDC();
    BOOL RestoreDC(int nSavedDC);
};
