#pragma once
// An automation object: IDispatch over a dispatch table, with the object's
// type information, its class information and its connection points, as the
// framework gives them to a class that enables automation.

#include <functional>
#include <memory>
#include <vector>

#include "platform/com/ConnectionPoint.h"
#include "platform/com/DispatchTable.h"
#include "platform/com/ModuleState.h"
#include "platform/com/TypeInfo.h"

namespace platform::com {

struct AutomationOptions {
    const DispatchTable* table = nullptr;
    DispatchObject object;  // what the table's members are called on
    // The dispatch interface the object answers for, besides IDispatch; its
    // type information is what GetTypeInfo hands out.
    IID dispatchIid = IID_NULL;
    // The class, whose description IProvideClassInfo hands out; GUID_NULL:
    // the object does not offer IProvideClassInfo.
    CLSID clsid = GUID_NULL;
    // Outgoing interfaces, one connection point each; none: the object does
    // not offer IConnectionPointContainer.
    std::vector<IID> sourceIids;
    // The library that describes the object (empty: no type information),
    // and the cache to look it up through (may return null).
    std::function<HRESULT(LCID, ITypeLib**)> getTypeLib;
    std::function<CTypeLibCache*()> getTypeLibCache;
    // Made current during every call from a client; null: the state current
    // when the object is created.
    AFX_MODULE_STATE* moduleState = nullptr;
    // Kept alive as long as the object (the target, when the object owns it).
    std::shared_ptr<void> keepAlive;
};

// A new automation object, handed out as `riid` with one reference.
HRESULT CreateAutomationObject(AutomationOptions options, REFIID riid, void** ppv);

}  // namespace platform::com
