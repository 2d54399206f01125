#pragma once
// The property frame: a modal dialog that shows the property pages of one or
// more objects, a list of the pages' captions to move between them, and OK,
// Cancel and Apply. Pages are made by class identifier among the module's
// classes (ClassTable.h) and must be framework pages (COlePropertyPage),
// whose templates the frame lays out inside its own.

#include "platform/ctl/OleInterfaces.h"

// The list of pages, and the Apply button.
inline constexpr int AFX_IDC_TAB_CONTROL = 0x3020;
inline constexpr int ID_APPLY_NOW = 0x3021;

// Shows the frame, captioned "<lpszCaption> Properties", and returns when the
// user has closed it: S_OK whether by OK or Cancel; the failure of a page
// that cannot be made; E_FAIL when the frame cannot be shown.
HRESULT OleCreatePropertyFrame(HWND hwndOwner, UINT x, UINT y, LPCOLESTR lpszCaption,
                               ULONG cObjects, LPUNKNOWN* ppUnk, ULONG cPages, LPCLSID pPageClsID,
                               LCID lcid, DWORD dwReserved, LPVOID pvReserved);
