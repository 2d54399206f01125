#pragma once
// A store entry that cannot be used (damaged, unreadable, or readable by
// others) still has its position. Its store's enumeration yields, there, a
// context that holds no certificate: no encoded bytes (cbCertEncoded 0) and an
// empty CERT_INFO, and sets the last error to the entry's error code. So the
// certificates after it keep their positions, and whoever counts positions
// can tell the user which entry is at fault and why. The context keeps the
// causes of the failure too (what OpenSSL said of the entry, when failures
// are told), so that whoever fails on it can tell them.

#include <optional>
#include <string>
#include <vector>

#include "platform/crypt/WinCrypt.h"

namespace platform::crypt {

struct EntryDamage {
    std::string entry;                // the entry's file name in its store folder
    std::string reason;               // why it cannot be used, in words that name no path
    DWORD code = 0;                   // the error code of that reason
    std::vector<std::string> causes;  // what led to it (platform::Failure::Causes)
};

// What is wrong with the entry a context stands for; nothing for a context
// that holds a certificate, or for anything that is not a live context.
std::optional<EntryDamage> DamageOf(PCCERT_CONTEXT context);

}  // namespace platform::crypt
