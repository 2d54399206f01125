#include "control/OstrelFactories.h"

#include "control/OstrelCtrl.h"
#include "control/OstrelIds.h"
#include "control/OstrelPropPage.h"
#include "control/OstrelResource.h"
#include "control/OstrelSigner.h"

#include "platform/com/Resource.h"

COstrelCtrlFactory::COstrelCtrlFactory()
    : COleObjectFactory(CLSID_Ostrel, RUNTIME_CLASS(COstrelCtrl), FALSE, "OSTREL.OstrelCtrl.1") {}

BOOL COstrelCtrlFactory::UpdateRegistry(BOOL bRegister) {
    if (bRegister)
        return AfxOleRegisterControlClass(AfxGetInstanceHandle(), m_clsid, m_lpszProgID,
                                          IDS_CONTROL_NAME, IDB_TOOLBOX, afxRegApartmentThreading,
                                          COstrelCtrl::kOleMisc, LIBID_OSTRELLib, g_wVerMajor,
                                          g_wVerMinor);
    return AfxOleUnregisterClass(m_clsid, m_lpszProgID);
}

COstrelPropPageFactory::COstrelPropPageFactory()
    : COleObjectFactory(CLSID_OstrelPropPage, RUNTIME_CLASS(COstrelPropPage), FALSE,
                        "OSTREL.OstrelPropPage.1") {}

BOOL COstrelPropPageFactory::UpdateRegistry(BOOL bRegister) {
    if (bRegister)
        return AfxOleRegisterPropertyPageClass(AfxGetInstanceHandle(), m_clsid, IDS_PROPPAGE_NAME,
                                               0);
    return AfxOleUnregisterClass(m_clsid, nullptr);
}

namespace {

// The signer's type name, as registered (the module's resources hold the
// control's alone).
constexpr char kSignerTypeName[] = "Ostrel Signer";

}  // namespace

COstrelSignerFactory::COstrelSignerFactory()
    : COleObjectFactory(CLSID_OstrelSigner, nullptr, FALSE, kSignerProgID) {}

// An automation object in process: its class with the module as server,
// both program identifiers (the version-independent one names the current
// version), and its type library; nothing that marks a control.
BOOL COstrelSignerFactory::UpdateRegistry(BOOL bRegister) {
    if (bRegister)
        return AfxOleRegisterAutomationClass(
            AfxGetInstanceHandle(), m_clsid, kSignerProgID, kSignerVersionIndependentProgID,
            kSignerTypeName, afxRegApartmentThreading, LIBID_OSTRELLib, g_wVerMajor, g_wVerMinor);
    // Each call removes the class key (gone after the first) and one of the
    // two program identifiers.
    return AfxOleUnregisterClass(m_clsid, kSignerProgID) &&
                   AfxOleUnregisterClass(m_clsid, kSignerVersionIndependentProgID)
               ? TRUE
               : FALSE;
}

IUnknown* COstrelSignerFactory::OnCreateObject() {
    IUnknown* object = nullptr;
    if (FAILED(CreateOstrelSigner(IID_IUnknown, reinterpret_cast<void**>(&object)))) return nullptr;
    return object;
}
