#include "platform/crypt/WinCrypt.h"

DWORD CertNameToStrA(DWORD, PCERT_NAME_BLOB, DWORD, LPSTR psz, DWORD csz) {
    if (psz != nullptr && csz > 0) psz[0] = '\0';
    return 1;
}
