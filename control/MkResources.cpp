// Builds the module's resources into a C++ source whose one array lands in
// the module's resource section: strings, bitmaps, the icon, the dialog
// templates, the type library and the version block, all in US English. The
// product's strings, pictures and templates are in OstrelResourceScript.cpp;
// the dialog templates are written in the platform's binary form
// (platform/ui/DialogResource.h), which the module reads back at run time.
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

#include "control/OstrelResourceScript.h"
#include "control/OstrelTypeLibDesc.h"
#include "platform/com/Resource.h"
#include "platform/com/TypeLibFormat.h"
#include "platform/com/VersionInfo.h"
#include "platform/text/Utf.h"
#include "platform/ui/DialogResource.h"
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

// A bitmap resource is the file image without its 14-byte file header.
Bytes BitmapResource(const ostrel::resources::BitmapEntry& entry) {
    const std::vector<unsigned char> image = entry.make();
    if (!platform::ui::ReadBitmapHeader(image)) throw std::runtime_error("damaged bitmap");
    return Bytes(image.begin() + 14, image.end());
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

// A string resource is the UTF-8 text with its terminator.
Bytes StringResource(const char* text) {
    return Bytes(text, text + std::strlen(text) + 1);
}

// The version as the block's texts write it: "1. 1", with the third number
// only when it is not 0.
std::string VersionText() {
    std::string text =
        std::to_string(OSTREL_VERSION_MAJOR) + ". " + std::to_string(OSTREL_VERSION_MINOR);
    if (OSTREL_VERSION_PATCH != 0) text += ". " + std::to_string(OSTREL_VERSION_PATCH);
    return text;
}

Bytes VersionResource() {
    const std::string version = VersionText();
    platform::com::VersionInfo v;
    v.fixed.dwSignature = VS_FFI_SIGNATURE;
    v.fixed.dwStrucVersion = VS_FFI_STRUCVERSION;
    // The release's own number, as the package and `ostrel --version` give it.
    v.fixed.dwFileVersionMS = std::uint32_t(OSTREL_VERSION_MAJOR) << 16 | OSTREL_VERSION_MINOR;
    v.fixed.dwFileVersionLS = std::uint32_t(OSTREL_VERSION_PATCH) << 16;
    v.fixed.dwProductVersionMS = v.fixed.dwFileVersionMS;
    v.fixed.dwProductVersionLS = v.fixed.dwFileVersionLS;
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
        {"FileVersion", version},
        {"InternalName", "Ostrel"},
        {"LegalCopyright", "Copyright (C) 2026 Ostrel Project"},
        {"LegalTrademarks", ""},
        {"OLESelfRegister", ""},
        {"OriginalFilename", "Ostrel.OCX"},
        {"PrivateBuild", ""},
        {"ProductName", "Ostrel ActiveX Control Module for digital signatures in Windows 32 bits"},
        {"ProductVersion", version},
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
        for (const auto& s : ostrel::resources::Strings())
            items.emplace_back("#6", s.id, StringResource(s.text));
        for (const auto& b : ostrel::resources::Bitmaps())
            items.emplace_back("#2", b.id, BitmapResource(b));
        const Bytes icon32 = IconImage(32), icon16 = IconImage(16);
        items.emplace_back("#3", 1, icon32);
        items.emplace_back("#3", 2, icon16);
        items.emplace_back("#14", 1, IconGroup({{32, icon32.size()}, {16, icon16.size()}}));
        for (const auto& d : ostrel::resources::Dialogs()) {
            Bytes dialog = platform::ui::WriteDialogResource(*d.dialog);
            if (!platform::ui::ReadDialogResource(dialog))
                throw std::runtime_error("a dialog template does not read back");
            items.emplace_back("#5", d.id, std::move(dialog));
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
