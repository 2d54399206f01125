#include "platform/ui/DeviceContext.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_set>

#include "platform/seams/Seams.h"
#include "platform/ui/PaintView.h"
#include "platform/ui/PainterLoader.h"
#include "platform/win/Failure.h"
#include "platform/win/LastError.h"
#include "platform/win/WinError.h"

using platform::ui::PaintBrush;
using platform::ui::PaintOp;
using platform::ui::PaintPen;

struct HGDIOBJ__ {
    enum class Kind { Pen, Brush };
    Kind kind = Kind::Brush;
    bool stock = false;
    PaintPen pen;
    PaintBrush brush;
    // What CGdiObject::FromHandle hands out; lives as long as the object.
    std::unique_ptr<CGdiObject> wrapper;
};

struct HDC__ {
    struct Selection {
        HGDIOBJ pen = nullptr;
        PaintPen penValue;
        HGDIOBJ brush = nullptr;
        PaintBrush brushValue;
    };
    int width = 0;
    int height = 0;
    // The values are kept with the handles, so that an object deleted while
    // selected leaves nothing dangling behind.
    Selection current;
    std::vector<Selection> saved;
    std::vector<PaintOp> ops;
};

namespace platform::ui {
namespace {

// More operations than any drawing needs; beyond it a context refuses to
// grow rather than eat the memory of its host.
constexpr std::size_t kMaxOps = std::size_t(1) << 20;
constexpr std::size_t kMaxSaved = 1024;

std::mutex g_mutex;

struct Registry {
    std::unordered_set<const HDC__*> contexts;
    std::unordered_set<const HGDIOBJ__*> objects;
    long madeObjects = 0;  // those not stock
    std::array<HGDIOBJ__*, 9> stock{};
};

Registry& Live() {
    // Never destroyed: stock objects outlive every static that may draw.
    static auto* registry = new Registry();
    return *registry;
}

std::uint32_t ToRgb(COLORREF c) {
    return std::uint32_t(GetRValue(c)) << 16 | std::uint32_t(GetGValue(c)) << 8 | GetBValue(c);
}

bool Fails(const char* function) {
    std::uint32_t code = 0;
    if (!seams::Injected(function, code)) return false;
    SetLastError(code);
    return true;
}

HDC__* CheckedDC(HDC hdc) {
    if (hdc != nullptr && Live().contexts.count(hdc) != 0) return hdc;
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
}

HGDIOBJ__* CheckedObject(HGDIOBJ h) {
    if (h != nullptr && Live().objects.count(h) != 0) return h;
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
}

HGDIOBJ__* StockLocked(int i) {
    auto& slot = Live().stock[std::size_t(i)];
    if (slot == nullptr) {
        auto* o = new HGDIOBJ__();
        o->stock = true;
        switch (i) {
            case WHITE_BRUSH:
                o->brush.rgb = 0xFFFFFF;
                break;
            case LTGRAY_BRUSH:
                o->brush.rgb = 0xC0C0C0;
                break;
            case GRAY_BRUSH:
                o->brush.rgb = 0x808080;
                break;
            case DKGRAY_BRUSH:
                o->brush.rgb = 0x404040;
                break;
            case BLACK_BRUSH:
                o->brush.rgb = 0x000000;
                break;
            case NULL_BRUSH:
                o->brush.hollow = true;
                break;
            case WHITE_PEN:
                o->kind = HGDIOBJ__::Kind::Pen;
                o->pen.rgb = 0xFFFFFF;
                break;
            case BLACK_PEN:
                o->kind = HGDIOBJ__::Kind::Pen;
                break;
            case NULL_PEN:
                o->kind = HGDIOBJ__::Kind::Pen;
                o->pen.none = true;
                break;
            default:
                break;
        }
        Live().objects.insert(o);
        slot = o;
    }
    return slot;
}

bool InRange(LONG v) {
    return v >= -kMaxCoordinate && v <= kMaxCoordinate;
}

BOOL Record(HDC__* dc, const PaintOp& op) {
    if (dc->ops.size() >= kMaxOps) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    dc->ops.push_back(op);
    return TRUE;
}

HGDIOBJ MakeObject(std::unique_ptr<HGDIOBJ__> object) {
    std::lock_guard lock(g_mutex);
    Live().objects.insert(object.get());
    ++Live().madeObjects;
    return object.release();
}

struct Snapshot {
    int width = 0;
    int height = 0;
    std::vector<PaintOp> ops;
};

bool TakeSnapshot(HDC hdc, Snapshot& out) {
    std::lock_guard lock(g_mutex);
    HDC__* dc = CheckedDC(hdc);
    if (dc == nullptr) return false;
    out.width = dc->width;
    out.height = dc->height;
    out.ops = dc->ops;
    return true;
}

Painter* PainterOrFail() {
    std::string why;
    Painter* painter = LoadPainter(&why);
    if (painter == nullptr) SetLastError(ERROR_MOD_NOT_FOUND);
    return painter;
}

}  // namespace

HDC CreateImageDC(int width, int height) {
    if (Fails("CreateImageDC")) return nullptr;
    if (width <= 0 || height <= 0 || width > kMaxImageSide || height > kMaxImageSide ||
        std::int64_t(width) * height > kMaxImagePixels) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto dc = std::make_unique<HDC__>();
    dc->width = width;
    dc->height = height;
    std::lock_guard lock(g_mutex);
    HGDIOBJ__* pen = StockLocked(BLACK_PEN);
    HGDIOBJ__* brush = StockLocked(WHITE_BRUSH);
    dc->current = {pen, pen->pen, brush, brush->brush};
    Live().contexts.insert(dc.get());
    return dc.release();
}

BOOL RenderImage(HDC hdc, ImagePixels& out) {
    if (Fails("RenderImage")) return FALSE;
    Snapshot snap;
    if (!TakeSnapshot(hdc, snap)) return FALSE;
    Painter* painter = PainterOrFail();
    if (painter == nullptr) return FALSE;
    std::vector<std::uint32_t> argb;
    if (!painter->Render(snap.width, snap.height, snap.ops, argb) ||
        argb.size() != std::size_t(snap.width) * std::size_t(snap.height)) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    out.width = snap.width;
    out.height = snap.height;
    out.argb = std::move(argb);
    return TRUE;
}

BOOL EncodeImagePng(HDC hdc, std::vector<unsigned char>& png) {
    if (Fails("EncodeImagePng")) return FALSE;
    ImagePixels pixels;
    if (!RenderImage(hdc, pixels)) return FALSE;
    Painter* painter = PainterOrFail();
    if (painter == nullptr) return FALSE;
    std::vector<unsigned char> bytes;
    if (!painter->EncodePng(pixels.width, pixels.height, pixels.argb, bytes) || bytes.empty()) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    png = std::move(bytes);
    return TRUE;
}

long LiveDeviceContexts() {
    std::lock_guard lock(g_mutex);
    return static_cast<long>(Live().contexts.size());
}

long LiveDrawingObjects() {
    std::lock_guard lock(g_mutex);
    return Live().madeObjects;
}

}  // namespace platform::ui

