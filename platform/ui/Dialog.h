#pragma once
// Modal dialogs made from templates. A dialog class derives from CDialog,
// binds its members in DoDataExchange and handles commands through its
// message map; which backend shows it is none of its business.

#include "platform/ui/DataExchange.h"
#include "platform/ui/DialogTemplate.h"
#include "platform/ui/Wnd.h"

class CDialog : public CWnd {
public:
    CDialog();
    explicit CDialog(UINT nIDTemplate, CWnd* pParentWnd = nullptr);
    ~CDialog() override;

    // For a dialog made from a template in memory rather than a resource.
    BOOL InitModalIndirect(const platform::ui::DialogTemplate* lpDialogTemplate,
                           CWnd* pParentWnd = nullptr);

    // Shows the dialog and returns when it has ended: the code it ended with
    // (IDOK, IDCANCEL, ...), or -1 when it could not be created.
    virtual INT_PTR DoModal();
    void EndDialog(int nResult);

    BOOL OnInitDialog() override;

protected:
    virtual void OnOK();
    virtual void OnCancel();

    UINT m_nIDHelp = 0;
    UINT m_nIDTemplate = 0;
    const platform::ui::DialogTemplate* m_lpDialogTemplate = nullptr;
    CWnd* m_pParentWnd = nullptr;

    DECLARE_MESSAGE_MAP()
};

// Makes the rich edit control available to dialog templates; call it before
// creating a dialog that has one.
BOOL AfxInitRichEdit();
