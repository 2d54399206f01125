#include <openssl/crypto.h>

#include "hosts/ostrel/Cli.h"

int main(int argc, char** argv) {
#if !defined(__SANITIZE_ADDRESS__)
    // The process ends right after its one command: the system takes back
    // what the cryptographic library holds faster than the library's own
    // clean-up at exit would hand it back piece by piece. (Sanitizer builds
    // keep the clean-up, so that what is left at exit is what we leaked.)
    OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr);
#endif
    return ostrel::cli::Run(argc, argv);
}
