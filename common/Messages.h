#pragma once
// Every text the control shows in a message box, with its style, and the
// failure report that joins a fixed text to the description of the thread's
// last error.

#include "platform/text/CString.h"
#include "platform/ui/MessageBox.h"
#include "platform/win/WinTypes.h"

struct OstrelMessage {
    LPCSTR text;
    UINT style;
    // The fixed text of a failure report: the system error text follows it.
    bool withSystemText;
};

inline constexpr UINT kStylePlain = MB_OK;
inline constexpr UINT kStyleError = MB_OK | MB_ICONERROR;

namespace msg {
inline constexpr OstrelMessage kAcquireContextFailed{"Acquire Crypt Context Failed", kStyleError,
                                                     true};
inline constexpr OstrelMessage kStoreHandle{"Error Getting Store Handle", kStyleError, true};
inline constexpr OstrelMessage kNotSelected{"Certificate is not selected.", kStyleError, false};
inline constexpr OstrelMessage kCertNotFound{"Signature Cert Not Found", kStylePlain, false};
inline constexpr OstrelMessage kGettingCertificate{"Error Getting Ostrel Certificate", kStyleError,
                                                   true};
inline constexpr OstrelMessage kNotYetValid{"Selected Certificate is not yet Valid.", kStyleError,
                                            false};
inline constexpr OstrelMessage kExpired{"Selected Certificate is Expired.", kStyleError, false};
inline constexpr OstrelMessage kTimeFunction{"Getting time function failed!", kStylePlain, false};
inline constexpr OstrelMessage kEncodingTimestamp{"Error in Calculating and Encoding timestamp",
                                                  kStyleError, true};
inline constexpr OstrelMessage kSignatureSize{"Getting Signatue size Failed.", kStyleError, true};
inline constexpr OstrelMessage kAllocation{"Memory allocation error while signing", kStylePlain,
                                           false};
inline constexpr OstrelMessage kGettingSignature{"Error Getting Signature", kStyleError, true};
inline constexpr OstrelMessage kStoreNotFreed{
    "Store Closed After Signing - \nNot All Certs or CRLs Were Freed", kStylePlain, false};
inline constexpr OstrelMessage kReleaseAfterSigning{
    "Error during CryptReleaseContext!\nBut signing is done.", kStylePlain, false};
inline constexpr OstrelMessage kReleaseAfterChoice{"Error during CryptReleaseContext.", kStylePlain,
                                                   false};
inline constexpr OstrelMessage kNoCertificates{"No Personal certificates available to list.",
                                               kStylePlain, false};
inline constexpr OstrelMessage kHexExpected{
    "A HexString(Signature as an octect string) is expected as the parameter", kStylePlain, false};

inline constexpr const OstrelMessage* kCatalogue[] = {
    &kAcquireContextFailed,
    &kStoreHandle,
    &kNotSelected,
    &kCertNotFound,
    &kGettingCertificate,
    &kNotYetValid,
    &kExpired,
    &kTimeFunction,
    &kEncodingTimestamp,
    &kSignatureSize,
    &kAllocation,
    &kGettingSignature,
    &kStoreNotFreed,
    &kReleaseAfterSigning,
    &kReleaseAfterChoice,
    &kNoCertificates,
    &kHexExpected,
};
}  // namespace msg

// The description of the thread's current last-error code, taken whole (with
// its line break), or the empty text when the system has none.
CString SystemErrorText();

// Shows the message: a failure report (fixed text, then the system error text
// with nothing between) when the catalogue says so, the text alone otherwise.
void ShowMessage(const OstrelMessage& message);
