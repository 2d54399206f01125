#include "hosts/ostrel/StoreTool.h"

#include <fcntl.h>
#include <openssl/pem.h>
#include <openssl/provider.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <iterator>
#include <vector>

#include "hosts/ostrel/Cli.h"

namespace ostrel::cli {
namespace {

std::string Quoted(std::string_view text) {
    return "\"" + std::string(text) + "\"";
}

// The terminal's settings while echo is off, so that an interrupted prompt
// does not leave the user typing blind.
termios g_savedTerminal{};
volatile sig_atomic_t g_echoOff = 0;
constexpr int kPromptSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

void RestoreTerminalAndDie(int sig) {
    if (g_echoOff != 0) ::tcsetattr(STDIN_FILENO, TCSANOW, &g_savedTerminal);
    ::signal(sig, SIG_DFL);
    ::raise(sig);
}

// Reads one line from the terminal on standard input without echoing it.
std::string AskOnTerminal(const std::string& prompt) {
    std::cerr << prompt << std::flush;
    struct sigaction previous[std::size(kPromptSignals)]{};
    const bool quiet = ::tcgetattr(STDIN_FILENO, &g_savedTerminal) == 0;
    if (quiet) {
        struct sigaction restore {};
        restore.sa_handler = RestoreTerminalAndDie;
        sigemptyset(&restore.sa_mask);
        for (std::size_t i = 0; i < std::size(kPromptSignals); ++i)
            ::sigaction(kPromptSignals[i], &restore, &previous[i]);
        termios noEcho = g_savedTerminal;
        noEcho.c_lflag &= ~tcflag_t(ECHO);
        g_echoOff = 1;
        ::tcsetattr(STDIN_FILENO, TCSANOW, &noEcho);
    }
    std::string line;
    bool ended = false;
    for (;;) {
        char c;
        const ssize_t n = ::read(STDIN_FILENO, &c, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        if (c == '\n') {
            ended = true;
            break;
        }
        line += c;
    }
    if (quiet) {
        ::tcsetattr(STDIN_FILENO, TCSANOW, &g_savedTerminal);
        g_echoOff = 0;
        for (std::size_t i = 0; i < std::size(kPromptSignals); ++i)
            ::sigaction(kPromptSignals[i], &previous[i], nullptr);
    }
    std::cerr << "\n";
    if (!ended && line.empty()) throw UsageError("no password was given");
    return line;
}

// Lets PKCS#12 bags protected with the older ciphers be read too; the default
// provider has to be loaded explicitly once another one is. Unloaded at exit,
// before OpenSSL cleans up.
bool LoadLegacyProvider() {
    struct Providers {
        OSSL_PROVIDER* legacy = OSSL_PROVIDER_load(nullptr, "legacy");
        OSSL_PROVIDER* fallback = OSSL_PROVIDER_load(nullptr, "default");
        ~Providers() {
            if (legacy != nullptr) OSSL_PROVIDER_unload(legacy);
            if (fallback != nullptr) OSSL_PROVIDER_unload(fallback);
        }
    };
    static const Providers providers;
    ERR_clear_error();
    return providers.legacy != nullptr && providers.fallback != nullptr;
}

bool MacVerifies(PKCS12* p12, const std::string& password) {
    bool ok = PKCS12_verify_mac(p12, password.c_str(), -1) == 1;
    // An empty password may have been applied as no password at all.
    if (!ok && password.empty()) ok = PKCS12_verify_mac(p12, nullptr, 0) == 1;
    ERR_clear_error();
    return ok;
}

// Picks the certificate a key belongs to; the key must belong to one.
Credentials Match(std::vector<ossl::X509Ptr>& certs, ossl::PkeyPtr key,
                  const std::string& fileName) {
    if (!key) {
        if (certs.empty()) throw UsageError(fileName + " holds no certificate");
        if (certs.size() > 1)
            throw UsageError(fileName + " holds " + std::to_string(certs.size()) +
                             " certificates and no private key: it cannot tell which one to add");
        return Credentials{std::move(certs.front()), nullptr};
    }
    if (certs.empty()) throw UsageError(fileName + " holds a private key but no certificate");
    for (auto& cert : certs) {
        const bool belongs = X509_check_private_key(cert.get(), key.get()) == 1;
        ERR_clear_error();
        if (belongs) return Credentials{std::move(cert), std::move(key)};
    }
    throw UsageError("the private key in " + fileName + " does not belong to " +
                     (certs.size() == 1
                          ? std::string("its certificate")
                          : "any of its " + std::to_string(certs.size()) + " certificates"));
}

Credentials ReadPkcs12(PKCS12* p12, const std::string& fileName, PasswordSource& passwords) {
    std::string password;
    if (passwords.FromFile()) {
        password = passwords.Get(fileName);
    } else if (PKCS12_mac_present(p12) && !MacVerifies(p12, "")) {
        if (!passwords.Available())
            throw UsageError(fileName +
                             " is protected by a password: give it with --password-file F");
        password = passwords.Get(fileName);
    }
    if (PKCS12_mac_present(p12) && !MacVerifies(p12, password))
        throw UsageError("the password for " + fileName +
                         " is wrong (the file's integrity check fails with it)");

    EVP_PKEY* rawKey = nullptr;
    X509* rawCert = nullptr;
    STACK_OF(X509)* rawCa = nullptr;
    bool parsed = PKCS12_parse(p12, password.c_str(), &rawKey, &rawCert, &rawCa) == 1;
    std::string why;
    if (!parsed) {
        why = ossl::TakeErrors();
        if (LoadLegacyProvider()) {
            parsed = PKCS12_parse(p12, password.c_str(), &rawKey, &rawCert, &rawCa) == 1;
            if (!parsed) why = ossl::TakeErrors();
        }
    }
    OPENSSL_cleanse(password.data(), password.size());
    if (!parsed) throw UsageError("cannot read the PKCS#12 file " + fileName + ": " + why);
    ossl::PkeyPtr key(rawKey);
    std::vector<ossl::X509Ptr> certs;
    if (rawCert != nullptr) certs.emplace_back(rawCert);
    while (rawCa != nullptr && sk_X509_num(rawCa) > 0) certs.emplace_back(sk_X509_shift(rawCa));
    sk_X509_free(rawCa);
    return Match(certs, std::move(key), fileName);
}

struct KeyPassword {
    PasswordSource* source;
    const std::string* fileName;
    bool unavailable = false;
    std::string error;
};

// Called by OpenSSL for an encrypted key; nothing may be thrown through it.
int KeyPasswordCallback(char* buf, int size, int, void* arg) {
    auto* ask = static_cast<KeyPassword*>(arg);
    try {
        if (!ask->source->Available()) {
            ask->unavailable = true;
            return -1;
        }
        const std::string& password = ask->source->Get(*ask->fileName);
        if (password.size() > std::size_t(size)) {
            ask->error = "the password is too long";
            return -1;
        }
        std::memcpy(buf, password.data(), password.size());
        return static_cast<int>(password.size());
    } catch (const std::exception& e) {
        ask->error = e.what();
        return -1;
    }
}

// One block of a PEM file, as OpenSSL hands it out.
struct PemBlock {
    char* name = nullptr;
    char* header = nullptr;
    unsigned char* data = nullptr;
    long len = 0;
    PemBlock() = default;
    PemBlock(const PemBlock&) = delete;
    PemBlock& operator=(const PemBlock&) = delete;
    ~PemBlock() {
        OPENSSL_free(name);
        OPENSSL_free(header);
        if (data != nullptr) OPENSSL_clear_free(data, std::size_t(len));
    }
};

ossl::PkeyPtr ReadPemKey(const PemBlock& pem, const std::string& fileName,
                         PasswordSource& passwords) {
    // Written back out whole, so that the key reader sees the encryption
    // headers of the older key formats too.
    ossl::BioPtr block(BIO_new(BIO_s_mem()));
    if (!block || PEM_write_bio(block.get(), pem.name, pem.header, pem.data, pem.len) <= 0)
        throw Failure("cannot read the private key in " + fileName + ": " + ossl::TakeErrors());
    KeyPassword ask{&passwords, &fileName, false, {}};
    ossl::PkeyPtr key(PEM_read_bio_PrivateKey(block.get(), nullptr, KeyPasswordCallback, &ask));
    if (key) return key;
    const std::string why = ossl::TakeErrors();
    if (ask.unavailable)
        throw UsageError("the private key in " + fileName +
                         " is encrypted: give its password with --password-file F");
    if (!ask.error.empty())
        throw UsageError("cannot read the private key in " + fileName + ": " + ask.error);
    throw UsageError("cannot read the private key in " + fileName +
                     " (wrong password, or a damaged key): " + why);
}

Credentials ReadPem(const std::string& bytes, const std::string& fileName,
                    PasswordSource& passwords) {
    ossl::BioPtr bio(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
    std::vector<ossl::X509Ptr> certs;
    ossl::PkeyPtr key;
    for (int index = 1;; ++index) {
        PemBlock block;
        if (PEM_read_bio(bio.get(), &block.name, &block.header, &block.data, &block.len) != 1) {
            const unsigned long e = ERR_peek_last_error();
            if (ERR_GET_LIB(e) == ERR_LIB_PEM && ERR_GET_REASON(e) == PEM_R_NO_START_LINE) {
                ERR_clear_error();
                break;
            }
            throw UsageError("block " + std::to_string(index) + " of " + fileName +
                             " is not readable PEM: " + ossl::TakeErrors());
        }
        const std::string_view label(block.name);
        if (label == "CERTIFICATE" || label == "X509 CERTIFICATE" ||
            label == "TRUSTED CERTIFICATE") {
            const unsigned char* p = block.data;
            ossl::X509Ptr cert(label == "TRUSTED CERTIFICATE" ? d2i_X509_AUX(nullptr, &p, block.len)
                                                              : d2i_X509(nullptr, &p, block.len));
            if (!cert || p != block.data + block.len)
                throw UsageError("certificate " + std::to_string(certs.size() + 1) + " in " +
                                 fileName + " is damaged: " + ossl::TakeErrors());
            certs.push_back(std::move(cert));
        } else if (label.ends_with("PRIVATE KEY")) {
            if (key) throw UsageError(fileName + " holds more than one private key");
            key = ReadPemKey(block, fileName, passwords);
        }
        // Anything else (parameters, requests, revocation lists) is not part
        // of what a store entry holds.
    }
    return Match(certs, std::move(key), fileName);
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The attributes a subject may name: the usual parts of a person's or an
// organisation's name. "E" and "S" are the keys the X.500 text shows.
int NameAttribute(const std::string& key) {
    if (key == "E") return NID_pkcs9_emailAddress;
    if (key == "S") return NID_stateOrProvinceName;
    static constexpr int kAllowed[] = {NID_countryName,
                                       NID_stateOrProvinceName,
                                       NID_localityName,
                                       NID_organizationName,
                                       NID_organizationalUnitName,
                                       NID_commonName,
                                       NID_pkcs9_emailAddress,
                                       NID_serialNumber,
                                       NID_title,
                                       NID_givenName,
                                       NID_surname,
                                       NID_initials,
                                       NID_pseudonym,
                                       NID_generationQualifier,
                                       NID_domainComponent,
                                       NID_userId,
                                       NID_streetAddress,
                                       NID_postalCode,
                                       NID_dnQualifier,
                                       NID_businessCategory,
                                       NID_name,
                                       NID_description};
    const int nid = OBJ_txt2nid(key.c_str());
    ERR_clear_error();
    return std::find(std::begin(kAllowed), std::end(kAllowed), nid) != std::end(kAllowed)
               ? nid
               : NID_undef;
}

void AddExtension(X509* cert, X509V3_CTX* ctx, int nid, const char* value) {
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, ctx, nid, value);
    const bool ok = ext != nullptr && X509_add_ext(cert, ext, -1) == 1;
    X509_EXTENSION_free(ext);
    if (!ok) throw Failure("cannot make the certificate's extensions: " + ossl::TakeErrors());
}

ossl::PkeyPtr NewRsaKey(int bits) {
    ossl::PkeyPtr key(EVP_RSA_gen(static_cast<unsigned>(bits)));
    if (!key)
        throw Failure("cannot make an RSA key of " + std::to_string(bits) +
                      " bits: " + ossl::TakeErrors());
    return key;
}

std::string IsoUtc(const ASN1_TIME* t) {
    struct tm tm {};
    if (t == nullptr || ASN1_TIME_to_tm(t, &tm) != 1) {
        ERR_clear_error();
        return {};
    }
    char buf[80];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02dZ", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    return buf;
}

std::string NameText(CERT_NAME_BLOB* name) {
    const DWORD needed = CertNameToStrA(X509_ASN_ENCODING, name, CERT_X500_NAME_STR, nullptr, 0);
    if (needed <= 1) return {};
    std::string text(needed, '\0');
    CertNameToStrA(X509_ASN_ENCODING, name, CERT_X500_NAME_STR, text.data(), needed);
    text.resize(std::strlen(text.c_str()));
    return text;
}

std::string EmailOf(const X509_NAME* name) {
    const int index = X509_NAME_get_index_by_NID(name, NID_pkcs9_emailAddress, -1);
    if (index < 0) return {};
    const ASN1_STRING* value = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, index));
    unsigned char* utf8 = nullptr;
    const int n = ASN1_STRING_to_UTF8(&utf8, value);
    if (n < 0) {
        ERR_clear_error();
        return {};
    }
    std::string email(reinterpret_cast<char*>(utf8), std::size_t(n));
    OPENSSL_free(utf8);
    return email;
}

}  // namespace

PasswordSource::PasswordSource(std::string file) : m_file(std::move(file)) {}

PasswordSource::~PasswordSource() {
    if (m_password) OPENSSL_cleanse(m_password->data(), m_password->size());
}

bool PasswordSource::Available() const {
    return FromFile() || ::isatty(STDIN_FILENO) == 1;
}

const std::string& PasswordSource::Get(const std::string& what) {
    if (m_password) return *m_password;
    if (FromFile()) {
        std::string data = ReadInput(m_file, 64 * 1024);
        const std::size_t end = std::min(data.find('\n'), data.size());
        std::string line = data.substr(0, end);
        OPENSSL_cleanse(data.data(), data.size());
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.find('\0') != std::string::npos)
            throw UsageError("the password file " + m_file + " holds a NUL byte");
        m_password = std::move(line);
    } else if (::isatty(STDIN_FILENO) == 1) {
        m_password = AskOnTerminal("Password for " + what + ": ");
    } else {
        m_password = std::string();
    }
    return *m_password;
}

