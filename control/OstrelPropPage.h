#pragma once
// The control's property page, "General". The control has no properties to
// edit, so the page shows only its text.

#include "control/OstrelResource.h"
#include "platform/ctl/PropertyPage.h"

class COstrelPropPage : public COlePropertyPage {
    DECLARE_DYNCREATE(COstrelPropPage)

public:
    COstrelPropPage();

    enum { IDD = IDD_PROPPAGE };

    virtual HRESULT GetClassID(LPCLSID pClassID);

protected:
    void DoDataExchange(CDataExchange* pDX) override;

    DECLARE_MESSAGE_MAP()
};
