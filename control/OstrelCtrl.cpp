#include "control/OstrelCtrl.h"

#include <atomic>
#include <mutex>

#include "control/OstrelDispatch.h"
#include "control/OstrelIds.h"
#include "control/OstrelPropPage.h"
#include "control/OstrelResource.h"
#include "control/OstrelTypeLib.h"
#include "platform/ctl/ClassTable.h"

IMPLEMENT_DYNCREATE(COstrelCtrl, COleControl)

BEGIN_MESSAGE_MAP(COstrelCtrl, COleControl)
ON_OLEVERB(AFX_IDS_VERB_PROPERTIES, OnProperties)
END_MESSAGE_MAP()

BEGIN_EVENT_MAP(COstrelCtrl, COleControl)
END_EVENT_MAP()

namespace {

// The property page list, module-wide: filled on the first call and never
// changed afterwards. The filling is done once for all threads, so no caller
// ever sees the list half made.
CLSID g_rgPropPageIDs[1];
std::atomic<LONG> g_cPropPages{-1};
std::once_flag g_propPagesFilled;

// Until the module's factories make its classes known, the property frame
// finds the page here.
const platform::ctl::ModuleClass g_propPageClass(CLSID_OstrelPropPage,
                                                 RUNTIME_CLASS(COstrelPropPage));

}  // namespace

COstrelCtrl::COstrelCtrl() {
    InitializeIIDs(&IID__DOstrel, &IID__DOstrelEvents);
}

COstrelCtrl::~COstrelCtrl() = default;

void COstrelCtrl::OnDraw(CDC* pdc, const CRect& rcBounds, const CRect&) {
    CGdiObject* white = CGdiObject::FromHandle(GetStockObject(WHITE_BRUSH));
    pdc->FillRect(rcBounds, static_cast<CBrush*>(white));
    pdc->Ellipse(rcBounds.left, rcBounds.top, rcBounds.right, rcBounds.bottom);
}

void COstrelCtrl::DoPropExchange(CPropExchange* pPX) {
    ExchangeVersion(pPX, MAKELONG(g_wVerMinor, g_wVerMajor));
    COleControl::DoPropExchange(pPX);
}

void COstrelCtrl::OnResetState() {
    COleControl::OnResetState();
}

HRESULT COstrelCtrl::GetClassID(LPCLSID pClassID) {
    if (pClassID == nullptr) return E_POINTER;
    *pClassID = CLSID_Ostrel;
    return S_OK;
}

LPCLSID COstrelCtrl::GetPropPageIDs(ULONG& cPropPages) {
    std::call_once(g_propPagesFilled, [] {
        g_rgPropPageIDs[0] = CLSID_OstrelPropPage;
        g_cPropPages = 1;
    });
    cPropPages = static_cast<ULONG>(g_cPropPages.load());
    return g_rgPropPageIDs;
}

UINT COstrelCtrl::GetUserTypeNameID() {
    return IDS_CONTROL_NAME;
}

DWORD COstrelCtrl::GetMiscStatus() {
    return kOleMisc;
}

UINT COstrelCtrl::GetTypeInfoCount() {
    return OstrelGetTypeInfoCount();
}

HRESULT COstrelCtrl::GetTypeLib(LCID lcid, LPTYPELIB* ppTypeLib) {
    return OstrelGetTypeLib(lcid, ppTypeLib);
}

CTypeLibCache* COstrelCtrl::GetTypeLibCache() {
    return OstrelGetTypeLibCache();
}

const platform::com::DispatchTable* COstrelCtrl::GetDispatchMap() const {
    return &OstrelDispatchTable();
}
