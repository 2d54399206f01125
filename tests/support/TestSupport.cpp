#include "tests/support/TestSupport.h"

#include <openssl/ec.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <tuple>

#include "platform/crypt/Store.h"

namespace ostrel::test {
namespace ossl = platform::crypt::ossl;
using platform::seams::Live;
using platform::seams::LiveCount;

TempHome::TempHome() {
    std::string pattern = (std::filesystem::temp_directory_path() / "ostrel-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    m_path = pattern;
    if (const char* prev = std::getenv("OSTREL_HOME")) m_previous = prev;
    ::setenv("OSTREL_HOME", m_path.c_str(), 1);
}

TempHome::~TempHome() {
    if (m_previous)
        ::setenv("OSTREL_HOME", m_previous->c_str(), 1);
    else
        ::unsetenv("OSTREL_HOME");
    std::error_code ec;
    std::filesystem::permissions(m_path, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(m_path, ec);
}

namespace {

ossl::PkeyPtr NewKey(int bits, bool ec, const std::string& curve) {
    if (ec) return ossl::PkeyPtr(EVP_EC_gen(curve.c_str()));
    return ossl::PkeyPtr(EVP_RSA_gen(static_cast<unsigned>(bits)));
}

// Keys are costly to make; suites only need them to be distinct where they
// say so, so one key per kind serves a whole process.
EVP_PKEY* SharedKey(int bits, bool ec, const std::string& curve = "P-256") {
    static std::mutex mutex;
    static std::map<std::tuple<int, bool, std::string>, ossl::PkeyPtr> keys;
    std::lock_guard lock(mutex);
    auto& slot = keys[{bits, ec, ec ? curve : std::string()}];
    if (!slot) slot = NewKey(bits, ec, curve);
    return slot.get();
}

ossl::X509NamePtr ParseName(const std::string& text) {
    ossl::X509NamePtr name(X509_NAME_new());
    // "/K=V/K=V" with "\/" for a slash inside a value.
    std::size_t i = 0;
    while (i < text.size()) {
        if (text[i] != '/') throw std::runtime_error("bad name: " + text);
        ++i;
        std::string key, value;
        while (i < text.size() && text[i] != '=') key += text[i++];
        ++i;
        while (i < text.size() && text[i] != '/') {
            if (text[i] == '\\' && i + 1 < text.size()) ++i;
            value += text[i++];
        }
        if (X509_NAME_add_entry_by_txt(name.get(), key.c_str(), MBSTRING_UTF8,
                                       reinterpret_cast<const unsigned char*>(value.c_str()), -1,
                                       -1, 0) != 1)
            throw std::runtime_error("bad name entry: " + key);
    }
    return name;
}

std::string PemOf(auto write) {
    ossl::BioPtr bio(BIO_new(BIO_s_mem()));
    write(bio.get());
    char* data = nullptr;
    const long n = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, std::size_t(n));
}

}  // namespace

std::vector<unsigned char> TestCert::Der() const {
    return ossl::ToDer(cert.get(), i2d_X509);
}

std::string TestCert::CertPem() const {
    return PemOf([&](BIO* b) { PEM_write_bio_X509(b, cert.get()); });
}

std::string TestCert::KeyPem() const {
    return PemOf([&](BIO* b) {
        PEM_write_bio_PrivateKey(b, key.get(), nullptr, nullptr, 0, nullptr, nullptr);
    });
}

TestCert MakeCert(const CertOptions& options) {
    TestCert out;
    EVP_PKEY* key = SharedKey(options.bits, options.ec, options.curve);
    EVP_PKEY_up_ref(key);
    out.key.reset(key);
    out.cert.reset(X509_new());
    X509* x = out.cert.get();
    X509_set_version(x, 2);
    ossl::BignumPtr bn;
    BIGNUM* raw = nullptr;
    BN_hex2bn(&raw, options.serialHex.c_str());
    bn.reset(raw);
    BN_to_ASN1_INTEGER(bn.get(), X509_get_serialNumber(x));
    X509_gmtime_adj(X509_getm_notBefore(x), options.notBeforeDays * 86400L);
    X509_gmtime_adj(X509_getm_notAfter(x), options.notAfterDays * 86400L);
    auto subject = ParseName(options.subject);
    X509_set_subject_name(x, subject.get());
    X509_set_pubkey(x, key);
    if (options.issuer.empty()) {
        X509_set_issuer_name(x, subject.get());
        X509_sign(x, key, EVP_sha256());
    } else {
        auto issuer = ParseName(options.issuer);
        X509_set_issuer_name(x, issuer.get());
        X509_sign(x, SharedKey(2048, false), EVP_sha256());
    }
    return out;
}

std::size_t AddToStore(const TestCert& cert, bool withKey) {
    auto folder = platform::crypt::StoreFolder(platform::crypt::OstrelHome(), "MY");
    auto store = platform::crypt::DiskStore::Open(folder, true);
    return store.Add(cert.Der(), withKey ? cert.key.get() : nullptr);
}

LiveCounts LiveCounts::Now() {
    return LiveCounts{LiveCount(Live::Provider),    LiveCount(Live::Store),
                      LiveCount(Live::CertContext), LiveCount(Live::Buffer),
                      LiveCount(Live::LocalBuffer), LiveCount(Live::Bstr)};
}

void WriteFile(const std::filesystem::path& path, const std::string& bytes) {
    if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path());
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), std::streamsize(bytes.size()));
    if (!f) throw std::runtime_error("cannot write " + path.string());
}

std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

CommandResult RunCommand(const std::string& commandLine) {
    CommandResult result{-1, {}};
    FILE* pipe = ::popen(commandLine.c_str(), "r");
    if (pipe == nullptr) return result;
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0) result.out.append(buf, n);
    const int status = ::pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

std::vector<unsigned char> DecodeBase64Text(const std::string& text) {
    std::string clean;
    for (char c : text)
        if (c != '\r' && c != '\n') clean += c;
    if (clean.size() % 4 != 0) return {};
    std::vector<unsigned char> out(clean.size() / 4 * 3 + 1);
    const int n = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(clean.data()),
                                  static_cast<int>(clean.size()));
    if (n < 0) return {};
    std::size_t len = std::size_t(n);
    if (!clean.empty() && clean.back() == '=') --len;
    if (clean.size() >= 2 && clean[clean.size() - 2] == '=') --len;
    out.resize(len);
    return out;
}

DebugCapture::DebugCapture(const char* value) {
    if (value != nullptr)
        ::setenv("OSTREL_DEBUG", value, 1);
    else
        ::unsetenv("OSTREL_DEBUG");
    std::fflush(stderr);
    m_file = std::tmpfile();
    m_saved = ::dup(STDERR_FILENO);
    ::dup2(::fileno(m_file), STDERR_FILENO);
}

DebugCapture::~DebugCapture() {
    Restore();
    std::fclose(m_file);
    ::unsetenv("OSTREL_DEBUG");
}

std::string DebugCapture::Text() {
    Restore();
    std::string text;
    std::rewind(m_file);
    char buf[512];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, m_file)) > 0;) text.append(buf, n);
    return text;
}

void DebugCapture::Restore() {
    if (m_saved < 0) return;
    ::dup2(m_saved, STDERR_FILENO);
    ::close(m_saved);
    m_saved = -1;
}

}  // namespace ostrel::test
