#pragma once
// A property page: a dialog template shown inside a host's property frame,
// with the objects whose properties it edits. A page class derives from
// COlePropertyPage, names its template and caption, and binds its controls
// in DoDataExchange, ending with DDP_PostProcessing:
//
//   CMyPropPage::CMyPropPage() : COlePropertyPage(IDD, IDS_CAPTION) {}
//   void CMyPropPage::DoDataExchange(CDataExchange* pDX) { DDP_PostProcessing(pDX); }

#include <vector>

#include "platform/com/ModuleState.h"
#include "platform/com/Unknown.h"
#include "platform/ctl/OleInterfaces.h"
#include "platform/ctl/RuntimeClass.h"
#include "platform/ui/Dialog.h"

class COlePropertyPage : public CDialog, public platform::com::ComObject<IPropertyPage> {
    DECLARE_DYNAMIC_ROOT(COlePropertyPage)

public:
    // The page's template and the string resource of its caption.
    COlePropertyPage(UINT idDlg, UINT idsCaption);
    ~COlePropertyPage() override;

    IUnknown* GetControllingUnknown();

    const CString& GetCaption() const { return m_strCaption; }
    void SetPageName(LPCTSTR lpszPageName) { m_strCaption = lpszPageName; }
    // The template the frame shows: the one given to InitModalIndirect, else
    // the module's of the page's identifier; null when there is none.
    const platform::ui::DialogTemplate* GetPageTemplate() const;
    // The objects the page edits, as their dispatch interfaces.
    LPDISPATCH* GetObjectArray(ULONG* pnObjects);

    void SetModifiedFlag(BOOL bModified = TRUE);
    BOOL IsModified() const;

    // --- IPropertyPage
    HRESULT SetObjects(ULONG cObjects, IUnknown** ppUnk) override;
    // Shows the page in the frame window: its controls are the frame's.
    HRESULT Activate(HWND hWndParent, LPCRECT pRect, BOOL bModal) override;
    HRESULT Deactivate() override;
    HRESULT IsPageDirty() override;
    // Moves what the controls hold into the objects (DoDataExchange saving).
    HRESULT Apply() override;

protected:
    DECLARE_MESSAGE_MAP()

private:
    CString m_strCaption;
    std::vector<IDispatch*> m_objects;  // one reference each
    BOOL m_bDirty = FALSE;
    AFX_MODULE_STATE* m_pModuleState;
};

// Ends a page's data exchange: when saving, the page's changes have reached
// its objects and it is no longer modified.
void DDP_PostProcessing(CDataExchange* pDX);
