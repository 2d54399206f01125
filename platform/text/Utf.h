#pragma once
// Conversions between the platform's 8-bit code page (UTF-8) and UTF-16.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace platform::com {

// How many bytes a UTF-8 sequence takes by the form of its first byte: 1 for
// ASCII and for a byte that starts no sequence (a continuation byte, or
// 0xF8 to 0xFF).
constexpr std::size_t Utf8SequenceLength(unsigned char lead) {
    return (lead & 0xE0) == 0xC0 ? 2 : (lead & 0xF0) == 0xE0 ? 3 : (lead & 0xF8) == 0xF0 ? 4 : 1;
}

// One character of UTF-8 text.
struct Utf8Char {
    char32_t code;       // the code point; for a malformed sequence, its first byte
    std::size_t length;  // the bytes it takes; 1 for a malformed sequence
    bool valid;
};

// The character that starts at `at` (before the end of `text`). A sequence
// cut short, an overlong form, a surrogate or a value beyond U+10FFFF is
// malformed, and only its first byte is taken. The platform's one decoder:
// every reading of UTF-8 goes through it, so it is inline for the loops that
// run over whole messages.
inline Utf8Char DecodeUtf8(std::string_view text, std::size_t at) {
    const auto lead = static_cast<unsigned char>(text[at]);
    if (lead < 0x80) return {lead, 1, true};
    const Utf8Char malformed{lead, 1, false};
    const std::size_t length = Utf8SequenceLength(lead);
    if (length == 1 || length > text.size() - at) return malformed;
    char32_t code = lead & (0x7Fu >> length);
    for (std::size_t k = 1; k < length; ++k) {
        const auto next = static_cast<unsigned char>(text[at + k]);
        if ((next & 0xC0) != 0x80) return malformed;
        code = (code << 6) | (next & 0x3F);
    }
    constexpr char32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < kLeast[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
        return malformed;
    return {code, length, true};
}

// Whether the bytes are well-formed UTF-8 (no overlong forms, no surrogates).
bool IsValidUtf8(std::string_view text);

// UTF-8 to UTF-16; a malformed sequence becomes U+FFFD.
std::u16string Utf8ToUtf16(std::string_view text);

// UTF-16 to UTF-8; a lone surrogate becomes U+FFFD.
std::string Utf16ToUtf8(std::u16string_view text);

// UTF-16 to UTF-8 only when nothing would be altered: no lone surrogate.
std::optional<std::string> Utf16ToUtf8Exact(std::u16string_view text);

}  // namespace platform::com