using namespace platform::ui;

HGDIOBJ GetStockObject(int i) {
    return platform::GuardedCall("GetStockObject", "", [&]() -> HGDIOBJ {
        if (i < WHITE_BRUSH || i > NULL_PEN) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
        std::lock_guard lock(g_mutex);
        return StockLocked(i);
    });
}

HBRUSH CreateSolidBrush(COLORREF color) {
    return platform::GuardedCall("CreateSolidBrush", "", [&]() -> HBRUSH {
        auto o = std::make_unique<HGDIOBJ__>();
        o->kind = HGDIOBJ__::Kind::Brush;
        o->brush.rgb = ToRgb(color);
        return MakeObject(std::move(o));
    });
}

HPEN CreatePen(int iStyle, int cWidth, COLORREF color) {
    return platform::GuardedCall("CreatePen", "", [&]() -> HPEN {
        if ((iStyle != PS_SOLID && iStyle != PS_NULL) || cWidth < 0 || cWidth > 1024) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
        auto o = std::make_unique<HGDIOBJ__>();
        o->kind = HGDIOBJ__::Kind::Pen;
        o->pen.none = iStyle == PS_NULL;
        o->pen.width = cWidth == 0 ? 1 : cWidth;
        o->pen.rgb = ToRgb(color);
        return MakeObject(std::move(o));
    });
}

