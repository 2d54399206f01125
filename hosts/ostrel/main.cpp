#include <openssl/crypto.h>
#include <openssl/rand.h>

#include <cstdlib>

#include "hosts/ostrel/Cli.h"

namespace {

// What the cryptographic library is set up with before its first use. Each
// process signs or checks once, so what the library does ahead of that work is
// paid in full every time.
void SetUpCrypto() {
    std::uint64_t options = 0;
#if !defined(__SANITIZE_ADDRESS__)
    // The process ends right after its one command: the system takes back
    // what the cryptographic library holds faster than the library's own
    // clean-up at exit would hand it back piece by piece. (Sanitizer builds
    // keep the clean-up, so that what is left at exit is what we leaked.)
    options |= OPENSSL_INIT_NO_ATEXIT;
#endif
    // The system-wide configuration is not read: the program signs and checks
    // with fixed algorithms of the default provider, which is loaded without
    // it, and what that file can add (other providers, default properties,
    // engines, TLS settings) could only take those algorithms away. A
    // configuration named in OPENSSL_CONF is the user's explicit choice and is
    // still read.
    const char* named = std::getenv("OPENSSL_CONF");
    if (named == nullptr || *named == '\0') options |= OPENSSL_INIT_NO_LOAD_CONFIG;
    OPENSSL_init_crypto(options, nullptr);
    // Random numbers (the blinding of each RSA private-key operation, the keys
    // of new test certificates) come from the hash-based generator of the same
    // strength as the counter-mode one the library starts by default: it runs
    // on SHA-256, which the library sets up for signing anyway, where the
    // counter mode would first set up every cipher the provider has. Set
    // before the first random number, and only where no configuration chose.
    if ((options & OPENSSL_INIT_NO_LOAD_CONFIG) != 0)
        RAND_set_DRBG_type(nullptr, "HASH-DRBG", nullptr, nullptr, "SHA256");
}

}  // namespace

int main(int argc, char** argv) {
    SetUpCrypto();
    return ostrel::cli::Run(argc, argv);
}
