// The names and days `ostrel store new-test-cert` takes on its command line
// (--subject, --issuer-subject "/K=V/K=V", --not-before/--not-after
// "YYYY-MM-DD"). Bad text is refused with the command's usage error, never
// anything else; a name taken is one that certificates can carry and that
// CertNameToStrA shows whole.

#include <openssl/err.h>
#include <openssl/x509.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "hosts/ostrel/Cli.h"
#include "hosts/ostrel/StoreTool.h"
#include "platform/crypt/WinCrypt.h"
#include "platform/text/Utf.h"

namespace {

using ostrel::fuzz::Check;

void Name(std::string_view text) {
    using namespace ostrel::cli;
    try {
        const auto name = ParseNameText(text, "--subject");
        Check(name != nullptr && X509_NAME_entry_count(name.get()) > 0, "a name has parts");
        unsigned char* der = nullptr;
        const int length = i2d_X509_NAME(name.get(), &der);
        Check(length > 0, "a name taken can be encoded");
        CERT_NAME_BLOB blob{DWORD(length), der};
        const DWORD needed =
            CertNameToStrA(X509_ASN_ENCODING, &blob, CERT_X500_NAME_STR, nullptr, 0);
        std::vector<char> shown(needed);
        CertNameToStrA(X509_ASN_ENCODING, &blob, CERT_X500_NAME_STR, shown.data(), needed);
        OPENSSL_free(der);
        Check(needed > 1 && std::strlen(shown.data()) == needed - 1, "the name is shown whole");
        Check(platform::com::IsValidUtf8(shown.data()), "the name is shown as UTF-8");
    } catch (const UsageError&) {
    }
}

void Day(std::string_view text) {
    using namespace ostrel::cli;
    for (bool endOfDay : {false, true}) {
        try {
            const auto t = ParseDay(text, "--not-before", endOfDay);
            Check(t != nullptr && ASN1_TIME_check(t.get()) == 1, "a day taken is a valid time");
        } catch (const UsageError&) {
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // A command line holds no NUL: an argument ends at the first.
    std::string_view text = ostrel::fuzz::Text(data, size);
    text = text.substr(0, text.find('\0'));
    Name(text);
    Day(text);
    ERR_clear_error();
    return 0;
}
