// Module files as `ostrel info` and the type-library loader read them
// without loading them: the ELF headers and the exported symbols, the
// resource directory in its section, the version block among the resources,
// and the type library that `ostrel typelib MODULE` loads from its resource
// "TYPELIB" 1. The input is the whole file; it is also handed to the
// directory and version-block readers directly, so that they are explored
// without first having to be found inside a well-formed ELF file.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "platform/com/Resource.h"
#include "platform/com/TypeInfo.h"
#include "platform/com/Unknown.h"
#include "platform/com/VersionInfo.h"
#include "platform/text/Utf.h"

namespace {

using ostrel::fuzz::Check;
using platform::com::ResourceEntry;
using platform::com::VersionInfo;

std::string g_module;
std::u16string g_wideModule;

bool SameVersion(const VersionInfo& a, const VersionInfo& b) {
    return std::memcmp(&a.fixed, &b.fixed, sizeof a.fixed) == 0 && a.tableName == b.tableName &&
           a.strings == b.strings && a.translations == b.translations;
}

void Version(std::span<const BYTE> bytes) {
    const auto version = platform::com::ParseVersionInfo(bytes);
    if (!version) return;
    // What was read can be written, and reads back the same.
    const auto again = platform::com::ParseVersionInfo(platform::com::BuildVersionInfo(*version));
    Check(again.has_value() && SameVersion(*again, *version), "a version block survives writing");
}

void Directory(std::span<const BYTE> bytes) {
    const auto entries = platform::com::ParseResourceDirectory(bytes);
    if (!entries) return;
    std::size_t total = 0;
    for (const ResourceEntry& e : *entries) {
        Check(e.data.empty() || (e.data.data() >= bytes.data() &&
                                 e.data.data() + e.data.size() <= bytes.data() + bytes.size()),
              "an entry's data lies inside the directory");
        Check(e.type.find('\0') == std::string::npos, "a type name holds no NUL");
        total += e.data.size();
        // The block `ostrel info` shows.
        if (e.type == "#16" && e.id == 1) Version(e.data);
    }
    Check(total <= bytes.size(), "the entries' data is no larger than the directory");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    g_module = (ostrel::fuzz::PrivateHome() / "MODULE.OCX").string();
    g_wideModule = platform::com::Utf8ToUtf16(g_module);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ostrel::fuzz::WriteFile(g_module, ostrel::fuzz::Text(data, size));
    platform::com::ModuleFileInfo info;
    std::string why;
    const HRESULT hr = platform::com::ReadModuleFile(g_module, info, &why);
    if (SUCCEEDED(hr)) {
        Check(std::is_sorted(info.exports.begin(), info.exports.end()), "exports are sorted");
        Check(info.resources.size() <= size, "the resources are no larger than the file");
        Directory(info.resources);
        Check(platform::com::IsModuleFile(g_module), "a module file read is a module file");
        platform::com::ComPtr<ITypeLib> lib;
        const HRESULT loaded = LoadTypeLib(g_wideModule.c_str(), lib.Put());
        Check(SUCCEEDED(loaded) == bool(lib), "a library exactly on success");
    } else {
        Check(!why.empty(), "a refusal says why");
    }
    Directory({data, size});
    Version({data, size});
    return 0;
}
