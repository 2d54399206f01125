#include "platform/ui/DataExchange.h"

#include "platform/ui/WindowImpl.h"
#include "platform/ui/Wnd.h"

CDataExchange::CDataExchange(CWnd* pDlgWnd, BOOL bSaveAndValidate)
    : m_bSaveAndValidate(bSaveAndValidate), m_pDlgWnd(pDlgWnd) {}

HWND CDataExchange::PrepareCtrl(int nIDC) {
    if (m_failed) return nullptr;
    HWND control = m_pDlgWnd == nullptr ? nullptr : ::GetDlgItem(m_pDlgWnd->m_hWnd, nIDC);
    if (control == nullptr) Fail();
    return control;
}

void CDataExchange::Fail() {
    m_failed = true;
}

void DDX_Control(CDataExchange* pDX, int nIDC, CWnd& rControl) {
    if (rControl.m_hWnd != nullptr) return;
    HWND control = pDX->PrepareCtrl(nIDC);
    if (control == nullptr) return;
    if (!rControl.SubclassDlgItem(static_cast<UINT>(nIDC), pDX->m_pDlgWnd)) pDX->Fail();
}

void DDX_LBIndex(CDataExchange* pDX, int nIDC, int& index) {
    HWND control = pDX->PrepareCtrl(nIDC);
    if (control == nullptr) return;
    // Remembered so that the record of the dialog's end can say what the
    // dialog's member holds.
    control->boundIndex = &index;
    if (pDX->m_bSaveAndValidate)
        index = static_cast<int>(::SendMessageA(control, LB_GETCURSEL, 0, 0));
    else
        ::SendMessageA(control, LB_SETCURSEL,
                       static_cast<WPARAM>(static_cast<std::intptr_t>(index)), 0);
}

void DDX_Text(CDataExchange* pDX, int nIDC, CString& value) {
    HWND control = pDX->PrepareCtrl(nIDC);
    if (control == nullptr) return;
    if (pDX->m_bSaveAndValidate) {
        const int length = ::GetWindowTextLengthA(control);
        std::string text(std::size_t(length) + 1, '\0');
        const int copied = ::GetWindowTextA(control, text.data(), length + 1);
        text.resize(std::size_t(copied < 0 ? 0 : copied));
        value = CString(std::move(text));
    } else {
        ::SetWindowTextA(control, value);
    }
}
