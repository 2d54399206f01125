#pragma once
// The control's automation surface: its dispatch table, and an automation
// object over a control for callers that hold a control directly.

#include "platform/com/Automation.h"
#include "platform/com/DispatchTable.h"

class COstrelCtrl;

// The dispatch table of COstrelCtrl; its members are called on a COstrelCtrl
// (platform::com::MakeDispatchObject of the control).
const platform::com::DispatchTable& OstrelDispatchTable();

// An automation object over `control`: IDispatch (also as _DOstrel) on the
// table, type information from the registered library, IProvideClassInfo for
// the class Ostrel, and the connection point of _DOstrelEvents. The control
// must outlive the object.
HRESULT CreateOstrelDispatch(COstrelCtrl& control, IDispatch** ppDispatch);
