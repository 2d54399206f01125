#pragma once
// The module's pictures, drawn in code as BMP file images, at the sizes and
// colour depths the templates were laid out for. The build writes them into
// the module's resources.

#include <vector>

namespace ostrel::resources {

// 48 x 39 pixels, 16 colours: a certificate sheet with a seal.
std::vector<unsigned char> MakeLogoBitmap();
// 315 x 40 pixels, 24-bit: a banner with a key.
std::vector<unsigned char> MakeBannerBitmap();
// The control's toolbox picture, which a host shows in its palette of
// controls: 16 x 15 pixels, 16 colours.
std::vector<unsigned char> MakeToolboxBitmap();

}  // namespace ostrel::resources
