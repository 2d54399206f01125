#pragma once
// The framework's 8-bit string value.

#include <string>
#include <string_view>

#include "platform/text/Bstr.h"
#include "platform/win/WinTypes.h"

class CString {
public:
    CString() = default;
    CString(LPCSTR text) : m_text(text == nullptr ? "" : text) {}
    CString(LPCSTR text, int length) : m_text(text, length < 0 ? 0 : std::size_t(length)) {}
    explicit CString(std::string text) : m_text(std::move(text)) {}

    CString& operator=(LPCSTR text) {
        m_text = text == nullptr ? "" : text;
        return *this;
    }
    CString& operator+=(const CString& other) {
        m_text += other.m_text;
        return *this;
    }
    CString& operator+=(LPCSTR text) {
        if (text != nullptr) m_text += text;
        return *this;
    }
    CString& operator+=(char c) {
        m_text += c;
        return *this;
    }
    friend CString operator+(const CString& a, const CString& b) {
        return CString(a.m_text + b.m_text);
    }
    friend CString operator+(const CString& a, LPCSTR b) {
        CString r(a);
        r += b;
        return r;
    }
    friend bool operator==(const CString& a, const CString& b) = default;
    friend bool operator==(const CString& a, LPCSTR b) { return a.m_text == (b ? b : ""); }

    operator LPCSTR() const { return m_text.c_str(); }
    LPCSTR GetString() const { return m_text.c_str(); }
    int GetLength() const { return static_cast<int>(m_text.size()); }
    bool IsEmpty() const { return m_text.empty(); }
    void Empty() { m_text.clear(); }

    // Position of the first occurrence at or after `start`, or -1.
    int Find(LPCSTR sub, int start = 0) const;
    int Find(char c, int start = 0) const;
    CString Mid(int first) const;
    CString Mid(int first, int count) const;
    CString Left(int count) const;

    // A new automation string holding the text converted from the 8-bit code page.
    BSTR AllocSysString() const;

    const std::string& Str() const { return m_text; }

private:
    std::string m_text;
};
