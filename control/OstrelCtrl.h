#pragma once
// The control class. Its automation methods are defined in the folder of the
// subsystem that does the work (signing/, chooser/, inspect/), its codecs and
// error text beside them.

#include "platform/com/Bstr.h"
#include "platform/com/CString.h"
#include "platform/crypt/WinCrypt.h"
#include "platform/win/WinTypes.h"

class COstrelCtrl {
public:
    COstrelCtrl();
    ~COstrelCtrl();

    // Automation methods.
    BSTR SignMessage(LPCTSTR Message);
    BOOL VerifyMessage(LPCTSTR SignedMessage);
    BSTR GetSubjectName(LPCTSTR SignedMessage);
    BSTR GetSerialNumber(LPCTSTR SignedMessage);
    BSTR SignMessageNoPrompt(LPCTSTR Message, long CertIndex);
    long ChooseCertificate();
    void AboutBox();

private:
    friend struct OstrelCtrlTestAccess;  // the test suites' view of the private codecs

    // Signing: the pipeline shared by both signing methods; a negative index
    // lets the user choose.
    BSTR SignWithIndex(LPCTSTR Message, long CertIndex);
    PCCERT_CONTEXT FindCertificateByIndex(HCERTSTORE hStore, long nIndex);
    CString EncodeBase64(const BYTE* data, int count);
    char Base64Char(BYTE value);

    // Error reporting.
    CString GetSystemErrorText();

    // Inspection.
    void DecodeHex(const char* text, int length, BYTE* out);
    void EncodeHex(const BYTE* data, int count, char* out);
};
