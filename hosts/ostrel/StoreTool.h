#pragma once
// The work behind `ostrel store`: reading certificates and keys from the files
// people bring (PKCS#12, PEM, DER), making test certificates, and describing a
// store entry. Bad input throws UsageError, naming the file or option.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "platform/crypt/Certificate.h"
#include "platform/crypt/Ossl.h"

namespace ostrel::cli {

namespace ossl = platform::crypt::ossl;

// Where the password of a protected file comes from: the first line of a
// file, or the terminal (asked at most once), or nowhere.
class PasswordSource {
public:
    // `file` empty: ask on the terminal when standard input is one.
    explicit PasswordSource(std::string file);
    ~PasswordSource();
    PasswordSource(const PasswordSource&) = delete;
    PasswordSource& operator=(const PasswordSource&) = delete;

    bool FromFile() const { return !m_file.empty(); }
    // True when a password can be had at all (a file, or a terminal to ask on).
    bool Available() const;
    // The password; asks on the terminal the first time. Throws UsageError.
    const std::string& Get(const std::string& what);

private:
    std::string m_file;
    std::optional<std::string> m_password;
};

// A certificate with its private key, or without one.
struct Credentials {
    ossl::X509Ptr cert;
    ossl::PkeyPtr key;
};

// Decodes a PKCS#12 file, a PEM file (certificates and at most one key), or a
// single DER certificate. With a key, the certificate is the one the key
// belongs to; a key that belongs to none is refused.
Credentials ReadCredentials(const std::string& bytes, const std::string& fileName,
                            PasswordSource& passwords);

// "/K=V/K=V" with "\/" for a slash and "\\" for a backslash inside a value.
ossl::X509NamePtr ParseNameText(std::string_view text, std::string_view option);

// A calendar day "YYYY-MM-DD" as an X.509 time: its first second, or its last
// when `endOfDay` is set.
ossl::Asn1TimePtr ParseDay(std::string_view text, std::string_view option, bool endOfDay);

struct TestCertOptions {
    std::string subject;
    std::string issuerSubject;  // empty: self-signed
    std::string notBefore;      // empty: a day ago
    std::string notAfter;       // empty: a year from now
    std::string serialHex;      // empty: 16 random octets
    std::string key = "rsa";    // rsa, ec-p256, ec-p384 or ec-p521
    int bits = 2048;            // for an RSA key
};

// The kinds of key a test certificate may have, as --key names them.
inline constexpr const char* kTestKeyKinds[] = {"rsa", "ec-p256", "ec-p384", "ec-p521"};

// A new key of the kind asked and a certificate for it, self-signed or issued
// by a CA made for the occasion and thrown away.
Credentials MakeTestCertificate(const TestCertOptions& options);

// What `store list` shows of one entry.
struct EntryView {
    std::string subject, email, issuer, notBefore, notAfter, serial;
    bool hasKey = false;
};
EntryView DescribeEntry(const platform::crypt::Certificate& cert);

}  // namespace ostrel::cli
