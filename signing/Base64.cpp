#include <array>
#include <cstring>

#include "control/OstrelCtrl.h"
#include "signing/Base64.h"

namespace {

constexpr char SextetChar(unsigned value) {
    if (value < 26) return static_cast<char>(value + 65);
    if (value < 52) return static_cast<char>(value + 71);
    if (value < 62) return static_cast<char>(value - 4);
    return value == 62 ? '+' : '/';
}

// The two characters of every 12-bit value, so a group of three bytes costs
// two lookups.
constexpr auto kPairs = [] {
    std::array<std::array<char, 2>, 4096> pairs{};
    for (unsigned v = 0; v < 4096; ++v) pairs[v] = {SextetChar(v >> 6), SextetChar(v & 0x3F)};
    return pairs;
}();

}  // namespace

char COstrelCtrl::Base64Char(BYTE value) {
    return SextetChar(value);
}

CString COstrelCtrl::EncodeBase64(const BYTE* data, int count) {
    if (count <= 0) return CString();
    return EncodeSignatureText(data, static_cast<std::size_t>(count));
}

CString EncodeSignatureText(const BYTE* data, std::size_t n) {
    if (n == 0 || data == nullptr) return CString();
    const std::size_t groups = (n + 2) / 3;
    // Four characters a group, and a line break after each group that starts
    // at a multiple of 57 bytes: the first group alone, then every 19 groups.
    std::string text(4 * groups + 2 * ((groups - 1) / 19 + 1), '\0');
    char* out = text.data();
    std::size_t nextBreak = 0;
    std::size_t o = 0;
    for (; o + 3 <= n; o += 3) {
        const unsigned v = (unsigned(data[o]) << 16) | (unsigned(data[o + 1]) << 8) | data[o + 2];
        std::memcpy(out, kPairs[v >> 12].data(), 2);
        std::memcpy(out + 2, kPairs[v & 0xFFF].data(), 2);
        out += 4;
        if (o == nextBreak) {
            out[0] = '\r';
            out[1] = '\n';
            out += 2;
            nextBreak += 57;
        }
    }
    if (o < n) {
        const BYTE b0 = data[o];
        const BYTE b1 = o + 1 < n ? data[o + 1] : 0;
        *out++ = SextetChar(static_cast<BYTE>(b0 >> 2));
        *out++ = SextetChar(static_cast<BYTE>(((b0 & 0x03) << 4) | (b1 >> 4)));
        *out++ = o + 1 < n ? SextetChar(static_cast<BYTE>((b1 & 0x0F) << 2)) : '=';
        *out++ = '=';
        if (o == nextBreak) {
            *out++ = '\r';
            *out++ = '\n';
        }
    }
    text.resize(static_cast<std::size_t>(out - text.data()));
    return CString(std::move(text));
}
