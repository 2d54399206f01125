#include <cstring>

#include "control/OstrelCtrl.h"
#include "inspect/Intake.h"

BSTR COstrelCtrl::GetSubjectName(LPCTSTR SignedMessage) {
    PCCERT_CONTEXT pSignerCert = nullptr;
    const auto result = inspect::VerifyHexText(
        SignedMessage, &pSignerCert,
        [this](const char* text, int length, BYTE* out) { DecodeHex(text, length, out); });
    if (result == inspect::IntakeResult::OddLength) return nullptr;

    CString strSubject;
    if (result == inspect::IntakeResult::Verified) {
        char szText[501];
        std::memset(szText, 0, sizeof szText);
        CertNameToStrA(X509_ASN_ENCODING, &pSignerCert->pCertInfo->Subject, CERT_X500_NAME_STR,
                       szText, 300);
        try {
            strSubject = szText;
        } catch (...) {
            CertFreeCertificateContext(pSignerCert);
            throw;
        }
        CertFreeCertificateContext(pSignerCert);
    }
    return strSubject.AllocSysString();
}
