#pragma once
// SoftHSM2 tokens for the tests: a token folder of the test's own with its
// own configuration (SOFTHSM2_CONF), and the module given to the store by
// path (OSTREL_PKCS11_MODULES), both set while the object lives.

#include <filesystem>
#include <optional>
#include <string>

#include "tests/support/TestSupport.h"

namespace ostrel::test {

class SoftTokens {
public:
    // The SoftHSM2 module, where Debian puts it.
    static std::string ModulePath();
    // False where SoftHSM2 or its tools are not installed.
    static bool Available();

    // Tokens in `folder/tokens`; the store loads `modules` (default: the
    // SoftHSM2 module by path).
    explicit SoftTokens(const std::filesystem::path& folder,
                        std::optional<std::string> modules = std::nullopt);
    ~SoftTokens();
    SoftTokens(const SoftTokens&) = delete;
    SoftTokens& operator=(const SoftTokens&) = delete;

    const std::filesystem::path& Folder() const { return m_folder; }
    const std::filesystem::path& Config() const { return m_config; }

    // Makes a token; returns its serial.
    std::string AddToken(const std::string& label, const std::string& pin = "1234");
    // Puts a key pair (private and public key objects) on the token under
    // `idHex`.
    void ImportKey(const std::string& label, const TestCert& cert, const std::string& idHex,
                   const std::string& pin = "1234");
    // Puts a certificate on the token under `idHex`.
    void ImportCert(const std::string& label, const TestCert& cert, const std::string& idHex,
                    const std::string& pin = "1234");

private:
    std::filesystem::path m_folder;
    std::filesystem::path m_config;
    std::optional<std::string> m_previousConf, m_previousModules;
};

}  // namespace ostrel::test
