#pragma once
// What the test suites share: a private ostrel home per test, certificates
// made on the spot, and counts of live platform objects.

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/crypt/Ossl.h"
#include "platform/seams/Seams.h"

namespace ostrel::test {

// A fresh ostrel home in a temporary folder, made the current one
// (OSTREL_HOME) for the test's lifetime; removed afterwards.
class TempHome {
public:
    TempHome();
    ~TempHome();
    TempHome(const TempHome&) = delete;
    TempHome& operator=(const TempHome&) = delete;
    const std::filesystem::path& Path() const { return m_path; }
    std::filesystem::path StoreFolder() const { return m_path / "stores" / "MY"; }

private:
    std::filesystem::path m_path;
    std::optional<std::string> m_previous;
};

struct CertOptions {
    std::string subject = "/C=US/O=Org/CN=Ann Lee/emailAddress=ann.lee@example.org";
    std::string issuer;       // empty: self-signed
    long notBeforeDays = -1;  // relative to now
    long notAfterDays = 365;
    std::string serialHex = "0123ABCD";
    int bits = 2048;
    bool ec = false;              // an EC key instead of RSA
    std::string curve = "P-256";  // its curve: P-256, P-384 or P-521
};

struct TestCert {
    platform::crypt::ossl::X509Ptr cert;
    platform::crypt::ossl::PkeyPtr key;
    std::vector<unsigned char> Der() const;
    std::string CertPem() const;
    std::string KeyPem() const;
};

// Makes a certificate and its key as the options says. Keys of the same size are
// made once per process and reused, which keeps suites fast.
TestCert MakeCert(const CertOptions& options = {});

// Adds a certificate (with its key unless `withKey` is false) to the personal
// store of the current home; returns its position.
std::size_t AddToStore(const TestCert& cert, bool withKey = true);

// Snapshot of the live platform objects, for "nothing left behind" checks.
struct LiveCounts {
    long providers, stores, contexts, buffers, localBuffers, bstrs;
    static LiveCounts Now();
    bool operator==(const LiveCounts&) const = default;
};

// Writes a file, creating folders.
void WriteFile(const std::filesystem::path& path, const std::string& bytes);
std::string ReadFile(const std::filesystem::path& path);

// Runs a shell command line; returns its exit status and what it printed on
// standard output.
struct CommandResult {
    int status;
    std::string out;
};
CommandResult RunCommand(const std::string& commandLine);

// Removes CR and LF and decodes base64 (with OpenSSL); empty on bad input.
std::vector<unsigned char> DecodeBase64Text(const std::string& text);

// Sets OSTREL_DEBUG to `value` (unsets it for null) while it lives and
// collects what is written to standard error meanwhile.
class DebugCapture {
public:
    explicit DebugCapture(const char* value);
    ~DebugCapture();
    DebugCapture(const DebugCapture&) = delete;
    DebugCapture& operator=(const DebugCapture&) = delete;
    // What was written so far; standard error is given back at the first call.
    std::string Text();

private:
    void Restore();
    std::FILE* m_file = nullptr;
    int m_saved = -1;
};

}  // namespace ostrel::test
