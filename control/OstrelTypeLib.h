#pragma once
// The control's type library: its image built into the module, and the
// type-library operations of the control.

#include <span>

#include "platform/com/ModuleState.h"
#include "platform/com/TypeInfo.h"

// The image of OSTRELLib, made by the build from its description.
std::span<const BYTE> OstrelTypeLibImage();

// The control has one type description to hand out: _DOstrel.
UINT OstrelGetTypeInfoCount();
// The registered library OSTRELLib 1.1 for the locale; the loader's result
// unchanged.
HRESULT OstrelGetTypeLib(LCID lcid, LPTYPELIB* ppTypeLib);
// The module's cache for OSTRELLib, looked up in the module's own state.
CTypeLibCache* OstrelGetTypeLibCache();
