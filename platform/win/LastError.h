#pragma once
// The calling thread's last-error code.

#include "platform/win/WinTypes.h"

DWORD GetLastError();
void SetLastError(DWORD code);
