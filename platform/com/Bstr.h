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
}  // namespace platform::com
