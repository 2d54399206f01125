// Type-library registrations kept in the per-user registry, in the layout
// every tool of the platform reads:
//   TypeLib\{libid}\<major>.<minor>            (default) = the help string
//   TypeLib\{libid}\<major>.<minor>\FLAGS      (default) = the library flags
//   TypeLib\{libid}\<major>.<minor>\HELPDIR    (default) = the help folder
//   TypeLib\{libid}\<major>.<minor>\<lcid>\win32 (default) = the file
// Versions and locales are hexadecimal.

#include <cstdio>
#include <cstdlib>

#include "platform/com/Registry.h"
#include "platform/com/TypeLibRegistry.h"
#include "platform/text/NoCase.h"

namespace platform::com {
namespace {

const char* SysKindName(SYSKIND kind) {
    switch (kind) {
        case SYS_WIN16:
            return "win16";
        case SYS_WIN32:
            return "win32";
        case SYS_MAC:
            return "mac";
        case SYS_WIN64:
            return "win64";
    }
    return nullptr;
}

std::optional<SYSKIND> SysKindOf(const std::string& name) {
    for (SYSKIND kind : {SYS_WIN16, SYS_WIN32, SYS_MAC, SYS_WIN64})
        if (platform::text::EqualsNoCase(name, SysKindName(kind))) return kind;
    return std::nullopt;
}

std::string Hex(unsigned value) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%x", value);
    return buf;
}

std::optional<unsigned> ParseHex(const std::string& text, unsigned max) {
    if (text.empty() || text.size() > 8) return std::nullopt;
    char* end = nullptr;
    const unsigned long v = std::strtoul(text.c_str(), &end, 16);
    if (*end != 0 || v > max) return std::nullopt;
    return unsigned(v);
}

std::string LibKey(REFGUID libid) {
    return "TypeLib\\" + GuidToString(libid);
}
std::string VersionKey(REFGUID libid, WORD major, WORD minor) {
    return LibKey(libid) + "\\" + Hex(major) + "." + Hex(minor);
}

HRESULT FromStatus(LSTATUS status) {
    return status == ERROR_SUCCESS ? S_OK : TYPE_E_REGISTRYACCESS;
}

LSTATUS SetDefault(HKEY parent, const std::string& subkey, const std::string& text) {
    HKEY key = nullptr;
    LSTATUS status = RegCreateKeyExA(parent, subkey.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                     KEY_WRITE, nullptr, &key, nullptr);
    if (status != ERROR_SUCCESS) return status;
    status = RegSetValueExA(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                            DWORD(text.size() + 1));
    RegCloseKey(key);
    return status;
}

std::string DefaultText(const registry::Hive& hive, const std::string& path) {
    const registry::Key* key = hive.Find(path);
    if (key == nullptr) return {};
    for (const auto& value : key->values)
        if (value.name.empty()) return value.Text();
    return {};
}

class RegistryRegistrations final : public TypeLibRegistrations {
public:
    HRESULT Add(const TypeLibRegistration& entry) override {
        const char* kind = SysKindName(entry.syskind);
        // Every process reads the entry, each from its own folder: only a full
        // path names the same file for all of them.
        if (kind == nullptr || !entry.path.starts_with("/")) return HRESULT(E_INVALIDARG);
        const std::string version = VersionKey(entry.libid, entry.wMajorVerNum, entry.wMinorVerNum);
        LSTATUS status = SetDefault(HKEY_CLASSES_ROOT, version, entry.helpString);
        if (status == ERROR_SUCCESS)
            status = SetDefault(HKEY_CLASSES_ROOT, version + "\\FLAGS", Hex(entry.wLibFlags));
        if (status == ERROR_SUCCESS)
            status = SetDefault(HKEY_CLASSES_ROOT, version + "\\HELPDIR", entry.helpDir);
        if (status == ERROR_SUCCESS)
            status = SetDefault(HKEY_CLASSES_ROOT, version + "\\" + Hex(entry.lcid) + "\\" + kind,
                                entry.path);
        return FromStatus(status);
    }

