#pragma once
// Globally unique identifiers and their braced text form
// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}".

#include <compare>
#include <optional>
#include <string>
#include <string_view>

#include "platform/com/ComError.h"
#include "platform/text/Bstr.h"
#include "platform/win/WinTypes.h"

struct GUID {
    DWORD Data1;
    WORD Data2;
    WORD Data3;
    BYTE Data4[8];

    friend constexpr bool operator==(const GUID&, const GUID&) = default;
    friend constexpr auto operator<=>(const GUID&, const GUID&) = default;
};

using IID = GUID;
using CLSID = GUID;
using REFGUID = const GUID&;
using REFIID = const IID&;
using REFCLSID = const CLSID&;
using LPCLSID = CLSID*;
using LPIID = IID*;
using LPOLESTR = OLECHAR*;

inline constexpr GUID GUID_NULL{};
inline constexpr IID IID_NULL{};

// Writes the braced form and its terminator; returns the characters written,
// terminator included (39), or 0 when `cchMax` is too small.
int StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax);
// Reads the braced form; CO_E_CLASSSTRING for anything else.
HRESULT CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid);
// Reads the braced form; E_INVALIDARG for anything else.
HRESULT IIDFromString(LPCOLESTR lpsz, LPIID lpiid);

namespace platform::com {

namespace detail {
constexpr int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}
}  // namespace detail

// The braced form (or the same without braces) read into a GUID; nothing for
// any other text.
template <class Char>
constexpr std::optional<GUID> ParseGuid(std::basic_string_view<Char> text) {
    if (text.size() == 38) {
        if (text.front() != Char('{') || text.back() != Char('}')) return std::nullopt;
        text = text.substr(1, 36);
    }
    if (text.size() != 36) return std::nullopt;
    unsigned char bytes[16] = {};
    int n = 0;
    for (std::size_t i = 0; i < 36;) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (text[i] != Char('-')) return std::nullopt;
            ++i;
            continue;
        }
        const auto hi = text[i], lo = text[i + 1];
        if (hi > Char(0x7F) || lo > Char(0x7F)) return std::nullopt;
        const int h = detail::HexValue(static_cast<char>(hi));
        const int l = detail::HexValue(static_cast<char>(lo));
        if (h < 0 || l < 0) return std::nullopt;
        bytes[n++] = static_cast<unsigned char>(h * 16 + l);
        i += 2;
    }
    GUID g{};
    g.Data1 = DWORD(bytes[0]) << 24 | DWORD(bytes[1]) << 16 | DWORD(bytes[2]) << 8 | bytes[3];
    g.Data2 = static_cast<WORD>(bytes[4] << 8 | bytes[5]);
    g.Data3 = static_cast<WORD>(bytes[6] << 8 | bytes[7]);
    for (int k = 0; k < 8; ++k) g.Data4[k] = bytes[8 + k];
    return g;
}

// An identifier written in the source as its braced form; a malformed one
// does not compile.
consteval GUID MakeGuid(const char* text) {
    std::size_t n = 0;
    while (text[n] != 0) ++n;
    const auto g = ParseGuid(std::string_view(text, n));
    if (!g) throw "malformed identifier";
    return *g;
}

// The braced form in capitals.
std::string GuidToString(REFGUID guid);
std::optional<GUID> GuidFromString(std::string_view text);

}  // namespace platform::com
