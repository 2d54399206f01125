#pragma once
// The signer's chooser: which certificates its filter lets through, and the
// chooser dialog over those only, which answers with the store position.

#include "platform/crypt/WinCrypt.h"
#include "signing/SignerOptions.h"

// True when the certificate passes every part of the filter: within its
// validity period at `now` (null: the clock), a key usage extension that
// allows every usage asked for (a certificate without one allows any), an
// issuer whose name (as CERT_X500_NAME_STR gives it) holds the text asked
// for, compared without regard to the case of ASCII letters.
bool CertificatePassesFilter(PCCERT_CONTEXT cert, const CertificateFilter& filter,
                             FILETIME* now = nullptr);

// Shows the chooser over `store` with only the certificates the filter lets
// through (and `message` in its preview, unless empty): the store position
// of the one chosen, or -1 when the user chose none.
long ChooseFilteredPosition(HCERTSTORE store, const CertificateFilter& filter, const char* message);
