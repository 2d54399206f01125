#pragma once
// The module's resources: dialog templates and bitmaps, found by identifier.

#include <vector>

#include "platform/ui/DialogTemplate.h"

namespace platform::ui {

// The template with this identifier, or null.
const DialogTemplate* FindDialogTemplate(int id);

// The bitmap with this identifier as a BMP file image, or null.
const std::vector<unsigned char>* FindBitmap(int id);

struct BitmapHeader {
    int width;
    int height;
    int bitsPerPixel;
    int paletteSize;
};
// Reads the header of a BMP file image; nothing when it is not one.
std::optional<BitmapHeader> ReadBitmapHeader(std::span<const unsigned char> image);

}  // namespace platform::ui
