#pragma once
// The intake shared by the three inspection methods: the length test, the
// decoded message, and one verification of its first signature.

#include <cstring>
#include <limits>

#include "common/Messages.h"
#include "platform/crypt/WinCrypt.h"
#include "platform/win/Crt.h"

namespace inspect {

enum class IntakeResult {
    OddLength,  // the box has been shown; nothing was verified
    Failed,     // the verification (or the decoded buffer) failed
    Verified,   // the first signature verifies
};

// `decode(text, length, out)` fills the n/2 bytes of the decoded message.
// On Verified, `*ppSignerCert` (when asked for) holds the signer's context,
// which the caller frees.
template <typename Decode>
IntakeResult VerifyHexText(LPCTSTR SignedMessage, PCCERT_CONTEXT* ppSignerCert, Decode&& decode) {
    if (ppSignerCert != nullptr) *ppSignerCert = nullptr;
    // An absent text is taken as the empty one.
    const std::size_t nLength = SignedMessage == nullptr ? 0 : std::strlen(SignedMessage);
    if (nLength % 2 != 0) {
        ShowMessage(msg::kHexExpected);
        return IntakeResult::OddLength;
    }
    // The codec counts in signed 32 bits; a longer text cannot be a message it reads.
    if (nLength > std::size_t(std::numeric_limits<int>::max())) return IntakeResult::Failed;

    const DWORD cbMessage = static_cast<DWORD>(nLength / 2);
    BYTE* pbMessage = static_cast<BYTE*>(crt::malloc(cbMessage));
    if (pbMessage == nullptr) return IntakeResult::Failed;
    decode(SignedMessage, static_cast<int>(nLength), pbMessage);

    CRYPT_VERIFY_MESSAGE_PARA VerifyParams;
    VerifyParams.cbSize = sizeof(CRYPT_VERIFY_MESSAGE_PARA);
    VerifyParams.dwMsgAndCertEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
    VerifyParams.hCryptProv = 0;
    VerifyParams.pfnGetSignerCertificate = nullptr;
    VerifyParams.pvGetArg = nullptr;
    const BOOL bVerified = CryptVerifyMessageSignature(&VerifyParams, 0, pbMessage, cbMessage,
                                                       nullptr, nullptr, ppSignerCert);
    crt::free(pbMessage);
    if (!bVerified) return IntakeResult::Failed;
    // A verification that names no signer cannot give the details asked for.
    if (ppSignerCert != nullptr && *ppSignerCert == nullptr) return IntakeResult::Failed;
    return IntakeResult::Verified;
}

}  // namespace inspect
