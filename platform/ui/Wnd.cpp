#include "platform/ui/Wnd.h"

#include "platform/ui/DataExchange.h"
#include "platform/ui/WindowImpl.h"

CWnd::CWnd() = default;

CWnd::~CWnd() {
    // A window must not keep calling an object that is gone.
    if (m_hWnd != nullptr && IsWindow(m_hWnd) && m_hWnd->attached == this)
        m_hWnd->attached = nullptr;
}

CWnd* CWnd::GetDlgItem(int nID) const {
    HWND child = ::GetDlgItem(m_hWnd, nID);
    if (child == nullptr) return nullptr;
    if (child->attached != nullptr) return child->attached;
    if (!child->temporary) {
        child->temporary = std::make_unique<CWnd>();
        child->temporary->m_hWnd = child;
    }
    return child->temporary.get();
}

BOOL CWnd::ShowWindow(int nCmdShow) {
    return ::ShowWindow(m_hWnd, nCmdShow);
}

BOOL CWnd::IsWindowVisible() const {
    return ::IsWindowVisible(m_hWnd);
}

BOOL CWnd::UpdateData(BOOL bSaveAndValidate) {
    CDataExchange dx(this, bSaveAndValidate);
    DoDataExchange(&dx);
    return dx.Failed() ? FALSE : TRUE;
}

BOOL CWnd::SubclassDlgItem(UINT nID, CWnd* pParent) {
    HWND child =
        pParent == nullptr ? nullptr : ::GetDlgItem(pParent->m_hWnd, static_cast<int>(nID));
    if (child == nullptr || child->attached != nullptr) return FALSE;
    m_hWnd = child;
    child->attached = this;
    return TRUE;
}

void CWnd::DoDataExchange(CDataExchange*) {}

BOOL CWnd::OnInitDialog() {
    return TRUE;
}

void CWnd::OnClose() {
    platform::ui::DefaultClose(m_hWnd);
}

LRESULT CWnd::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_INITDIALOG:
            return OnInitDialog();
        case WM_COMMAND:
            return OnCommand(wParam, lParam);
        case WM_CLOSE:
            OnClose();
            return 0;
        default:
            return 0;
    }
}

BOOL CWnd::OnCommand(WPARAM wParam, LPARAM) {
    const UINT nID = LOWORD(wParam);
    const UINT nCode = HIWORD(wParam);
    for (const AFX_MSGMAP* map = GetMessageMap(); map != nullptr;
         map = map->pfnGetBaseMap == nullptr ? nullptr : map->pfnGetBaseMap()) {
        for (const AFX_MSGMAP_ENTRY* e = map->lpEntries; e != nullptr && e->nSig != AfxSig_end;
             ++e) {
            if (e->nMessage != WM_COMMAND || e->nCode != nCode) continue;
            if (nID < (e->nID & 0xFFFF) || nID > (e->nLastID & 0xFFFF)) continue;
            (this->*(e->pfn))();
            return TRUE;
        }
    }
    return FALSE;
}

const AFX_MSGMAP* CWnd::GetThisMessageMap() {
    static const AFX_MSGMAP_ENTRY kEntries[] = {{0, 0, 0, 0, AfxSig_end, nullptr}};
    static const AFX_MSGMAP kMap = {nullptr, &kEntries[0]};
    return &kMap;
}

const AFX_MSGMAP* CWnd::GetMessageMap() const {
    return GetThisMessageMap();
}
