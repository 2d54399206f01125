#include "control/OstrelPropPage.h"

#include "control/OstrelIds.h"

IMPLEMENT_DYNCREATE(COstrelPropPage, COlePropertyPage)

// The page handles nothing itself: an empty table over the framework page's.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-local-typedefs"
BEGIN_MESSAGE_MAP(COstrelPropPage, COlePropertyPage)
END_MESSAGE_MAP()
#pragma GCC diagnostic pop

COstrelPropPage::COstrelPropPage() : COlePropertyPage(IDD, IDS_PROPPAGE_CAPTION) {}

void COstrelPropPage::DoDataExchange(CDataExchange* pDX) {
    DDP_PostProcessing(pDX);
}

HRESULT COstrelPropPage::GetClassID(LPCLSID pClassID) {
    if (pClassID == nullptr) return E_POINTER;
    *pClassID = CLSID_OstrelPropPage;
    return S_OK;
}
