// The painter of the Qt module: turns the operations a device context kept
// into pixels with QPainter, and pixels into PNG. It paints onto images only,
// so it needs neither a display nor the application object, and no exception
// leaves it.

#include <QBuffer>
#include <QByteArray>
#include <QColor>
#include <QImage>
#include <QPainter>
#include <QPen>
#include <cstring>

#include "platform/ui/PaintView.h"

namespace {

using namespace platform::ui;

QColor Colour(std::uint32_t rgb) {
    return QColor(int((rgb >> 16) & 0xFF), int((rgb >> 8) & 0xFF), int(rgb & 0xFF));
}

void Draw(QPainter& painter, const PaintOp& op) {
    const int width = op.right - op.left;
    const int height = op.bottom - op.top;
    switch (op.kind) {
        case PaintKind::FillRect:
            if (!op.brush.hollow && width > 0 && height > 0)
                painter.fillRect(QRect(op.left, op.top, width, height), Colour(op.brush.rgb));
            break;
        case PaintKind::Ellipse: {
            if (width < 2 || height < 2) break;
            if (op.pen.none) {
                painter.setPen(Qt::NoPen);
            } else {
                QPen pen(Colour(op.pen.rgb));
                pen.setWidth(op.pen.width);
                painter.setPen(pen);
            }
            painter.setBrush(op.brush.hollow ? QBrush(Qt::NoBrush) : QBrush(Colour(op.brush.rgb)));
            // The outline of a one-pixel pen covers the rectangle's pixels
            // from left to right - 1: the right and bottom edges stay out, as
            // the platform's figures have them.
            painter.drawEllipse(QRect(op.left, op.top, width - 1, height - 1));
            break;
        }
    }
}

class QtPainter final : public Painter {
public:
    bool Render(int width, int height, const std::vector<PaintOp>& ops,
                std::vector<std::uint32_t>& argb) noexcept override {
        try {
            QImage image(width, height, QImage::Format_ARGB32);
            if (image.isNull()) return false;
            image.fill(Qt::transparent);
            {
                QPainter painter(&image);
                painter.setRenderHint(QPainter::Antialiasing, false);
                for (const PaintOp& op : ops) Draw(painter, op);
            }
            argb.assign(std::size_t(width) * std::size_t(height), 0);
            for (int y = 0; y < height; ++y)
                std::memcpy(argb.data() + std::size_t(y) * std::size_t(width),
                            image.constScanLine(y), std::size_t(width) * sizeof(std::uint32_t));
            return true;
        } catch (...) {
            return false;
        }
    }

    bool EncodePng(int width, int height, const std::vector<std::uint32_t>& argb,
                   std::vector<unsigned char>& png) noexcept override {
        try {
            if (width <= 0 || height <= 0 ||
                argb.size() != std::size_t(width) * std::size_t(height))
                return false;
            const QImage image(reinterpret_cast<const uchar*>(argb.data()), width, height,
                               qsizetype(width) * 4, QImage::Format_ARGB32);
            QByteArray bytes;
            QBuffer buffer(&bytes);
            if (!buffer.open(QIODevice::WriteOnly) || !image.save(&buffer, "PNG")) return false;
            png.assign(bytes.begin(), bytes.end());
            return true;
        } catch (...) {
            return false;
        }
    }
};

}  // namespace

extern "C" __attribute__((visibility("default"))) platform::ui::Painter* ostrel_ui_painter(
    int version) {
    if (version != platform::ui::kPaintViewVersion) return nullptr;
    static QtPainter painter;
    return &painter;
}
