#include "control/OstrelFactories.h"

#include "control/OstrelCtrl.h"
#include "control/OstrelIds.h"
#include "control/OstrelPropPage.h"
#include "control/OstrelResource.h"

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
