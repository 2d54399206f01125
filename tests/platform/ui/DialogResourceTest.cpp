// Dialog templates, strings and bitmaps in the binary forms a module's
// resource section holds them in: read back as written, and refused, without
// a read past their bytes, when damaged.

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/com/Resource.h"
#include "platform/ui/DialogResource.h"
#include "platform/ui/ModuleStrings.h"
#include "platform/ui/Resources.h"
#include "platform/ui/WinUser.h"

namespace {

using namespace platform::ui;

constexpr DialogItemTemplate kItems[] = {
    {WS_CHILD | WS_VISIBLE | SS_BITMAP, 0, 10, 10, 32, 24, -1, WC_STATIC, "", 203},
    {WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON, 0, -5, 7, 32, 14, IDOK, WC_BUTTON,
     "Gr\xC3\xBC\xC3\x9F"
     "e \xF0\x9F\x94\x91",
     0},
    {WS_CHILD | WS_VISIBLE | WS_BORDER | ES_MULTILINE, 0x200, 28, 112, 243, 70, 206,
     RICHEDIT_CLASS10A, "", 0},
    {WS_CHILD | WS_VISIBLE | LBS_NOTIFY, 0, 140, 36, 128, 35, 201, WC_LISTBOX, "", 0},
    {WS_CHILD | WS_VISIBLE, 0, 1, 2, 3, 4, 204, WC_EDIT, "x", 0},
};

constexpr DialogTemplate kDialog = {
    WS_POPUP | WS_CAPTION | DS_MODALFRAME | DS_SETFONT,
    0,
    34,
    22,
    260,
    55,
    "About",
    8,
    "MS Sans Serif",
    kItems,
};

std::vector<BYTE> Written() {
    return WriteDialogResource(kDialog);
}

// A copy of exactly `n` bytes on the heap, so that a read past them is one
// the sanitizers see.
std::unique_ptr<const LoadedDialogTemplate> ReadCopy(const std::vector<BYTE>& bytes,
                                                     std::size_t n) {
    const std::vector<BYTE> copy(bytes.begin(), bytes.begin() + std::ptrdiff_t(n));
    return ReadDialogResource(copy);
}

void Put16(std::vector<BYTE>& bytes, std::size_t at, unsigned v) {
    bytes[at] = BYTE(v);
    bytes[at + 1] = BYTE(v >> 8);
}

TEST(DialogResource, ReadsBackWhatWasWritten) {
    const auto loaded = ReadDialogResource(Written());
    ASSERT_NE(loaded, nullptr);
    const DialogTemplate& t = loaded->Template();
    EXPECT_EQ(t.style, kDialog.style);
    EXPECT_EQ((std::array{t.x, t.y, t.cx, t.cy}), (std::array<short, 4>{34, 22, 260, 55}));
    EXPECT_STREQ(t.caption, "About");
    EXPECT_EQ(t.pointSize, 8);
    EXPECT_STREQ(t.typeface, "MS Sans Serif");
    ASSERT_EQ(t.items.size(), std::size(kItems));
    for (std::size_t i = 0; i < std::size(kItems); ++i) {
        const DialogItemTemplate& a = t.items[i];
        const DialogItemTemplate& b = kItems[i];
        EXPECT_EQ(a.style, b.style) << i;
        EXPECT_EQ(a.exStyle, b.exStyle) << i;
        EXPECT_EQ((std::array{a.x, a.y, a.cx, a.cy}), (std::array{b.x, b.y, b.cx, b.cy})) << i;
        EXPECT_EQ(a.id, b.id) << i;
        EXPECT_STREQ(a.windowClass, b.windowClass) << i;
        EXPECT_STREQ(a.text, b.text) << i;
        EXPECT_EQ(a.imageId, b.imageId) << i;
        EXPECT_EQ(KindOf(a), KindOf(b)) << i;
    }
    // Without DS_SETFONT there is no font.
    DialogTemplate plain = kDialog;
    plain.style &= ~DS_SETFONT;
    const auto noFont = ReadDialogResource(WriteDialogResource(plain));
    ASSERT_NE(noFont, nullptr);
    EXPECT_EQ(noFont->Template().pointSize, 0);
    EXPECT_STREQ(noFont->Template().typeface, "");
    EXPECT_EQ(noFont->Template().items.size(), std::size(kItems));
}

TEST(DialogResource, RefusesEveryCutAndDamage) {
    const std::vector<BYTE> bytes = Written();
    for (std::size_t n = 0; n < bytes.size(); ++n) EXPECT_EQ(ReadCopy(bytes, n), nullptr) << n;
    EXPECT_NE(ReadCopy(bytes, bytes.size()), nullptr);

    // More items than the bytes hold, one by one or all at once.
    auto more = bytes;
    Put16(more, 8, std::size(kItems) + 1);
    EXPECT_EQ(ReadDialogResource(more), nullptr);
    Put16(more, 8, 0xFFFF);
    EXPECT_EQ(ReadDialogResource(more), nullptr);

    // The caption never ends: every byte after the header is non-zero.
    auto endless = std::vector<BYTE>(bytes.begin(), bytes.begin() + 22);
    endless.resize(endless.size() + 64, 'A');
    EXPECT_EQ(ReadDialogResource(endless), nullptr);

    // A lone surrogate in the caption.
    auto surrogate = bytes;
    Put16(surrogate, 22, 0xD800);
    EXPECT_EQ(ReadDialogResource(surrogate), nullptr);

    // An extended template.
    auto extended = bytes;
    Put16(extended, 0, 1);
    Put16(extended, 2, 0xFFFF);
    EXPECT_EQ(ReadDialogResource(extended), nullptr);

    // The first item: its class atom, then the size of its creation data.
    const std::size_t item = ((22 + 2 * 6 + 2 + 2 * 14) + 3) & ~std::size_t(3);
    ASSERT_EQ(bytes[item + 18], 0xFF);
    auto atom = bytes;
    Put16(atom, item + 20, 0x85);  // a class the framework has no control for
    EXPECT_EQ(ReadDialogResource(atom), nullptr);
    auto creation = bytes;
    Put16(creation, item + 26, 0x7FFF);  // more creation data than there are bytes
    EXPECT_EQ(ReadDialogResource(creation), nullptr);
    Put16(creation, item + 26, 1);  // smaller than its own size word
    EXPECT_EQ(ReadDialogResource(creation), nullptr);
}

TEST(ModuleResourceData, DamagedStringsAndBitmapsInADirectoryAreRefused) {
    const std::vector<BYTE> text = {'O', 'K', 0};
    const std::vector<BYTE> unterminated = {'O', 'K', '!'};
    const std::vector<BYTE> dialog = Written();
    const std::vector<BYTE> cutDialog(dialog.begin(), dialog.end() - 3);
    // A 2 x 1 picture of 24 bits, and the same with a palette it lacks.
    std::vector<BYTE> bitmap(40 + 8, 0);
    const auto put32 = [](std::vector<BYTE>& b, std::size_t at, std::uint32_t v) {
        for (int i = 0; i < 4; ++i) b[at + std::size_t(i)] = BYTE(v >> (8 * i));
    };
    put32(bitmap, 0, 40);
    put32(bitmap, 4, 2);
    put32(bitmap, 8, 1);
    bitmap[12] = 1;
    bitmap[14] = 24;
    std::vector<BYTE> paletteMissing = bitmap;
    paletteMissing[14] = 8;  // 256 colours, and no room for them

    std::vector<platform::com::ResourceEntry> entries(6);
    const std::vector<BYTE>* data[] = {&text,      &unterminated, &dialog,
                                       &cutDialog, &bitmap,       &paletteMissing};
    const char* types[] = {"#6", "#6", "#5", "#5", "#2", "#2"};
    for (std::size_t i = 0; i < entries.size(); ++i) {
        entries[i].type = types[i];
        entries[i].id = std::uint32_t(i + 1);
        entries[i].data = *data[i];
    }
    const auto directory = platform::com::BuildResourceDirectory(entries);
    const auto back = platform::com::ParseResourceDirectory(directory);
    ASSERT_TRUE(back);
    ASSERT_EQ(back->size(), 6u);

    const auto string = StringResourceText((*back)[0].data);
    ASSERT_TRUE(string);
    EXPECT_EQ(*string, "OK");
    EXPECT_FALSE(StringResourceText((*back)[1].data)) << "no terminator within its bytes";
    EXPECT_FALSE(StringResourceText({}));

    EXPECT_NE(ReadDialogResource((*back)[2].data), nullptr);
    EXPECT_EQ(ReadDialogResource((*back)[3].data), nullptr);

    const auto image = BitmapFileImage((*back)[4].data);
    ASSERT_TRUE(image);
    const auto header = ReadBitmapHeader(*image);
    ASSERT_TRUE(header);
    EXPECT_EQ((std::array{header->width, header->height, header->bitsPerPixel}),
              (std::array{2, 1, 24}));
    EXPECT_EQ(image->size(), 14u + 40 + 8);
    EXPECT_EQ((*image)[10], 14 + 40) << "the pixels follow the header";
    EXPECT_FALSE(BitmapFileImage((*back)[5].data));
    EXPECT_FALSE(BitmapFileImage(std::span((*back)[4].data.data(), 39)));
}

}  // namespace
