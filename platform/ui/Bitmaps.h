#pragma once
// The module's pictures, drawn in code and kept as BMP file images, at the
// sizes and colour depths the templates were laid out for.

#include <vector>

namespace platform::ui {

// 48 x 39 pixels, 16 colours: a certificate sheet with a seal.
std::vector<unsigned char> MakeLogoBitmap();
// 315 x 40 pixels, 24-bit: a banner with a key.
std::vector<unsigned char> MakeBannerBitmap();

}  // namespace platform::ui
