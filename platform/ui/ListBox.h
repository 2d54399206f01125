#pragma once
// A list box control, over its window messages.

#include "platform/ui/Wnd.h"

class CListBox : public CWnd {
public:
    // The new row's position, or LB_ERR.
    int AddString(LPCTSTR lpszItem);
    int GetCount() const;
    // The selected row, or LB_ERR (-1) when none is.
    int GetCurSel() const;
    // Selects a row; -1 clears the selection. Raises no notification.
    int SetCurSel(int nSelect);
    int GetText(int nIndex, CString& rString) const;
    int GetTextLen(int nIndex) const;
};
