#include "platform/ctl/PropertyPage.h"

#include <new>

#include "platform/com/ModuleState.h"
#include "platform/com/Registration.h"
#include "platform/ui/ModuleStrings.h"
#include "platform/ui/Resources.h"
#include "platform/win/Failure.h"

IMPLEMENT_DYNAMIC_ROOT(COlePropertyPage)

// An empty table: its class name goes unused.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-local-typedefs"
BEGIN_MESSAGE_MAP(COlePropertyPage, CDialog)
END_MESSAGE_MAP()
#pragma GCC diagnostic pop

COlePropertyPage::COlePropertyPage(UINT idDlg, UINT idsCaption)
    : CDialog(idDlg), m_pModuleState(AfxGetModuleState()) {
    // A page alive keeps its module loaded, as a control does.
    AfxOleLockApp();
    const char* caption = platform::ui::FindString(static_cast<int>(idsCaption));
    m_strCaption = caption == nullptr ? "" : caption;
}

COlePropertyPage::~COlePropertyPage() {
    for (IDispatch* object : m_objects) object->Release();
    AfxOleUnlockApp();
}

IUnknown* COlePropertyPage::GetControllingUnknown() {
    return static_cast<IUnknown*>(static_cast<IPropertyPage*>(this));
}

const platform::ui::DialogTemplate* COlePropertyPage::GetPageTemplate() const {
    if (m_lpDialogTemplate != nullptr) return m_lpDialogTemplate;
    AFX_MANAGE_STATE(m_pModuleState);
    return platform::ui::FindDialogTemplate(static_cast<int>(m_nIDTemplate));
}

LPDISPATCH* COlePropertyPage::GetObjectArray(ULONG* pnObjects) {
    if (pnObjects != nullptr) *pnObjects = ULONG(m_objects.size());
    return m_objects.empty() ? nullptr : m_objects.data();
}

void COlePropertyPage::SetModifiedFlag(BOOL bModified) {
    m_bDirty = bModified;
}

BOOL COlePropertyPage::IsModified() const {
    return m_bDirty;
}

HRESULT COlePropertyPage::SetObjects(ULONG cObjects, IUnknown** ppUnk) {
    if (cObjects != 0 && ppUnk == nullptr) return E_POINTER;
    try {
        AFX_MANAGE_STATE(m_pModuleState);
        std::vector<IDispatch*> objects;
        objects.reserve(cObjects);
        for (ULONG i = 0; i < cObjects; ++i) {
            IDispatch* dispatch = nullptr;
            if (ppUnk[i] == nullptr || FAILED(ppUnk[i]->QueryInterface(
                                           IID_IDispatch, reinterpret_cast<void**>(&dispatch)))) {
                for (IDispatch* d : objects) d->Release();
                return E_NOINTERFACE;
            }
            objects.push_back(dispatch);
        }
        for (IDispatch* object : m_objects) object->Release();
        m_objects = std::move(objects);
        return S_OK;
    } catch (const std::bad_alloc&) {
        return HRESULT(E_OUTOFMEMORY);
    }
}

HRESULT COlePropertyPage::Activate(HWND hWndParent, LPCRECT, BOOL) {
    return platform::RunGuardedHr(
        "IPropertyPage::Activate",
        [&]() -> HRESULT {
            AFX_MANAGE_STATE(m_pModuleState);
            if (!IsWindow(hWndParent)) return HRESULT(E_INVALIDARG);
            m_hWnd = hWndParent;
            return OnInitDialog() ? S_OK : E_FAIL;
        },
        E_UNEXPECTED, E_UNEXPECTED);
}

HRESULT COlePropertyPage::Deactivate() {
    m_hWnd = nullptr;
    return S_OK;
}

HRESULT COlePropertyPage::IsPageDirty() {
    return m_bDirty ? S_OK : S_FALSE;
}

HRESULT COlePropertyPage::Apply() {
    return platform::RunGuardedHr(
        "IPropertyPage::Apply",
        [&]() -> HRESULT {
            AFX_MANAGE_STATE(m_pModuleState);
            if (m_hWnd == nullptr) return E_UNEXPECTED;
            return UpdateData(TRUE) ? S_OK : E_FAIL;
        },
        E_UNEXPECTED, E_UNEXPECTED);
}

void DDP_PostProcessing(CDataExchange* pDX) {
    if (pDX == nullptr || !pDX->m_bSaveAndValidate || pDX->Failed()) return;
    if (auto* page = dynamic_cast<COlePropertyPage*>(pDX->m_pDlgWnd)) page->SetModifiedFlag(FALSE);
}
