#pragma once
// Automation strings: UTF-16, length-prefixed, NUL-terminated. The null string
// (no allocation) and the empty string (an allocation of length zero) differ.

#include <string>
#include <string_view>

#include "platform/win/WinTypes.h"

using OLECHAR = char16_t;
using BSTR = OLECHAR*;
using LPCOLESTR = const OLECHAR*;

BSTR SysAllocString(LPCOLESTR psz);
BSTR SysAllocStringLen(LPCOLESTR strIn, UINT ui);
// Gives *pbstr room for exactly `len` characters, keeping its address where it
// can: the characters are copied from `psz` (which may lie inside the old
// string), or with `psz` null the old ones are kept and any new ones are left
// unset. FALSE, with the old string untouched, when there is no memory.
int SysReAllocStringLen(BSTR* pbstr, LPCOLESTR psz, UINT len);
void SysFreeString(BSTR bstrString);
UINT SysStringLen(BSTR pbstr);
UINT SysStringByteLen(BSTR bstr);

namespace platform::com {
// Owns one automation string, for hosts and tests.
class Bstr {
public:
    Bstr() = default;
    explicit Bstr(BSTR owned) : m_bstr(owned) {}
    ~Bstr() { SysFreeString(m_bstr); }
    Bstr(Bstr&& other) noexcept : m_bstr(other.Release()) {}
    Bstr& operator=(Bstr&& other) noexcept {
        if (this != &other) {
            SysFreeString(m_bstr);
            m_bstr = other.Release();
        }
        return *this;
    }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;

    BSTR Get() const { return m_bstr; }
    BSTR Release() {
        BSTR b = m_bstr;
        m_bstr = nullptr;
        return b;
    }
    bool IsNull() const { return m_bstr == nullptr; }
    std::u16string_view View() const { return {m_bstr, SysStringLen(m_bstr)}; }
    // The text in the 8-bit code page.
    std::string Utf8() const;

private:
    BSTR m_bstr = nullptr;
};

// An automation string made from UTF-8 text that arrives in pieces (a file as
// it is read, or a large text a window at a time), so that the text is never
// held whole a second time in UTF-16 on its way into the string. A sequence
// cut between two pieces is joined again; a malformed one becomes U+FFFD, as
// Utf8ToUtf16 makes it. Throws std::bad_alloc when memory runs out.
class BstrBuilder {
public:
    BstrBuilder();
    // Room for a text of `bytes` bytes of UTF-8, which never needs more
    // characters than it has bytes.
    void Reserve(std::size_t bytes);
    void Append(std::string_view piece);
    // Whether the bytes appended so far were all well-formed UTF-8 (a
    // sequence still cut at the end counts once Finish has seen it).
    bool WellFormed() const { return m_wellFormed; }
    // The string, exactly as long as its text.
    Bstr Finish();

private:
    void Convert(std::string_view complete);
    void Grow(std::size_t characters);

    Bstr m_text;
    std::size_t m_length = 0;    // characters written
    std::size_t m_capacity = 0;  // characters the string has room for
    char m_pending[4] = {};      // the start of a sequence cut at the end of a piece
    std::size_t m_pendingSize = 0;
    bool m_wellFormed = true;
};
}  // namespace platform::com