BOOL DeleteObject(HGDIOBJ ho) {
    return platform::GuardedCall("DeleteObject", "", [&]() -> BOOL {
        std::unique_ptr<HGDIOBJ__> doomed;
        {
            std::lock_guard lock(g_mutex);
            HGDIOBJ__* o = CheckedObject(ho);
            if (o == nullptr) return FALSE;
            if (o->stock) return TRUE;
            Live().objects.erase(o);
            --Live().madeObjects;
            doomed.reset(o);
        }
        // The wrapper must not delete the handle once more on its way out.
        if (doomed->wrapper) doomed->wrapper->m_hObject = nullptr;
        return TRUE;
    });
}

HGDIOBJ SelectObject(HDC hdc, HGDIOBJ h) {
    return platform::GuardedCall("SelectObject", "", [&]() -> HGDIOBJ {
        std::lock_guard lock(g_mutex);
        HDC__* dc = CheckedDC(hdc);
        HGDIOBJ__* o = dc == nullptr ? nullptr : CheckedObject(h);
        if (o == nullptr) return nullptr;
        HGDIOBJ previous = nullptr;
        if (o->kind == HGDIOBJ__::Kind::Pen) {
            previous = dc->current.pen;
            dc->current.pen = o;
            dc->current.penValue = o->pen;
        } else {
            previous = dc->current.brush;
            dc->current.brush = o;
            dc->current.brushValue = o->brush;
        }
        return previous;
    });
}

int FillRect(HDC hDC, const RECT* lprc, HBRUSH hbr) {
    return platform::GuardedCall("FillRect", "", [&]() -> int {
        std::lock_guard lock(g_mutex);
        HDC__* dc = CheckedDC(hDC);
        if (dc == nullptr) return 0;
        HGDIOBJ__* brush = CheckedObject(hbr);
        if (brush == nullptr) return 0;
        if (lprc == nullptr || brush->kind != HGDIOBJ__::Kind::Brush || !InRange(lprc->left) ||
            !InRange(lprc->top) || !InRange(lprc->right) || !InRange(lprc->bottom)) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        // An empty rectangle or a hollow brush paints nothing, successfully.
        if (lprc->right <= lprc->left || lprc->bottom <= lprc->top || brush->brush.hollow) return 1;
        PaintOp op;
        op.kind = PaintKind::FillRect;
        op.left = lprc->left;
        op.top = lprc->top;
        op.right = lprc->right;
        op.bottom = lprc->bottom;
        op.brush = brush->brush;
        op.pen.none = true;
        return Record(dc, op);
    });
}

BOOL Ellipse(HDC hdc, int left, int top, int right, int bottom) {
    return platform::GuardedCall("Ellipse", "", [&]() -> BOOL {
        std::lock_guard lock(g_mutex);
        HDC__* dc = CheckedDC(hdc);
        if (dc == nullptr) return FALSE;
        if (!InRange(left) || !InRange(top) || !InRange(right) || !InRange(bottom)) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        PaintOp op;
        op.kind = PaintKind::Ellipse;
        op.left = std::min(left, right);
        op.right = std::max(left, right);
        op.top = std::min(top, bottom);
        op.bottom = std::max(top, bottom);
        op.pen = dc->current.penValue;
        op.brush = dc->current.brushValue;
        if (op.right - op.left < 2 || op.bottom - op.top < 2) return TRUE;
        return Record(dc, op);
    });
}

int SaveDC(HDC hdc) {
    return platform::GuardedCall("SaveDC", "", [&]() -> int {
        std::lock_guard lock(g_mutex);
        HDC__* dc = CheckedDC(hdc);
        if (dc == nullptr) return 0;
        if (dc->saved.size() >= kMaxSaved) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return 0;
        }
        dc->saved.push_back(dc->current);
        return static_cast<int>(dc->saved.size());
    });
}

BOOL RestoreDC(HDC hdc, int nSavedDC) {
    return platform::GuardedCall("RestoreDC", "", [&]() -> BOOL {
        std::lock_guard lock(g_mutex);
        HDC__* dc = CheckedDC(hdc);
        if (dc == nullptr) return FALSE;
        const int depth = static_cast<int>(dc->saved.size());
        const int target = nSavedDC < 0 ? depth + nSavedDC + 1 : nSavedDC;
        if (nSavedDC == 0 || target < 1 || target > depth) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        dc->current = dc->saved[std::size_t(target - 1)];
        dc->saved.resize(std::size_t(target - 1));
        return TRUE;
    });
}

BOOL DeleteDC(HDC hdc) {
    return platform::GuardedCall("DeleteDC", "", [&]() -> BOOL {
        std::unique_ptr<HDC__> doomed;
        std::lock_guard lock(g_mutex);
        HDC__* dc = CheckedDC(hdc);
        if (dc == nullptr) return FALSE;
        Live().contexts.erase(dc);
        doomed.reset(dc);
        return TRUE;
    });
}

