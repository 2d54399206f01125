#pragma once
// Data exchange between a dialog's controls and the members of its class.
// A class lists its bindings once, in DoDataExchange; UpdateData runs them in
// either direction.

#include "platform/text/CString.h"
#include "platform/ui/WinUser.h"

class CWnd;

class CDataExchange {
public:
    CDataExchange(CWnd* pDlgWnd, BOOL bSaveAndValidate);

    BOOL m_bSaveAndValidate;  // TRUE: controls to members; FALSE: members to controls
    CWnd* m_pDlgWnd;

    // The control with this identifier, or null (and the exchange fails) when
    // the dialog has none.
    HWND PrepareCtrl(int nIDC);
    // Stops the exchange: the remaining bindings are skipped and UpdateData
    // reports failure.
    void Fail();
    bool Failed() const { return m_failed; }

private:
    bool m_failed = false;
};

// Attaches `rControl` to the control, once.
void DDX_Control(CDataExchange* pDX, int nIDC, CWnd& rControl);
// The selected row of a list box; -1 for none.
void DDX_LBIndex(CDataExchange* pDX, int nIDC, int& index);
// The text of a control.
void DDX_Text(CDataExchange* pDX, int nIDC, CString& value);
