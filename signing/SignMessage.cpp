#include <cstring>

#include "chooser/SelectCertDlg.h"
#include "common/Messages.h"
#include "common/StorePositions.h"
#include "control/OstrelCtrl.h"
#include "platform/win/Crt.h"
#include "platform/win/LastError.h"
#include "platform/win/Time.h"
#include "platform/win/WinError.h"

namespace {

// The signing parameters, zero-filled and then set field by field, as the
// platform expects them.
CRYPT_SIGN_MESSAGE_PARA SigningParameters(PCCERT_CONTEXT* certs, CRYPT_ATTRIBUTE* signingTime) {
    CRYPT_SIGN_MESSAGE_PARA para;
    std::memset(&para, 0, sizeof para);
    para.cbSize = sizeof(CRYPT_SIGN_MESSAGE_PARA);
    para.dwMsgEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
    para.pSigningCert = certs[0];
    para.HashAlgorithm.pszObjId = const_cast<LPSTR>(szOID_RSA_MD5);
    para.HashAlgorithm.Parameters.cbData = 0;
    para.HashAlgorithm.Parameters.pbData = nullptr;
    para.pvHashAuxInfo = nullptr;
    para.cMsgCert = 1;
    para.rgpMsgCert = certs;
    para.cMsgCrl = 0;
    para.rgpMsgCrl = nullptr;
    para.cAuthAttr = 1;
    para.rgAuthAttr = signingTime;
    para.cUnauthAttr = 0;
    para.rgUnauthAttr = nullptr;
    para.dwFlags = 0;
    para.dwInnerContentType = 0;
    return para;
}

}  // namespace

BSTR COstrelCtrl::SignMessage(LPCTSTR Message) {
    return SignWithIndex(Message, -1);
}

BSTR COstrelCtrl::SignMessageNoPrompt(LPCTSTR Message, long CertIndex) {
    return SignWithIndex(Message, CertIndex);
}

PCCERT_CONTEXT COstrelCtrl::FindCertificateByIndex(HCERTSTORE hStore, long nIndex) {
    PCCERT_CONTEXT found = CertificateAtPosition(hStore, nIndex);
    if (found == nullptr) {
        ShowMessage(msg::kCertNotFound);
        return nullptr;
    }
    // A store entry that cannot be used keeps its position but holds no
    // certificate: there is none to sign with at that position. The
    // enumeration left the entry's own error as the last error.
    if (found->cbCertEncoded == 0) {
        CertFreeCertificateContext(found);
        ShowMessage(msg::kCertNotFound);
        return nullptr;
    }
    return found;
}