Credentials ReadCredentials(const std::string& bytes, const std::string& fileName,
                            PasswordSource& passwords) {
    if (bytes.empty()) throw UsageError(fileName + " is empty");
    if (bytes.find("-----BEGIN ") != std::string::npos) return ReadPem(bytes, fileName, passwords);
    const auto* begin = reinterpret_cast<const unsigned char*>(bytes.data());
    const long len = static_cast<long>(bytes.size());
    const unsigned char* p = begin;
    ossl::Pkcs12Ptr p12(d2i_PKCS12(nullptr, &p, len));
    if (p12) return ReadPkcs12(p12.get(), fileName, passwords);
    p = begin;
    ossl::X509Ptr cert(d2i_X509(nullptr, &p, len));
    ERR_clear_error();
    if (cert && p == begin + len) return Credentials{std::move(cert), nullptr};
    throw UsageError(fileName + " is neither a PKCS#12 file nor a PEM or DER certificate");
}

ossl::X509NamePtr ParseNameText(std::string_view text, std::string_view option) {
    const std::string where = std::string(option) + " " + Quoted(text);
    if (text.empty()) throw UsageError(std::string(option) + " is empty");
    ossl::X509NamePtr name(X509_NAME_new());
    std::size_t i = 0;
    while (i < text.size()) {
        if (text[i] != '/')
            throw UsageError(where + ": expected \"/\" at character " + std::to_string(i + 1) +
                             "; write it as /KEY=value/KEY=value");
        ++i;
        std::string key;
        while (i < text.size() && text[i] != '=' && text[i] != '/') key += text[i++];
        if (i >= text.size() || text[i] != '=')
            throw UsageError(where + ": " + (key.empty() ? "an empty part" : Quoted(key)) +
                             " has no \"=value\"");
        ++i;
        if (key.empty()) throw UsageError(where + ": a value has no key before its \"=\"");
        const int nid = NameAttribute(key);
        if (nid == NID_undef)
            throw UsageError(where + ": unknown key " + Quoted(key) +
                             " (known: C, ST, L, O, OU, CN, emailAddress (or E), serialNumber, "
                             "title, GN, SN, initials, pseudonym, generationQualifier, DC, UID, "
                             "street, postalCode, dnQualifier, businessCategory, name, "
                             "description)");
        std::string value;
        while (i < text.size() && text[i] != '/') {
            if (text[i] == '\\') {
                if (++i >= text.size()) throw UsageError(where + ": it ends in a lone \"\\\"");
            }
            value += text[i++];
        }
        if (value.empty()) throw UsageError(where + ": " + Quoted(key) + " has an empty value");
        if (X509_NAME_add_entry_by_NID(name.get(), nid, MBSTRING_UTF8,
                                       reinterpret_cast<const unsigned char*>(value.data()),
                                       static_cast<int>(value.size()), -1, 0) != 1)
            throw UsageError(where + ": the value " + Quoted(value) + " does not suit " +
                             Quoted(key) + " (" + ossl::TakeErrors() + ")");
    }
    return name;
}

