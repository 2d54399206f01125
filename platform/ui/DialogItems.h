#pragma once
// Reaching a dialog's controls by position, for controls that have no
// identifier of their own (many share -1): the position is the control's
// place in the template.

#include "platform/ui/WinUser.h"

// The control at that position, or null (ERROR_CONTROL_ID_NOT_FOUND).
HWND GetDlgItemByIndex(HWND hDlg, int index);
