#pragma once
// The picture a control hands out as data: its extent, in hundredths of a
// millimetre, made into pixels at 96 dots per inch, the resolution hosts of
// this platform lay controls out at.

#include <cstdint>

#include "platform/win/WinTypes.h"

namespace platform::ctl {

inline constexpr std::int64_t kPictureDotsPerInch = 96;
inline constexpr std::int64_t kHimetricPerInch = 2540;

// The pixels of a length, rounded to nearest; the length is not negative.
constexpr std::int64_t PixelsFromHimetric(std::int64_t himetric) {
    return (himetric * kPictureDotsPerInch + kHimetricPerInch / 2) / kHimetricPerInch;
}

// The length, rounded to nearest, whose picture is exactly `pixels` wide: a
// host that wants a picture of a given size sets this extent. One pixel is
// over 26 hundredths of a millimetre, so rounding either way lands on it.
constexpr LONG HimetricFromPixels(int pixels) {
    return LONG((std::int64_t(pixels) * kHimetricPerInch + kPictureDotsPerInch / 2) /
                kPictureDotsPerInch);
}

// The pixel size of the picture of an extent; false when the extent makes no
// picture a device context can hold (nothing to draw, or too large).
bool PictureSize(LONG cx, LONG cy, int& width, int& height);

}  // namespace platform::ctl
