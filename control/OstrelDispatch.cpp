#include "control/OstrelDispatch.h"

#include "control/OstrelCtrl.h"
#include "control/OstrelIds.h"
#include "control/OstrelTypeLib.h"

using platform::com::DispatchEntry;
using platform::com::DispatchTable;

// The order is fixed: entries without an identifier of their own get their
// position, which the type library gives as their identifier.
const DispatchTable& OstrelDispatchTable() {
    static constexpr DispatchEntry kEntries[] = {
        DISP_FUNCTION(COstrelCtrl, "SignMessage", SignMessage, VT_BSTR, VTS_BSTR),
        DISP_FUNCTION(COstrelCtrl, "VerifyMessage", VerifyMessage, VT_BOOL, VTS_BSTR),
        DISP_FUNCTION(COstrelCtrl, "GetSubjectName", GetSubjectName, VT_BSTR, VTS_BSTR),
        DISP_FUNCTION(COstrelCtrl, "GetSerialNumber", GetSerialNumber, VT_BSTR, VTS_BSTR),
        DISP_FUNCTION(COstrelCtrl, "SignMessageNoPrompt", SignMessageNoPrompt, VT_BSTR,
                      VTS_BSTR VTS_I4),
        DISP_FUNCTION(COstrelCtrl, "ChooseCertificate", ChooseCertificate, VT_I4, VTS_NONE),
        DISP_FUNCTION_ID(COstrelCtrl, "AboutBox", DISPID_ABOUTBOX, AboutBox, VT_EMPTY, VTS_NONE),
    };
    static constexpr DispatchTable kTable = platform::com::MakeDispatchTable<COstrelCtrl>(kEntries);
    return kTable;
}

HRESULT CreateOstrelDispatch(COstrelCtrl& control, IDispatch** ppDispatch) {
    if (ppDispatch == nullptr) return E_POINTER;
    *ppDispatch = nullptr;
    try {
        platform::com::AutomationOptions options;
        options.table = &OstrelDispatchTable();
        options.object = platform::com::MakeDispatchObject(control);
        options.dispatchIid = IID__DOstrel;
        options.clsid = CLSID_Ostrel;
        options.sourceIids = {IID__DOstrelEvents};
        options.getTypeLib = &OstrelGetTypeLib;
        options.getTypeLibCache = &OstrelGetTypeLibCache;
        options.moduleState = AfxGetStaticModuleState();
        return platform::com::CreateAutomationObject(std::move(options), IID_IDispatch,
                                                     reinterpret_cast<void**>(ppDispatch));
    } catch (...) {
        return HRESULT(E_OUTOFMEMORY);
    }
}
