#pragma once
// The control's toolbox picture, which a host shows in its palette of
// controls.

#include <vector>

namespace platform::ui {

// 16 x 15 pixels, 16 colours, as a BMP file image.
std::vector<unsigned char> MakeToolboxBitmap();

}  // namespace platform::ui
