// Builds the module's resources into a C++ source whose one array lands in
// the module's resource section: strings, bitmaps, the icon, the dialog
// templates, the type library and the version block, all in US English.
//
//   ostrel_mkresources OUT.cpp

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "control/OstrelTypeLibDesc.h"
#include "platform/com/Resource.h"
#include "platform/com/TypeLibFormat.h"
#include "platform/com/VersionInfo.h"
#include "platform/text/Utf.h"
#include "platform/ui/ModuleResource.h"
#include "platform/ui/ModuleStrings.h"
#include "platform/ui/Resources.h"

namespace {

using Bytes = std::vector<BYTE>;

void Word(Bytes& out, unsigned v) {
    out.push_back(BYTE(v));
    out.push_back(BYTE(v >> 8));
}
void Dword(Bytes& out, std::uint32_t v) {
    Word(out, v & 0xFFFF);
    Word(out, v >> 16);
}
void Text(Bytes& out, const char* utf8) {
    for (char16_t c : platform::com::Utf8ToUtf16(utf8 != nullptr ? utf8 : "")) Word(out, c);
    Word(out, 0);
}
void Align4(Bytes& out) {
    while (out.size() % 4 != 0) out.push_back(0);
}

// The platform's binary dialog template: header, caption, font, then each
// item on a 32-bit boundary with its class (an atom for the predefined
// ones), its text (or the ordinal of the bitmap a picture shows) and no
// creation data.
Bytes DialogResource(const platform::ui::DialogTemplate& t) {
    constexpr DWORD kSetFont = 0x40;
    Bytes out;
    Dword(out, t.style);
    Dword(out, t.exStyle);
    Word(out, unsigned(t.items.size()));
    for (short v : {t.x, t.y, t.cx, t.cy}) Word(out, std::uint16_t(v));
    Word(out, 0);  // no menu
    Word(out, 0);  // the standard dialog class
    Text(out, t.caption);
    if ((t.style & kSetFont) != 0) {
        Word(out, t.pointSize);
        Text(out, t.typeface);
    }
    for (const auto& item : t.items) {
        Align4(out);
        Dword(out, item.style);
        Dword(out, item.exStyle);
        for (short v : {item.x, item.y, item.cx, item.cy}) Word(out, std::uint16_t(v));
        Word(out, std::uint16_t(item.id));
        static constexpr struct {
            const char* name;
            unsigned atom;
        } kAtoms[] = {{"BUTTON", 0x80}, {"EDIT", 0x81}, {"STATIC", 0x82}, {"LISTBOX", 0x83}};
        unsigned atom = 0;
        for (const auto& a : kAtoms)
            if (item.windowClass != nullptr && std::strcmp(a.name, item.windowClass) == 0)
                atom = a.atom;
        if (atom != 0) {
            Word(out, 0xFFFF);
            Word(out, atom);
        } else {
            Text(out, item.windowClass);
        }
        if (item.imageId != 0) {
            Word(out, 0xFFFF);
            Word(out, unsigned(item.imageId));
        } else {
            Text(out, item.text);
        }
        Word(out, 0);  // no creation data
    }
    return out;
}

// A bitmap resource is the file image without its 14-byte file header.
Bytes BitmapResource(int id) {
    const auto* image = platform::ui::FindBitmap(id);
    if (image == nullptr || image->size() <= 14) throw std::runtime_error("missing bitmap");
    return Bytes(image->begin() + 14, image->end());
}

// The standard 16-colour palette.
constexpr BYTE kPalette[16][3] = {{0, 0, 0},       {128, 0, 0},   {0, 128, 0},   {128, 128, 0},
                                  {0, 0, 128},     {128, 0, 128}, {0, 128, 128}, {192, 192, 192},
                                  {128, 128, 128}, {255, 0, 0},   {0, 255, 0},   {255, 255, 0},
                                  {0, 0, 255},     {255, 0, 255}, {0, 255, 255}, {255, 255, 255}};

// One icon image, 16 colours: a seal, a blue ring with a white centre and a
// red ribbon mark, on a transparent ground.
Bytes IconImage(int size) {
    Bytes out;
    Dword(out, 40);
    Dword(out, std::uint32_t(size));
    Dword(out, std::uint32_t(size * 2));  // colour and mask
    Word(out, 1);
    Word(out, 4);
    for (int i = 0; i < 6; ++i) Dword(out, 0);
    for (const auto& c : kPalette) {
        out.push_back(c[2]);
        out.push_back(c[1]);
        out.push_back(c[0]);
        out.push_back(0);
    }
    const double mid = (size - 1) / 2.0;
    auto colour = [&](int x, int y) -> int {
        const double dx = x - mid, dy = y - mid;
        const double r = std::sqrt(dx * dx + dy * dy) / (size / 2.0);
        if (r > 0.98) return -1;
        if (r > 0.72) return 12;                   // blue ring
        if (std::abs(dx) < size / 10.0) return 9;  // red mark
        return 15;
    };
    const int colourRow = ((size * 4 + 31) / 32) * 4;
    const int maskRow = ((size + 31) / 32) * 4;
    for (int y = size - 1; y >= 0; --y) {
        Bytes row(std::size_t(colourRow), 0);
        for (int x = 0; x < size; ++x) {
            const int c = std::max(colour(x, y), 0);
            row[std::size_t(x / 2)] |= BYTE((x % 2 == 0) ? c << 4 : c);
        }
        out.insert(out.end(), row.begin(), row.end());
    }
    for (int y = size - 1; y >= 0; --y) {
        Bytes row(std::size_t(maskRow), 0);
        for (int x = 0; x < size; ++x)
            if (colour(x, y) < 0) row[std::size_t(x / 8)] |= BYTE(0x80 >> (x % 8));
        out.insert(out.end(), row.begin(), row.end());
    }
    return out;
}

Bytes IconGroup(const std::vector<std::pair<int, std::size_t>>& images) {
    Bytes out;
    Word(out, 0);
    Word(out, 1);
    Word(out, unsigned(images.size()));
    for (std::size_t i = 0; i < images.size(); ++i) {
        const int size = images[i].first;
        out.push_back(BYTE(size));
        out.push_back(BYTE(size));
        out.push_back(16);
        out.push_back(0);
        Word(out, 1);
        Word(out, 4);
        Dword(out, std::uint32_t(images[i].second));
        Word(out, unsigned(i + 1));
    }
    return out;
}

Bytes StringResource(int id) {
    const char* text = platform::ui::FindString(id);
    if (text == nullptr) throw std::runtime_error("missing string");
    return Bytes(text, text + std::strlen(text) + 1);
}

Bytes VersionResource() {
    platform::com::VersionInfo v;
    v.fixed.dwSignature = VS_FFI_SIGNATURE;
    v.fixed.dwStrucVersion = VS_FFI_STRUCVERSION;
    v.fixed.dwFileVersionMS = 0x00010001;
    v.fixed.dwFileVersionLS = 0;
    v.fixed.dwProductVersionMS = 0x00010001;
    v.fixed.dwProductVersionLS = 0;
    v.fixed.dwFileFlagsMask = 0x3F;
    v.fixed.dwFileFlags = 0;
    v.fixed.dwFileOS = VOS__WINDOWS32;
    v.fixed.dwFileType = VFT_DLL;
    v.fixed.dwFileSubtype = 0;
    v.tableName = "040904b0";
    v.strings = {
        {"Comments",
         "Requires Win NT 4.0 ( SP3 or higher) or Window95 with Internet Explorer 5.0 or higher"},
        {"CompanyName", "Ostrel Project"},
        {"FileDescription", "Ostrel ActiveX Control Module"},
        {"FileVersion", "1. 1"},
        {"InternalName", "Ostrel"},
        {"LegalCopyright", "Copyright (C) 2026 Ostrel Project"},
        {"LegalTrademarks", ""},
        {"OLESelfRegister", ""},
        {"OriginalFilename", "Ostrel.OCX"},
        {"PrivateBuild", ""},
        {"ProductName", "Ostrel ActiveX Control Module for digital signatures in Windows 32 bits"},
        {"ProductVersion", "1. 1"},
        {"SpecialBuild", ""},
    };
    v.translations = {{0x0409, 0x04B0}};
    return platform::com::BuildVersionInfo(v);
}

std::string Source(const Bytes& directory) {
    std::ostringstream s;
    s << "// Made by ostrel_mkresources: the module's resource directory.\n"
         "namespace {\n"
         "// Kept when the linker leaves out unreferenced sections: the module finds\n"
         "// it by name.\n"
         "[[gnu::used, gnu::retain, gnu::section(\".ostrel_rsrc\")]] alignas(8) const unsigned "
         "char "
         "kResources[] = {";
    for (std::size_t i = 0; i < directory.size(); ++i) {
        if (i % 16 == 0) s << "\n   ";
        char hex[8];
        std::snprintf(hex, sizeof hex, " 0x%02X,", directory[i]);
        s << hex;
    }
    s << "\n};\n}  // namespace\n";
    return s.str();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: ostrel_mkresources OUT.cpp\n";
        return 2;
    }
    try {
        using platform::com::ResourceEntry;
        std::vector<std::tuple<std::string, std::uint32_t, Bytes>> items;
        for (int id : {IDS_CONTROL_NAME, IDS_PROPPAGE_NAME, IDS_PROPPAGE_CAPTION})
            items.emplace_back("#6", id, StringResource(id));
        for (int id : {IDB_TOOLBOX, IDB_LOGO, IDB_BANNER})
            items.emplace_back("#2", id, BitmapResource(id));
        const Bytes icon32 = IconImage(32), icon16 = IconImage(16);
        items.emplace_back("#3", 1, icon32);
        items.emplace_back("#3", 2, icon16);
        items.emplace_back("#14", 1, IconGroup({{32, icon32.size()}, {16, icon16.size()}}));
        for (int id : {IDD_ABOUTBOX, IDD_PROPPAGE, IDD_SELECT_CERT}) {
            const auto* t = platform::ui::FindDialogTemplate(id);
            if (t == nullptr) throw std::runtime_error("missing dialog template");
            items.emplace_back("#5", id, DialogResource(*t));
        }
        items.emplace_back("TYPELIB", 1, platform::com::typelib::Write(OstrelTypeLibDescription()));
        items.emplace_back("#16", 1, VersionResource());

        std::vector<ResourceEntry> entries;
        for (const auto& [type, id, bytes] : items) {
            ResourceEntry e;
            e.type = type;
            e.id = id;
            e.lang = LANG_ENGLISH_US;
            e.data = bytes;
            entries.push_back(e);
        }
        const Bytes directory = platform::com::BuildResourceDirectory(entries);
        if (!platform::com::ParseResourceDirectory(directory)) {
            std::cerr << "ostrel_mkresources: the directory does not read back\n";
            return 1;
        }
        std::ofstream out(argv[1], std::ios::binary | std::ios::trunc);
        out << Source(directory);
        out.close();
        if (!out) {
            std::cerr << "ostrel_mkresources: cannot write " << argv[1] << "\n";
            return 1;
        }
        return 0;
    } catch (const std::exception& e) {
        std::cerr << "ostrel_mkresources: " << e.what() << "\n";
        return 1;
    }
}
