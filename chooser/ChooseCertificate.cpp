#include "chooser/SelectCertDlg.h"
#include "common/Messages.h"
#include "control/OstrelCtrl.h"

long COstrelCtrl::ChooseCertificate() {
    HCRYPTPROV hCryptProv = 0;
    if (CryptAcquireContextA(&hCryptProv, nullptr, nullptr, PROV_RSA_FULL, 0) != TRUE) {
        if (CryptAcquireContextA(&hCryptProv, nullptr, nullptr, PROV_RSA_FULL, CRYPT_NEWKEYSET) !=
            TRUE) {
            ShowMessage(msg::kAcquireContextFailed);
            return -1;
        }
    }

    HCERTSTORE hCertStore = CertOpenSystemStoreA(hCryptProv, "MY");
    if (hCertStore == nullptr) {
        ShowMessage(msg::kStoreHandle);
        CryptReleaseContext(hCryptProv, 0);
        return -1;
    }

    // The dialog outlives the store and the provider: it goes when the
    // method returns, on every path.
    CSelectCertDlg dlg(nullptr);
    dlg.m_hCertStore = hCertStore;
    dlg.m_strMessage = "";
    dlg.m_bHideMessage = 1;

    if (dlg.DoModal() == IDOK && dlg.m_nCertIndex >= 0) {
        if (!CertCloseStore(hCertStore, CERT_CLOSE_STORE_CHECK_FLAG))
            ShowMessage(msg::kStoreNotFreed);
        if (!CryptReleaseContext(hCryptProv, 0)) ShowMessage(msg::kReleaseAfterChoice);
        return dlg.m_nCertIndex;
    }

    ShowMessage(msg::kNotSelected);
    CertCloseStore(hCertStore, CERT_CLOSE_STORE_CHECK_FLAG);
    CryptReleaseContext(hCryptProv, 0);
    return -1;
}