ossl::Asn1TimePtr ParseDay(std::string_view text, std::string_view option, bool endOfDay) {
    const std::string where = std::string(option) + " " + Quoted(text);
    // Digits everywhere but the two dashes: a dash in a digit's place would
    // reach the number conversion, which throws on it.
    bool shaped = text.size() == 10;
    for (std::size_t i = 0; shaped && i < text.size(); ++i)
        shaped = (i == 4 || i == 7) ? text[i] == '-' : (text[i] >= '0' && text[i] <= '9');
    if (!shaped) throw UsageError(where + " is not a date of the form YYYY-MM-DD");
    const int year = std::stoi(std::string(text.substr(0, 4)));
    const int month = std::stoi(std::string(text.substr(5, 2)));
    const int day = std::stoi(std::string(text.substr(8, 2)));
    if (year < 1601) throw UsageError(where + ": the year must be 1601 or later");
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    if (month < 1 || month > 12) throw UsageError(where + " has no month " + std::to_string(month));
    const int days = kDays[month - 1] + (month == 2 && leap ? 1 : 0);
    if (day < 1 || day > days)
        throw UsageError(where + " is not a day of the calendar (that month has " +
                         std::to_string(days) + " days)");
    const std::string stamp = std::string(text.substr(0, 4)) + std::string(text.substr(5, 2)) +
                              std::string(text.substr(8, 2)) + (endOfDay ? "235959Z" : "000000Z");
    ossl::Asn1TimePtr t(ASN1_TIME_new());
    // Picks UTCTime for 1950 to 2049 and GeneralizedTime otherwise, as
    // certificates must.
    if (!t || ASN1_TIME_set_string_X509(t.get(), stamp.c_str()) != 1)
        throw UsageError(where + " cannot be written as a certificate time: " + ossl::TakeErrors());
    return t;
}

