#pragma once
// A control and two property pages made for the framework's suites: the
// control persists a text, a flag and a number besides what the base
// persists, has an automation member and a verb of its own; the pages carry
// templates of their own.

#include <functional>

#include "platform/com/DispatchTable.h"
#include "platform/ctl/Control.h"
#include "platform/ctl/PropertyPage.h"

namespace ostrel::test {

inline constexpr IID kIidTest = platform::com::MakeGuid("{5B0D8A8E-61F2-4C1E-9E55-1D8D3C1A0001}");
inline constexpr IID kIidTestEvents =
    platform::com::MakeGuid("{5B0D8A8E-61F2-4C1E-9E55-1D8D3C1A0002}");
inline constexpr CLSID kClsidTest =
    platform::com::MakeGuid("{5B0D8A8E-61F2-4C1E-9E55-1D8D3C1A0003}");
inline constexpr CLSID kClsidAlpha =
    platform::com::MakeGuid("{5B0D8A8E-61F2-4C1E-9E55-1D8D3C1A0004}");
inline constexpr CLSID kClsidBeta =
    platform::com::MakeGuid("{5B0D8A8E-61F2-4C1E-9E55-1D8D3C1A0005}");
inline constexpr CLSID kClsidNowhere =
    platform::com::MakeGuid("{5B0D8A8E-61F2-4C1E-9E55-1D8D3C1A0006}");

inline constexpr DWORD kTestVersion = 0x00020003;  // 2.3
inline constexpr int kAlphaLabel = 501;
inline constexpr int kBetaLabel = 502;
inline constexpr UINT kUnnamedVerb = 0x7777;  // a string the module does not have

class CTestCtrl : public COleControl {
    DECLARE_DYNCREATE(CTestCtrl)

public:
    CTestCtrl() { InitializeIIDs(&kIidTest, &kIidTestEvents); }

    CString m_strCaption;
    BOOL m_bFlag = FALSE;
    SHORT m_sCount = 0;
    int m_helloCalls = 0;
    AFX_MODULE_STATE* m_stateSeen = nullptr;
    std::function<void()> m_onDraw;
    std::vector<CLSID> m_pages = {kClsidAlpha, kClsidBeta};

    DWORD VersionLoaded() const { return m_dwVersionLoaded; }
    LONG ExtentX() const { return m_cxExtent; }

    void DoPropExchange(CPropExchange* pPX) override {
        ExchangeVersion(pPX, kTestVersion);
        COleControl::DoPropExchange(pPX);
        PX_String(pPX, "Caption", m_strCaption, CString("untitled"));
        PX_Bool(pPX, "Flag", m_bFlag, TRUE);
        PX_Short(pPX, "Count", m_sCount, 7);
    }
    void OnDraw(CDC* pdc, const CRect& rcBounds, const CRect&) override {
        pdc->SelectStockObject(BLACK_BRUSH);
        if (m_onDraw) m_onDraw();
        pdc->Ellipse(rcBounds);
    }
    HRESULT GetClassID(LPCLSID pClassID) override {
        *pClassID = kClsidTest;
        return S_OK;
    }
    LPCLSID GetPropPageIDs(ULONG& cPropPages) override {
        cPropPages = ULONG(m_pages.size());
        return m_pages.data();
    }
    const platform::com::DispatchTable* GetDispatchMap() const override;

    long Ping() {
        m_stateSeen = AfxGetModuleState();
        return 42;
    }
    BOOL OnHello(LPMSG, HWND, LPCRECT) {
        ++m_helloCalls;
        return TRUE;
    }

protected:
    DECLARE_MESSAGE_MAP()
};

// A page whose label shows which page it is, and which counts and can refuse
// the exchanges that save its controls.
class CTestPage : public COlePropertyPage {
public:
    CTestPage(const platform::ui::DialogTemplate* tmpl, LPCTSTR name) : COlePropertyPage(0, 0) {
        InitModalIndirect(tmpl);
        SetPageName(name);
    }
    int m_saves = 0;
    bool m_refuse = false;

    static inline bool s_refuseAll = false;

protected:
    void DoDataExchange(CDataExchange* pDX) override {
        if (pDX->m_bSaveAndValidate) {
            ++m_saves;
            if (m_refuse || s_refuseAll) pDX->Fail();
            SetModifiedFlag(TRUE);
        }
        DDP_PostProcessing(pDX);
    }
};

class CAlphaPage : public CTestPage {
    DECLARE_DYNCREATE(CAlphaPage)
public:
    CAlphaPage();
};

class CBetaPage : public CTestPage {
    DECLARE_DYNCREATE(CBetaPage)
public:
    CBetaPage();
};

}  // namespace ostrel::test
