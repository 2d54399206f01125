#include "platform/ctl/DataObject.h"

#include "platform/ctl/OleInterfaces.h"
#include "platform/ui/DeviceContext.h"

void ReleaseStgMedium(LPSTGMEDIUM pmedium) {
    if (pmedium == nullptr) return;
    // Emptied first: a release that comes back here finds nothing to free twice.
    const STGMEDIUM medium = *pmedium;
    *pmedium = {TYMED_NULL, nullptr, nullptr};
    if (medium.pstm != nullptr) medium.pstm->Release();
    if (medium.pUnkForRelease != nullptr) medium.pUnkForRelease->Release();
}

namespace platform::ctl {

bool PictureSize(LONG cx, LONG cy, int& width, int& height) {
    if (cx <= 0 || cy <= 0) return false;
    const std::int64_t w = PixelsFromHimetric(cx);
    const std::int64_t h = PixelsFromHimetric(cy);
    if (w < 1 || h < 1 || w > ui::kMaxImageSide || h > ui::kMaxImageSide ||
        w * h > ui::kMaxImagePixels)
        return false;
    width = int(w);
    height = int(h);
    return true;
}

}  // namespace platform::ctl