// The curve of an EC key kind as --key names it (ec-p256 and so on); null
// for RSA. Anything else is refused.
const char* CurveOf(const std::string& kind) {
    if (kind == "rsa") return nullptr;
    if (kind == "ec-p256") return "P-256";
    if (kind == "ec-p384") return "P-384";
    if (kind == "ec-p521") return "P-521";
    throw UsageError("--key " + Quoted(kind) +
                     " is not a kind of key: give rsa, ec-p256, ec-p384 or ec-p521");
}

ossl::PkeyPtr NewEcKey(const char* curve) {
    ossl::PkeyPtr key(EVP_EC_gen(curve));
    if (!key)
        throw Failure("cannot make an EC key on " + std::string(curve) + ": " + ossl::TakeErrors());
    return key;
}

Credentials MakeTestCertificate(const TestCertOptions& options) {
    const char* curve = CurveOf(options.key);
    if (options.bits < 1024 || options.bits > 16384)
        throw UsageError("--bits " + std::to_string(options.bits) +
                         ": the key size must be between 1024 and 16384");
    auto subject = ParseNameText(options.subject, "--subject");
    ossl::X509NamePtr issuer;
    if (!options.issuerSubject.empty())
        issuer = ParseNameText(options.issuerSubject, "--issuer-subject");

    ossl::Asn1TimePtr notBefore, notAfter;
    if (options.notBefore.empty())
        notBefore.reset(X509_gmtime_adj(nullptr, -86400L));
    else
        notBefore = ParseDay(options.notBefore, "--not-before", false);
    if (options.notAfter.empty())
        notAfter.reset(X509_time_adj_ex(nullptr, 365, 0, nullptr));
    else
        notAfter = ParseDay(options.notAfter, "--not-after", true);
    if (!notBefore || !notAfter) throw Failure("cannot read the clock: " + ossl::TakeErrors());
    if (ASN1_TIME_compare(notAfter.get(), notBefore.get()) < 0)
        throw UsageError("the certificate would end (" + IsoUtc(notAfter.get()) +
                         ") before it begins (" + IsoUtc(notBefore.get()) + ")" +
                         (options.notBefore.empty()
                              ? "; without --not-before it begins a day ago, so give --not-before "
                                "for a certificate that has already ended"
                              : ""));

    ossl::BignumPtr serial;
    if (options.serialHex.empty()) {
        unsigned char random[16];
        if (RAND_bytes(random, sizeof random) != 1)
            throw Failure("cannot draw a random serial number: " + ossl::TakeErrors());
        // Positive, and all sixteen octets significant.
        random[0] = static_cast<unsigned char>((random[0] & 0x7F) | 0x40);
        serial.reset(BN_bin2bn(random, sizeof random, nullptr));
    } else {
        const std::string& hex = options.serialHex;
        if (hex.size() > 512 ||
            !std::all_of(hex.begin(), hex.end(), [](char c) { return HexValue(c) >= 0; }))
            throw UsageError("--serial " + Quoted(hex) +
                             " is not a serial number: give 1 to 512 hexadecimal digits");
        BIGNUM* raw = nullptr;
        if (BN_hex2bn(&raw, hex.c_str()) == 0)
            throw UsageError("--serial " + Quoted(hex) + " is not hexadecimal");
        serial.reset(raw);
    }

    ossl::PkeyPtr key = curve == nullptr ? NewRsaKey(options.bits) : NewEcKey(curve);
    ossl::PkeyPtr caKey = issuer ? NewRsaKey(2048) : nullptr;

    ossl::X509Ptr cert(X509_new());
    X509* x = cert.get();
    const bool built = x != nullptr && X509_set_version(x, 2) == 1 &&
                       BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(x)) != nullptr &&
                       X509_set1_notBefore(x, notBefore.get()) == 1 &&
                       X509_set1_notAfter(x, notAfter.get()) == 1 &&
                       X509_set_subject_name(x, subject.get()) == 1 &&
                       X509_set_issuer_name(x, issuer ? issuer.get() : subject.get()) == 1 &&
                       X509_set_pubkey(x, key.get()) == 1;
    if (!built) throw Failure("cannot make the certificate: " + ossl::TakeErrors());
    X509V3_CTX ctx;
    X509V3_set_ctx(&ctx, issuer ? nullptr : x, x, nullptr, nullptr, 0);
    AddExtension(x, &ctx, NID_basic_constraints, "critical,CA:FALSE");
    AddExtension(x, &ctx, NID_key_usage, "critical,digitalSignature,nonRepudiation");
    AddExtension(x, &ctx, NID_subject_key_identifier, "hash");
    if (X509_sign(x, issuer ? caKey.get() : key.get(), EVP_sha256()) <= 0)
        throw Failure("cannot sign the certificate: " + ossl::TakeErrors());
    return Credentials{std::move(cert), std::move(key)};
}

EntryView DescribeEntry(const platform::crypt::Certificate& cert) {
    EntryView view;
    CERT_INFO* info = cert.Info();
    X509* x = cert.X509Cert();
    view.subject = NameText(&info->Subject);
    view.issuer = NameText(&info->Issuer);
    view.email = EmailOf(X509_get_subject_name(x));
    view.notBefore = IsoUtc(X509_get0_notBefore(x));
    view.notAfter = IsoUtc(X509_get0_notAfter(x));
    // The platform keeps the serial least significant octet first; people
    // read it in the certificate's own order.
    static constexpr char kDigits[] = "0123456789ABCDEF";
    for (DWORD i = info->SerialNumber.cbData; i > 0; --i) {
        const BYTE b = info->SerialNumber.pbData[i - 1];
        view.serial += kDigits[b >> 4];
        view.serial += kDigits[b & 0x0F];
    }
    view.hasKey = cert.PrivateKey() != nullptr;
    return view;
}

}  // namespace ostrel::cli
