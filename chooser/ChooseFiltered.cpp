#include <cstring>
#include <string>
#include <variant>

#include "chooser/CertFilter.h"
#include "chooser/SelectCertDlg.h"
#include "control/OstrelSigner.h"
#include "platform/win/LastError.h"
#include "platform/win/WinError.h"

namespace {

constexpr char kKeyUsageOid[] = "2.5.29.15";

// The key usage bits of a certificate; nothing when it has no such extension
// (or one that is not a BIT STRING, which allows nothing).
std::optional<std::string> KeyUsageBits(const CERT_INFO& info) {
    for (DWORD i = 0; i < info.cExtension; ++i) {
        const CERT_EXTENSION& e = info.rgExtension[i];
        if (e.pszObjId == nullptr || std::strcmp(e.pszObjId, kKeyUsageOid) != 0) continue;
        const BYTE* p = e.Value.pbData;
        const DWORD n = e.Value.cbData;
        // BIT STRING, a short length, the count of unused bits, the bits.
        if (p == nullptr || n < 3 || p[0] != 0x03 || p[1] != n - 2 || p[1] == 0)
            return std::string();
        return std::string(reinterpret_cast<const char*>(p + 3), n - 3);
    }
    return std::nullopt;
}

bool HasBit(const std::string& bits, KeyUsageBit bit) {
    const auto n = static_cast<std::size_t>(bit);
    return n / 8 < bits.size() && (static_cast<BYTE>(bits[n / 8]) & (0x80 >> (n % 8))) != 0;
}

char Fold(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool HoldsNoCase(const std::string& text, const std::string& part) {
    if (part.empty()) return true;
    for (std::size_t at = 0; at + part.size() <= text.size(); ++at) {
        std::size_t k = 0;
        while (k < part.size() && Fold(text[at + k]) == Fold(part[k])) ++k;
        if (k == part.size()) return true;
    }
    return false;
}

std::string IssuerText(CERT_INFO& info) {
    const DWORD size =
        CertNameToStrA(X509_ASN_ENCODING, &info.Issuer, CERT_X500_NAME_STR, nullptr, 0);
    if (size <= 1) return {};
    std::string text(size, '\0');
    CertNameToStrA(X509_ASN_ENCODING, &info.Issuer, CERT_X500_NAME_STR, text.data(), size);
    text.resize(std::strlen(text.c_str()));
    return text;
}

}  // namespace

bool CertificatePassesFilter(PCCERT_CONTEXT cert, const CertificateFilter& filter, FILETIME* now) {
    if (cert == nullptr || cert->cbCertEncoded == 0 || cert->pCertInfo == nullptr) return false;
    CERT_INFO& info = *cert->pCertInfo;
    if (filter.validNow && CertVerifyTimeValidity(now, &info) != 0) return false;
    if (!filter.keyUsage.empty()) {
        if (const auto bits = KeyUsageBits(info))
            for (const KeyUsageBit bit : filter.keyUsage)
                if (!HasBit(*bits, bit)) return false;
    }
    if (filter.issuer && !HoldsNoCase(IssuerText(info), *filter.issuer)) return false;
    return true;
}

long ChooseFilteredPosition(HCERTSTORE store, const CertificateFilter& filter,
                            const char* message) {
    CSelectCertDlg dlg(nullptr);
    dlg.m_hCertStore = store;
    dlg.m_strMessage = message == nullptr ? "" : message;
    dlg.m_bHideMessage = message == nullptr || *message == 0;
    // Even without a filter the unusable entries are left out: nothing can
    // be signed with them.
    dlg.m_filter = [&filter](PCCERT_CONTEXT cert) { return CertificatePassesFilter(cert, filter); };
    if (dlg.DoModal() != IDOK) return -1;
    return dlg.ChosenPosition();
}

long COstrelSigner::ChooseCertificate(LPCTSTR Options) {
    const SignerOptionsResult parsed = ParseSignerOptions(Options == nullptr ? "" : Options);
    if (const auto* refusal = std::get_if<std::string>(&parsed))
        ThrowSignerError(HRESULT(E_INVALIDARG), *refusal);
    const SignerOptions& options = std::get<SignerOptions>(parsed);

    HCRYPTPROV hProv = 0;
    if (CryptAcquireContextA(&hProv, nullptr, nullptr, PROV_RSA_FULL, 0) != TRUE &&
        CryptAcquireContextA(&hProv, nullptr, nullptr, PROV_RSA_FULL, CRYPT_NEWKEYSET) != TRUE)
        ThrowLastError("The key container cannot be opened");
    HCERTSTORE hStore = CertOpenSystemStoreA(hProv, "MY");
    if (hStore == nullptr) {
        const DWORD code = GetLastError();
        CryptReleaseContext(hProv, 0);
        SetLastError(code);
        ThrowLastError("The personal certificate store cannot be opened");
    }
    long position = -1;
    try {
        position = ChooseFilteredPosition(hStore, options.filter, nullptr);
    } catch (...) {
        CertCloseStore(hStore, 0);
        CryptReleaseContext(hProv, 0);
        throw;
    }
    CertCloseStore(hStore, 0);
    CryptReleaseContext(hProv, 0);
    return position;
}
