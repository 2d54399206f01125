#include "platform/text/CString.h"

#include <algorithm>

#include "platform/text/Utf.h"

int CString::Find(LPCSTR sub, int start) const {
    if (sub == nullptr || start < 0 || start > GetLength()) return -1;
    const auto at = m_text.find(sub, std::size_t(start));
    return at == std::string::npos ? -1 : static_cast<int>(at);
}

int CString::Find(char c, int start) const {
    if (start < 0 || start > GetLength()) return -1;
    const auto at = m_text.find(c, std::size_t(start));
    return at == std::string::npos ? -1 : static_cast<int>(at);
}

CString CString::Mid(int first) const {
    return Mid(first, GetLength());
}

CString CString::Mid(int first, int count) const {
    first = std::clamp(first, 0, GetLength());
    count = std::clamp(count, 0, GetLength() - first);
    return CString(m_text.substr(std::size_t(first), std::size_t(count)));
}

CString CString::Left(int count) const {
    return Mid(0, count);
}

BSTR CString::AllocSysString() const {
    const std::u16string wide = platform::com::Utf8ToUtf16(m_text);
    return SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
}
