#include <algorithm>
#include <vector>

#include "control/OstrelCtrl.h"
#include "inspect/Intake.h"

BSTR COstrelCtrl::GetSerialNumber(LPCTSTR SignedMessage) {
    PCCERT_CONTEXT pSignerCert = nullptr;
    const auto result = inspect::VerifyHexText(
        SignedMessage, &pSignerCert,
        [this](const char* text, int length, BYTE* out) { DecodeHex(text, length, out); });
    if (result == inspect::IntakeResult::OddLength) return nullptr;

    CString strSerial;
    if (result == inspect::IntakeResult::Verified) {
        const CRYPT_INTEGER_BLOB& Serial = pSignerCert->pCertInfo->SerialNumber;
        try {
            // 501 bytes hold a serial number of up to 250 bytes; a longer one
            // gets an area of its own size rather than being cut or overflowing.
            std::vector<char> area(std::max<std::size_t>(501, 2 * std::size_t(Serial.cbData) + 1),
                                   '\0');
            EncodeHex(Serial.pbData, static_cast<int>(Serial.cbData), area.data());
            strSerial = area.data();
        } catch (...) {
            CertFreeCertificateContext(pSignerCert);
            throw;
        }
        CertFreeCertificateContext(pSignerCert);
    }
    return strSerial.AllocSysString();
}
