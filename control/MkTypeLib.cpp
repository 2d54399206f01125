// Builds the type library OSTRELLib from its description: the library file,
// and a C++ source that carries the same bytes into the module.
//
//   ostrel_mktypelib OUT.tlb OUT.cpp

#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>

#include "control/OstrelTypeLibDesc.h"

namespace {

bool WriteFile(const char* path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    return static_cast<bool>(out);
}

std::string Source(const std::vector<BYTE>& image) {
    std::ostringstream s;
    s << "// Made by ostrel_mktypelib from control/OstrelTypeLibDesc.cpp.\n"
         "#include \"control/OstrelTypeLib.h\"\n\n"
         "namespace {\n"
         "const BYTE kImage[] = {";
    for (std::size_t i = 0; i < image.size(); ++i) {
        if (i % 16 == 0) s << "\n   ";
        char hex[8];
        std::snprintf(hex, sizeof hex, " 0x%02X,", image[i]);
        s << hex;
    }
    s << "\n};\n}  // namespace\n\n"
         "std::span<const BYTE> OstrelTypeLibImage() { return kImage; }\n";
    return s.str();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: ostrel_mktypelib OUT.tlb OUT.cpp\n";
        return 2;
    }
    try {
        namespace typelib = platform::com::typelib;
        const typelib::Library library = OstrelTypeLibDescription();
        const std::vector<BYTE> image = typelib::Write(library);
        // What the loader reads back must be the description itself.
        typelib::Library back;
        if (typelib::Read(image, back) != 0 || !(back == library)) {
            std::cerr << "ostrel_mktypelib: the library does not read back as described\n";
            return 1;
        }
        if (!WriteFile(argv[1], std::string(image.begin(), image.end())) ||
            !WriteFile(argv[2], Source(image))) {
            std::cerr << "ostrel_mktypelib: cannot write the output files\n";
            return 1;
        }
        return 0;
    } catch (const std::exception& e) {
        std::cerr << "ostrel_mktypelib: " << e.what() << "\n";
        return 1;
    }
}