    HRESULT Remove(REFGUID libid, WORD wMajor, WORD wMinor, LCID lcid, SYSKIND syskind) override {
        const char* kind = SysKindName(syskind);
        if (kind == nullptr) return TYPE_E_LIBNOTREGISTERED;
        const std::string version = VersionKey(libid, wMajor, wMinor);
        const std::string locale = version + "\\" + Hex(lcid);
        HKEY key = nullptr;
        if (RegOpenKeyExA(HKEY_CLASSES_ROOT, (locale + "\\" + kind).c_str(), 0, KEY_READ, &key) !=
            ERROR_SUCCESS)
            return TYPE_E_LIBNOTREGISTERED;
        RegCloseKey(key);
        LSTATUS status = RegDeleteTreeA(HKEY_CLASSES_ROOT, (locale + "\\" + kind).c_str());
        if (status != ERROR_SUCCESS) return FromStatus(status);
        // Keys left empty go with the registration; other locales and
        // versions of the library stay.
        const auto snapshot = registry::Snapshot();
        const registry::Hive& hive = *snapshot;
        const std::string root = *registry::RootPath(HKEY_CLASSES_ROOT) + "\\";
        if (hive.Subkeys(root + locale).empty())
            status = RegDeleteTreeA(HKEY_CLASSES_ROOT, locale.c_str());
        bool otherLocale = false;
        for (const auto& name : hive.Subkeys(root + version))
            if (ParseHex(name, 0xFFFFFFFF) && !platform::text::EqualsNoCase(name, Hex(lcid)) &&
                !hive.Subkeys(root + version + "\\" + name).empty())
                otherLocale = true;
        if (status == ERROR_SUCCESS && !otherLocale)
            status = RegDeleteTreeA(HKEY_CLASSES_ROOT, version.c_str());
        if (status == ERROR_SUCCESS && !otherLocale) {
            const auto after = registry::Snapshot();
            if (after->Subkeys(root + LibKey(libid)).empty())
                status = RegDeleteTreeA(HKEY_CLASSES_ROOT, LibKey(libid).c_str());
        }
        return FromStatus(status);
    }

    std::vector<TypeLibRegistration> Find(REFGUID libid) override {
        std::vector<TypeLibRegistration> found;
        try {
            const auto snapshot = registry::Snapshot();
            const registry::Hive& hive = *snapshot;
            const std::string lib = *registry::RootPath(HKEY_CLASSES_ROOT) + "\\" + LibKey(libid);
            for (const auto& versionName : hive.Subkeys(lib)) {
                const auto dot = versionName.find('.');
                if (dot == std::string::npos) continue;
                const auto major = ParseHex(versionName.substr(0, dot), 0xFFFF);
                const auto minor = ParseHex(versionName.substr(dot + 1), 0xFFFF);
                if (!major || !minor) continue;
                const std::string version = lib + "\\" + versionName;
                for (const auto& localeName : hive.Subkeys(version)) {
                    const auto lcid = ParseHex(localeName, 0xFFFFFFFF);
                    if (!lcid) continue;
                    for (const auto& kindName : hive.Subkeys(version + "\\" + localeName)) {
                        const auto kind = SysKindOf(kindName);
                        if (!kind) continue;
                        TypeLibRegistration entry;
                        entry.libid = libid;
                        entry.wMajorVerNum = WORD(*major);
                        entry.wMinorVerNum = WORD(*minor);
                        entry.lcid = *lcid;
                        entry.syskind = *kind;
                        entry.path =
                            DefaultText(hive, version + "\\" + localeName + "\\" + kindName);
                        entry.helpString = DefaultText(hive, version);
                        entry.wLibFlags = WORD(
                            ParseHex(DefaultText(hive, version + "\\FLAGS"), 0xFFFF).value_or(0));
                        entry.helpDir = DefaultText(hive, version + "\\HELPDIR");
                        if (!entry.path.empty()) found.push_back(std::move(entry));
                    }
                }
            }
        } catch (...) {
            // An unreadable registry registers nothing.
            found.clear();
        }
        return found;
    }
};

}  // namespace

TypeLibRegistrations& RegistryTypeLibRegistrations() {
    static RegistryRegistrations registrations;
    return registrations;
}

}  // namespace platform::com