// ---------------------------------------------------------------------------

CGdiObject::~CGdiObject() {
    DeleteObject();
}

BOOL CGdiObject::Attach(HGDIOBJ hObject) {
    if (hObject == nullptr || m_hObject != nullptr) return FALSE;
    m_hObject = hObject;
    return TRUE;
}

HGDIOBJ CGdiObject::Detach() {
    HGDIOBJ h = m_hObject;
    m_hObject = nullptr;
    return h;
}

BOOL CGdiObject::DeleteObject() {
    if (m_hObject == nullptr) return FALSE;
    return ::DeleteObject(Detach());
}

CGdiObject* CGdiObject::FromHandle(HGDIOBJ hObject) {
    std::lock_guard lock(g_mutex);
    if (hObject == nullptr || Live().objects.count(hObject) == 0) return nullptr;
    if (!hObject->wrapper) {
        if (hObject->kind == HGDIOBJ__::Kind::Pen)
            hObject->wrapper = std::make_unique<CPen>();
        else
            hObject->wrapper = std::make_unique<CBrush>();
        hObject->wrapper->m_hObject = hObject;
    }
    return hObject->wrapper.get();
}

CPen::CPen(int nPenStyle, int nWidth, COLORREF crColor) {
    CreatePen(nPenStyle, nWidth, crColor);
}

BOOL CPen::CreatePen(int nPenStyle, int nWidth, COLORREF crColor) {
    return Attach(::CreatePen(nPenStyle, nWidth, crColor));
}

CPen* CPen::FromHandle(HPEN hPen) {
    CGdiObject* o = CGdiObject::FromHandle(hPen);
    return o != nullptr && hPen->kind == HGDIOBJ__::Kind::Pen ? static_cast<CPen*>(o) : nullptr;
}

CBrush::CBrush(COLORREF crColor) {
    CreateSolidBrush(crColor);
}

BOOL CBrush::CreateSolidBrush(COLORREF crColor) {
    return Attach(::CreateSolidBrush(crColor));
}

CBrush* CBrush::FromHandle(HBRUSH hBrush) {
    CGdiObject* o = CGdiObject::FromHandle(hBrush);
    return o != nullptr && hBrush->kind == HGDIOBJ__::Kind::Brush ? static_cast<CBrush*>(o)
                                                                  : nullptr;
}

CDC::~CDC() {
    if (m_hDC != nullptr) ::DeleteDC(Detach());
}

BOOL CDC::Attach(HDC hDC) {
    if (hDC == nullptr || m_hDC != nullptr) return FALSE;
    m_hDC = hDC;
    return TRUE;
}

HDC CDC::Detach() {
    HDC h = m_hDC;
    m_hDC = nullptr;
    return h;
}

CGdiObject* CDC::SelectStockObject(int nIndex) {
    HGDIOBJ stock = ::GetStockObject(nIndex);
    return stock == nullptr ? nullptr : CGdiObject::FromHandle(::SelectObject(m_hDC, stock));
}

CPen* CDC::SelectObject(CPen* pPen) {
    if (pPen == nullptr) return nullptr;
    return CPen::FromHandle(::SelectObject(m_hDC, pPen->m_hObject));
}

CBrush* CDC::SelectObject(CBrush* pBrush) {
    if (pBrush == nullptr) return nullptr;
    return CBrush::FromHandle(::SelectObject(m_hDC, pBrush->m_hObject));
}

void CDC::FillRect(LPCRECT lpRect, CBrush* pBrush) {
    ::FillRect(m_hDC, lpRect, pBrush == nullptr ? nullptr : pBrush->m_hObject);
}

BOOL CDC::Ellipse(int x1, int y1, int x2, int y2) {
    return ::Ellipse(m_hDC, x1, y1, x2, y2);
}

BOOL CDC::Ellipse(LPCRECT lpRect) {
    if (lpRect == nullptr) return FALSE;
    return ::Ellipse(m_hDC, lpRect->left, lpRect->top, lpRect->right, lpRect->bottom);
}

int CDC::SaveDC() {
    return ::SaveDC(m_hDC);
}

BOOL CDC::RestoreDC(int nSavedDC) {
    return ::RestoreDC(m_hDC, nSavedDC);
}
