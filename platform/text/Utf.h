#pragma once
// Conversions between the platform's 8-bit code page (UTF-8) and UTF-16.

#include <optional>
#include <string>
#include <string_view>

namespace platform::com {

// Whether the bytes are well-formed UTF-8 (no overlong forms, no surrogates).
bool IsValidUtf8(std::string_view text);

// UTF-8 to UTF-16; a malformed sequence becomes U+FFFD.
std::u16string Utf8ToUtf16(std::string_view text);

// UTF-16 to UTF-8; a lone surrogate becomes U+FFFD.
std::string Utf16ToUtf8(std::u16string_view text);

// UTF-16 to UTF-8 only when nothing would be altered: no lone surrogate.
std::optional<std::string> Utf16ToUtf8Exact(std::u16string_view text);

}  // namespace platform::com
