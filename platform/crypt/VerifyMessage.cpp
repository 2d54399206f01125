#include "platform/crypt/WinCrypt.h"
#include "platform/win/LastError.h"
#include "platform/win/WinError.h"

BOOL CryptVerifyMessageSignature(PCRYPT_VERIFY_MESSAGE_PARA, DWORD, const BYTE*, DWORD, BYTE*,
                                 DWORD*, PCCERT_CONTEXT*) {
    SetLastError(E_FAIL);
    return FALSE;
}
