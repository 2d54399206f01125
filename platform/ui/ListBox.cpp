#include "platform/ui/ListBox.h"

#include <string>

int CListBox::AddString(LPCTSTR lpszItem) {
    return static_cast<int>(
        ::SendMessageA(m_hWnd, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(lpszItem)));
}

int CListBox::GetCount() const {
    return static_cast<int>(::SendMessageA(m_hWnd, LB_GETCOUNT, 0, 0));
}

int CListBox::GetCurSel() const {
    return static_cast<int>(::SendMessageA(m_hWnd, LB_GETCURSEL, 0, 0));
}

int CListBox::SetCurSel(int nSelect) {
    return static_cast<int>(::SendMessageA(
        m_hWnd, LB_SETCURSEL, static_cast<WPARAM>(static_cast<std::intptr_t>(nSelect)), 0));
}

int CListBox::GetTextLen(int nIndex) const {
    return static_cast<int>(::SendMessageA(
        m_hWnd, LB_GETTEXTLEN, static_cast<WPARAM>(static_cast<std::intptr_t>(nIndex)), 0));
}

int CListBox::GetText(int nIndex, CString& rString) const {
    const int length = GetTextLen(nIndex);
    if (length < 0) {
        rString.Empty();
        return length;
    }
    std::string text(std::size_t(length) + 1, '\0');
    const int copied = static_cast<int>(
        ::SendMessageA(m_hWnd, LB_GETTEXT, static_cast<WPARAM>(static_cast<std::intptr_t>(nIndex)),
                       reinterpret_cast<LPARAM>(text.data())));
    text.resize(std::size_t(copied < 0 ? 0 : copied));
    rString = CString(std::move(text));
    return copied;
}
