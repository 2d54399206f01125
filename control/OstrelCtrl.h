#pragma once
// The control class. Its automation methods are defined in the folder of the
// subsystem that does the work (signing/, chooser/, inspect/), its codecs and
// error text beside them; what it is as a control (drawing, persistence,
// verbs, pages) is in OstrelCtrl.cpp.

#include "platform/crypt/WinCrypt.h"
#include "platform/ctl/Control.h"
#include "platform/text/Bstr.h"
#include "platform/text/CString.h"
#include "platform/win/WinTypes.h"

class COstrelCtrl : public COleControl {
    DECLARE_DYNCREATE(COstrelCtrl)

public:
    COstrelCtrl();
    ~COstrelCtrl() override;

    // What the control tells its hosts it is, as registered and as asked:
    // invisible at run time, set up with its client site first, activated
    // inside-out, never linked inside, recomposed when resized.
    static constexpr DWORD kOleMisc = OLEMISC_SETCLIENTSITEFIRST | OLEMISC_INVISIBLEATRUNTIME |
                                      OLEMISC_INSIDEOUT | OLEMISC_CANTLINKINSIDE |
                                      OLEMISC_RECOMPOSEONRESIZE;

    // Automation methods.
    BSTR SignMessage(LPCTSTR Message);
    BOOL VerifyMessage(LPCTSTR SignedMessage);
    BSTR GetSubjectName(LPCTSTR SignedMessage);
    BSTR GetSerialNumber(LPCTSTR SignedMessage);
    BSTR SignMessageNoPrompt(LPCTSTR Message, long CertIndex);
    long ChooseCertificate();
    void AboutBox();

    // Overrides of the framework's control.
    void OnDraw(CDC* pdc, const CRect& rcBounds, const CRect& rcInvalid) override;
    void DoPropExchange(CPropExchange* pPX) override;
    void OnResetState() override;
    HRESULT GetClassID(LPCLSID pClassID) override;
    LPCLSID GetPropPageIDs(ULONG& cPropPages) override;
    UINT GetUserTypeNameID() override;
    DWORD GetMiscStatus() override;
    UINT GetTypeInfoCount() override;
    HRESULT GetTypeLib(LCID lcid, LPTYPELIB* ppTypeLib) override;
    CTypeLibCache* GetTypeLibCache() override;
    const platform::com::DispatchTable* GetDispatchMap() const override;

    // The interface forms of the framework's operations stay reachable.
    using COleControl::GetMiscStatus;
    using COleControl::GetTypeInfoCount;

protected:
    DECLARE_MESSAGE_MAP()
    DECLARE_EVENT_MAP()

private:
    friend struct OstrelCtrlTestAccess;  // the test suites' view of the private codecs

    // Signing: the pipeline shared by both signing methods; a negative index
    // lets the user choose.
    BSTR SignWithIndex(LPCTSTR Message, long CertIndex);
    PCCERT_CONTEXT FindCertificateByIndex(HCERTSTORE hStore, long nIndex);
    CString EncodeBase64(const BYTE* data, int count);
    char Base64Char(BYTE value);

    // Inspection.
    void DecodeHex(const char* text, int length, BYTE* out);
    void EncodeHex(const BYTE* data, int count, char* out);
};
