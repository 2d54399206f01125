#pragma once
// The current module's resources: dialog templates and bitmaps, found by
// identifier in the resource section of the module (AfxGetResourceHandle).
// What is read is kept for the life of the process, so a pointer handed out
// stays good.

#include <vector>

#include "platform/ui/DialogTemplate.h"

namespace platform::ui {

// The template with this identifier, or null when the module has none or
// only a damaged one (see ReadDialogResource).
const DialogTemplate* FindDialogTemplate(int id);

// The bitmap with this identifier as a BMP file image, or null when the
// module has none or only a damaged one.
const std::vector<unsigned char>* FindBitmap(int id);

// A bitmap resource (a BMP file image without its 14-byte file header) as a
// BMP file image; nothing when its header does not fit its bytes.
std::optional<std::vector<unsigned char>> BitmapFileImage(std::span<const unsigned char> resource);

struct BitmapHeader {
    int width;
    int height;
    int bitsPerPixel;
    int paletteSize;
};
// Reads the header of a BMP file image; nothing when it is not one.
std::optional<BitmapHeader> ReadBitmapHeader(std::span<const unsigned char> image);

}  // namespace platform::ui