BSTR COstrelCtrl::SignWithIndex(LPCTSTR Message, long CertIndex) {
    const char* content = Message == nullptr ? "" : Message;
    const DWORD length = static_cast<DWORD>(std::strlen(content));
    CString result;

    HCRYPTPROV hProv = 0;
    if (CryptAcquireContextA(&hProv, nullptr, nullptr, PROV_RSA_FULL, 0) != TRUE &&
        CryptAcquireContextA(&hProv, nullptr, nullptr, PROV_RSA_FULL, CRYPT_NEWKEYSET) != TRUE) {
        ShowMessage(msg::kAcquireContextFailed);
        return result.AllocSysString();
    }

    HCERTSTORE hStore = CertOpenSystemStoreA(hProv, "MY");
    if (hStore == nullptr) {
        ShowMessage(msg::kStoreHandle);
        CryptReleaseContext(hProv, 0);
        return result.AllocSysString();
    }

    long position = CertIndex;
    if (CertIndex < 0) {
        CSelectCertDlg dlg(nullptr);
        dlg.m_hCertStore = hStore;
        dlg.m_strMessage = content;
        if (dlg.DoModal() != IDOK || dlg.m_nCertIndex < 0) {
            ShowMessage(msg::kNotSelected);
            CertCloseStore(hStore, CERT_CLOSE_STORE_CHECK_FLAG);
            CryptReleaseContext(hProv, 0);
            return result.AllocSysString();
        }
        position = dlg.m_nCertIndex;
    }

    PCCERT_CONTEXT pCert = FindCertificateByIndex(hStore, position);
    if (pCert == nullptr) {
        ShowMessage(msg::kGettingCertificate);
        CertCloseStore(hStore, CERT_CLOSE_STORE_CHECK_FLAG);
        CryptReleaseContext(hProv, 0);
        return result.AllocSysString();
    }

    const LONG validity = CertVerifyTimeValidity(nullptr, pCert->pCertInfo);
    if (validity != 0) {
        ShowMessage(validity < 0 ? msg::kNotYetValid : msg::kExpired);
        CertFreeCertificateContext(pCert);
        CertCloseStore(hStore, CERT_CLOSE_STORE_CHECK_FLAG);
        CryptReleaseContext(hProv, 0);
        return result.AllocSysString();
    }

    SYSTEMTIME now;
    FILETIME signingTime{0, 0};
    GetSystemTime(&now);
    const bool timeKnown = SystemTimeToFileTime(&now, &signingTime) != FALSE;
    if (!timeKnown) ShowMessage(msg::kTimeFunction);

    // Without the time there is nothing true to encode: the user sees both
    // boxes rather than a signature with a made-up time.
    DWORD cbEncodedTime = 0;
    BYTE* pbEncodedTime = nullptr;
    if (timeKnown) {
        CryptEncodeObject(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, szOID_RSA_signingTime,
                          &signingTime, nullptr, &cbEncodedTime);
        pbEncodedTime = static_cast<BYTE*>(crt::malloc(cbEncodedTime));
    } else {
        SetLastError(CRYPT_E_BAD_ENCODE);
    }
    if (pbEncodedTime == nullptr ||
        !CryptEncodeObject(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, szOID_RSA_signingTime,
                           &signingTime, pbEncodedTime, &cbEncodedTime)) {
        ShowMessage(msg::kEncodingTimestamp);
        crt::free(pbEncodedTime);
        CertFreeCertificateContext(pCert);
        CertCloseStore(hStore, CERT_CLOSE_STORE_CHECK_FLAG);
        CryptReleaseContext(hProv, 0);
        return result.AllocSysString();
    }

    CRYPT_ATTR_BLOB timeBlob{cbEncodedTime, pbEncodedTime};
    CRYPT_ATTRIBUTE timeAttribute{const_cast<LPSTR>(szOID_RSA_signingTime), 1, &timeBlob};
    PCCERT_CONTEXT certs[1] = {pCert};
    CRYPT_SIGN_MESSAGE_PARA para = SigningParameters(certs, &timeAttribute);

    const BYTE* pieces[1] = {reinterpret_cast<const BYTE*>(content)};
    DWORD pieceLengths[1] = {length};
    DWORD cbSigned = 0;
    if (!CryptSignMessage(&para, TRUE, 1, pieces, pieceLengths, nullptr, &cbSigned)) {
        ShowMessage(msg::kSignatureSize);
        crt::free(pbEncodedTime);
        CertFreeCertificateContext(pCert);
        CertCloseStore(hStore, CERT_CLOSE_STORE_CHECK_FLAG);
        CryptReleaseContext(hProv, 0);
        return result.AllocSysString();
    }

    BYTE* pbSigned = static_cast<BYTE*>(crt::malloc(cbSigned));
    if (pbSigned == nullptr) {
        ShowMessage(msg::kAllocation);
    } else if (CryptSignMessage(&para, TRUE, 1, pieces, pieceLengths, pbSigned, &cbSigned)) {
        result = EncodeBase64(pbSigned, static_cast<int>(cbSigned));
    } else {
        ShowMessage(msg::kGettingSignature);
    }

    crt::free(pbEncodedTime);
    crt::free(pbSigned);
    CertFreeCertificateContext(pCert);
    if (!CertCloseStore(hStore, CERT_CLOSE_STORE_CHECK_FLAG)) ShowMessage(msg::kStoreNotFreed);
    if (!CryptReleaseContext(hProv, 0)) ShowMessage(msg::kReleaseAfterSigning);
    return result.AllocSysString();
}
