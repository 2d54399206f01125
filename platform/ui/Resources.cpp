#include "platform/ui/Resources.h"

#include <cstdint>
#include <cstring>

#include "platform/text/NoCase.h"
#include "platform/ui/WinUser.h"

namespace platform::ui {

ControlKind KindOf(const DialogItemTemplate& item) {
    using platform::text::EqualsNoCase;
    const std::string_view cls = item.windowClass == nullptr ? "" : item.windowClass;
    if (EqualsNoCase(cls, WC_BUTTON)) {
        switch (item.style & BS_TYPEMASK) {
            case BS_PUSHBUTTON:
                return ControlKind::PushButton;
            case BS_DEFPUSHBUTTON:
                return ControlKind::DefPushButton;
            default:
                return ControlKind::Other;
        }
    }
    if (EqualsNoCase(cls, WC_STATIC))
        return (item.style & SS_TYPEMASK) == SS_BITMAP ? ControlKind::Picture : ControlKind::Label;
    if (EqualsNoCase(cls, WC_EDIT))
        return (item.style & ES_MULTILINE) != 0 ? ControlKind::RichEdit : ControlKind::Edit;
    if (EqualsNoCase(cls, WC_LISTBOX)) return ControlKind::ListBox;
    if (EqualsNoCase(cls, RICHEDIT_CLASS10A)) return ControlKind::RichEdit;
    return ControlKind::Other;
}

std::optional<BitmapHeader> ReadBitmapHeader(std::span<const unsigned char> image) {
    const auto u32 = [&](std::size_t at) {
        return std::uint32_t(image[at]) | std::uint32_t(image[at + 1]) << 8 |
               std::uint32_t(image[at + 2]) << 16 | std::uint32_t(image[at + 3]) << 24;
    };
    const auto u16 = [&](std::size_t at) {
        return unsigned(image[at]) | unsigned(image[at + 1]) << 8;
    };
    if (image.size() < 54 || image[0] != 'B' || image[1] != 'M' || u32(14) < 40)
        return std::nullopt;
    const auto fileSize = u32(2);
    const auto offset = u32(10);
    if (fileSize != image.size() || offset > image.size()) return std::nullopt;
    BitmapHeader header{static_cast<int>(u32(18)), static_cast<int>(u32(22)),
                        static_cast<int>(u16(28)), static_cast<int>(u32(46))};
    if (header.width <= 0 || header.height == 0) return std::nullopt;
    return header;
}

}  // namespace platform::ui
