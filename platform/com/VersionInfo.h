#pragma once
// A module's version block (resource RT_VERSION 1): the fixed file
// information, one string table of named texts, and the translation table,
// in the platform's binary layout (UTF-16 keys and texts, 32-bit aligned
// children) so that installers read it as they read any module's.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "platform/win/WinTypes.h"

inline constexpr DWORD VS_FFI_SIGNATURE = 0xFEEF04BD;
inline constexpr DWORD VS_FFI_STRUCVERSION = 0x00010000;
inline constexpr DWORD VOS__WINDOWS32 = 4;
inline constexpr DWORD VFT_DLL = 2;

struct VS_FIXEDFILEINFO {
    DWORD dwSignature;
    DWORD dwStrucVersion;
    DWORD dwFileVersionMS;
    DWORD dwFileVersionLS;
    DWORD dwProductVersionMS;
    DWORD dwProductVersionLS;
    DWORD dwFileFlagsMask;
    DWORD dwFileFlags;
    DWORD dwFileOS;
    DWORD dwFileType;
    DWORD dwFileSubtype;
    DWORD dwFileDateMS;
    DWORD dwFileDateLS;
};

namespace platform::com {

struct VersionInfo {
    VS_FIXEDFILEINFO fixed{};
    std::string tableName;                                     // "040904b0"
    std::vector<std::pair<std::string, std::string>> strings;  // in order, UTF-8
    std::vector<std::pair<WORD, WORD>> translations;           // language, code page
};

std::vector<BYTE> BuildVersionInfo(const VersionInfo& info);
// Nothing when the bytes are not a sound version block.
std::optional<VersionInfo> ParseVersionInfo(std::span<const BYTE> bytes);

}  // namespace platform::com
