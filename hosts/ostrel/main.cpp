#include <openssl/crypto.h>
#include <openssl/rand.h>

#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "hosts/ostrel/Cli.h"
#include "platform/win/Failure.h"

namespace {

// What the cryptographic library is set up with before its first use. Each
// process signs or checks once, so what the library does ahead of that work is
// paid in full every time.
void SetUpCrypto(int argc, char** argv) {
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
    // The library's texts for its errors (loaded whole, with the first error
    // state) reach a person only through the store's commands, which say
    // what is wrong with a file, and when failures are told (OSTREL_DEBUG=1).
    // The commands that sign and check never show them, and go without.
    if (argc > 1 && !platform::DebugFailures()) {
        const std::string_view command = argv[1];
        for (const std::string_view silent : {"sign", "verify", "subject", "serial", "call"})
            if (command == silent) options |= OPENSSL_INIT_NO_LOAD_CRYPTO_STRINGS;
    }
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
    SetUpCrypto(argc, argv);
    return ostrel::cli::Run(argc, argv);
}
