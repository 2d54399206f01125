#pragma once
// Names compared without regard to case: window classes, property, member
// and parameter names, answers typed at a prompt. Only the ASCII letters
// fold; every other code unit (the bytes of a UTF-8 sequence, a UTF-16 unit
// beyond ASCII) has to match as it is. The locale plays no part, so a name
// matches the same way in every process, whatever its host set up.

#include <algorithm>
#include <cstddef>
#include <string>
#include <string_view>
#include <type_traits>

namespace platform::text {

// `c` with A-Z lowered.
template <class Char>
requires std::is_integral_v<Char>
constexpr Char LowerAscii(Char c) {
    return c >= Char('A') && c <= Char('Z') ? Char(c - Char('A') + Char('a')) : c;
}

namespace detail {
template <class Char>
constexpr int CompareNoCase(std::basic_string_view<Char> a, std::basic_string_view<Char> b) {
    using Unit = std::make_unsigned_t<Char>;
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        const auto x = Unit(LowerAscii(a[i])), y = Unit(LowerAscii(b[i]));
        if (x != y) return x < y ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}
}  // namespace detail

// Less than, equal to or greater than 0 as `a` sorts before, with or after
// `b` once A-Z are lowered; other bytes sort by their unsigned value, and a
// name sorts before the longer names it begins.
constexpr int CompareNoCase(std::string_view a, std::string_view b) {
    return detail::CompareNoCase(a, b);
}

constexpr bool EqualsNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && detail::CompareNoCase(a, b) == 0;
}

// The same for UTF-16 text: only the ASCII letters fold.
constexpr bool EqualsNoCase(std::u16string_view a, std::u16string_view b) {
    return a.size() == b.size() && detail::CompareNoCase(a, b) == 0;
}

// `text` with A-Z lowered.
inline std::string LowerAscii(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = LowerAscii(c);
    return out;
}

}  // namespace platform::text
