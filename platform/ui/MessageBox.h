#pragma once
// Modal message boxes.

#include "platform/win/WinTypes.h"

inline constexpr UINT MB_OK = 0x00000000;
inline constexpr UINT MB_ICONHAND = 0x00000010;
inline constexpr UINT MB_ICONERROR = MB_ICONHAND;
inline constexpr UINT MB_ICONSTOP = MB_ICONHAND;
inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;

// Shows `text` in a modal box of the given style and returns the button that
// dismissed it. The thread's last-error code is left as it was.
int AfxMessageBox(LPCSTR lpszText, UINT nType = MB_OK, UINT nIDHelp = 0);
