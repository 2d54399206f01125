// The files `ostrel store import` takes: PKCS#12, PEM (certificates and at
// most one key, maybe encrypted) or a DER certificate. The password, when
// one is asked for, is "fuzz", read from a file as --password-file gives it,
// so that protected seeds open and their mutations reach the decoders. Bad
// input is refused with the command's usage error, never anything else; a
// key taken belongs to the certificate taken with it.

#include <openssl/err.h>
#include <openssl/x509.h>

#include <cstdint>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "hosts/ostrel/Cli.h"
#include "hosts/ostrel/StoreTool.h"

namespace {

using ostrel::fuzz::Check;
std::string g_passwordFile;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    g_passwordFile = (ostrel::fuzz::PrivateHome() / "password").string();
    ostrel::fuzz::WriteFile(g_passwordFile, "fuzz\n");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace ostrel::cli;
    const std::string bytes(ostrel::fuzz::Text(data, size));
    PasswordSource passwords(g_passwordFile);
    try {
        const Credentials creds = ReadCredentials(bytes, "input.p12", passwords);
        Check(creds.cert != nullptr, "a certificate is taken");
        if (creds.key)
            Check(X509_check_private_key(creds.cert.get(), creds.key.get()) == 1,
                  "the key taken belongs to the certificate taken");
        // What `store list` shows of it once it is in the store.
        if (const auto cert = platform::crypt::Certificate::FromX509(creds.cert.get()))
            (void)DescribeEntry(*cert);
    } catch (const UsageError&) {
    } catch (const Failure&) {
    }
    ERR_clear_error();
    return 0;
}
