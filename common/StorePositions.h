#pragma once
// Positions in a certificate store, the one way the control's methods and the
// hosts count them: position n is the context the store's enumeration gives
// n-th, from 0. An entry that cannot be used keeps its position, as a
// context that holds no certificate (cbCertEncoded 0), so that every
// certificate after it keeps its own.
//
// Written over the platform's certificate functions only, by their usual
// names, so that it is the same wherever the product is built.

#include "platform/crypt/WinCrypt.h"
#include "platform/win/LastError.h"
#include "platform/win/WinError.h"

// Walks `store` from position 0, calling `visit(position, context)` for each
// entry while it returns true. The context belongs to the walk, which lets
// it go on the next step (CertDuplicateCertificateContext keeps it longer).
// Where `visit` returns false, the walk stops and hands that context to the
// caller, who frees it; null once the enumeration ends, whose error is then
// the last error.
template <class Visit>
PCCERT_CONTEXT WalkStorePositions(HCERTSTORE store, Visit&& visit) {
    long position = 0;
    for (PCCERT_CONTEXT context = nullptr;
         (context = CertEnumCertificatesInStore(store, context)) != nullptr; ++position)
        if (!visit(position, context)) return context;
    return nullptr;
}

// The context at `position`, which the caller frees; null, with the last
// error set (CRYPT_E_NOT_FOUND past the end), when there is none. At an entry
// that cannot be used it is the context without a certificate, and the last
// error is the one the enumeration gave for that entry.
inline PCCERT_CONTEXT CertificateAtPosition(HCERTSTORE store, long position) {
    if (position < 0) {
        SetLastError(DWORD(CRYPT_E_NOT_FOUND));
        return nullptr;
    }
    return WalkStorePositions(store,
                              [position](long at, PCCERT_CONTEXT) { return at != position; });
}
