#pragma once
// The module's resources as the product writes them: the dialog templates,
// the strings and the pictures, by identifier. Only the build's resource
// tool (MkResources.cpp) reads these tables; the module finds what it made
// of them in its resource section at run time.

#include <span>
#include <vector>

#include "platform/ui/DialogTemplate.h"

namespace ostrel::resources {

struct DialogEntry {
    int id;
    const platform::ui::DialogTemplate* dialog;
};

struct StringEntry {
    int id;
    const char* text;  // UTF-8
};

struct BitmapEntry {
    int id;
    std::vector<unsigned char> (*make)();  // a BMP file image
};

// In the order the resource section holds them.
std::span<const DialogEntry> Dialogs();
std::span<const StringEntry> Strings();
std::span<const BitmapEntry> Bitmaps();

}  // namespace ostrel::resources
