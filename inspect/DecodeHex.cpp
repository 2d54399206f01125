#include <array>

#include "control/OstrelCtrl.h"

namespace {

// The byte that the C library's strtol, base 16, C locale, makes of a text of
// two characters, for every pair: leading white space and one sign are taken,
// then as many hexadecimal digits as follow; a pair without a digit in the
// right place reads as 0. Worked out once, so that no pair depends on the
// process locale and none costs a call.
constexpr int HexDigit(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

constexpr bool IsCSpace(unsigned char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

constexpr BYTE PairValue(unsigned char first, unsigned char second) {
    const int a = HexDigit(first);
    const int b = HexDigit(second);
    if (a >= 0) return static_cast<BYTE>(b >= 0 ? 16 * a + b : a);
    if (b < 0) return 0;
    if (IsCSpace(first) || first == '+') return static_cast<BYTE>(b);
    if (first == '-') return static_cast<BYTE>((256 - b) % 256);
    return 0;
}

// Filled on first use: 65,536 entries are past what every compiler agrees
// to work out at compile time.
const std::array<BYTE, 65536>& Pairs() {
    static const std::array<BYTE, 65536> table = [] {
        std::array<BYTE, 65536> t{};
        for (unsigned i = 0; i < 65536; ++i)
            t[i] = PairValue(static_cast<unsigned char>(i >> 8), static_cast<unsigned char>(i));
        return t;
    }();
    return table;
}

}  // namespace

void COstrelCtrl::DecodeHex(const char* text, int length, BYTE* out) {
    const auto& pairs = Pairs();
    const auto* in = reinterpret_cast<const unsigned char*>(text);
    for (int i = 0; i + 1 < length; i += 2) out[i / 2] = pairs[(unsigned(in[i]) << 8) | in[i + 1]];
}
