#include "platform/com/Bstr.h"

#include <cstdlib>
#include <cstring>
#include <limits>

#include "platform/com/Utf.h"
#include "platform/seams/Seams.h"

namespace {
// The length prefix sits in the four bytes before the characters.
constexpr std::size_t kPrefix = sizeof(std::uint32_t);

std::uint32_t* PrefixOf(BSTR b) {
    return reinterpret_cast<std::uint32_t*>(reinterpret_cast<char*>(b) - kPrefix);
}
}  // namespace

BSTR SysAllocStringLen(LPCOLESTR strIn, UINT ui) {
    std::uint32_t injected = 0;
    if (platform::seams::Injected("SysAllocStringLen", injected)) return nullptr;
    if (ui > (std::numeric_limits<std::uint32_t>::max() - kPrefix - 2) / 2) return nullptr;
    const std::size_t bytes = std::size_t(ui) * sizeof(OLECHAR);
    auto* block = static_cast<char*>(std::malloc(kPrefix + bytes + sizeof(OLECHAR)));
    if (block == nullptr) return nullptr;
    *reinterpret_cast<std::uint32_t*>(block) = static_cast<std::uint32_t>(bytes);
    auto* chars = reinterpret_cast<OLECHAR*>(block + kPrefix);
    if (strIn != nullptr)
        std::memcpy(chars, strIn, bytes);
    else
        std::memset(chars, 0, bytes);
    chars[ui] = 0;
    platform::seams::CountLive(platform::seams::Live::Bstr, +1);
    return chars;
}

BSTR SysAllocString(LPCOLESTR psz) {
    if (psz == nullptr) return nullptr;
    UINT n = 0;
    while (psz[n] != 0) ++n;
    return SysAllocStringLen(psz, n);
}

void SysFreeString(BSTR b) {
    if (b == nullptr) return;
    std::free(PrefixOf(b));
    platform::seams::CountLive(platform::seams::Live::Bstr, -1);
}

UINT SysStringByteLen(BSTR b) {
    return b == nullptr ? 0 : *PrefixOf(b);
}

UINT SysStringLen(BSTR b) {
    return SysStringByteLen(b) / sizeof(OLECHAR);
}

namespace platform::com {
std::string Bstr::Utf8() const {
    return Utf16ToUtf8(View());
}
}  // namespace platform::com
