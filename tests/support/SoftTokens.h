#pragma once
// SoftHSM2 tokens for the tests: a token folder of the test's own with its
// own configuration (SOFTHSM2_CONF), and the module given to the store by
// path (OSTREL_PKCS11_MODULES), both set while the object lives.

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/seams/TokenPrompt.h"
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
    // The same, with a private key that wants its own login for every
    // signature (CKA_ALWAYS_AUTHENTICATE), as the signature keys of many
    // cards do.
    void ImportKeyWithItsOwnLogin(const std::string& label, const TestCert& cert,
                                  const std::string& idHex, const std::string& pin = "1234");
    // The same, with a private key the token allows only `mechanisms`
    // (CKA_ALLOWED_MECHANISMS, as pkcs11-tool names them: "RSA-PKCS,ECDSA").
    void ImportKeyAllowing(const std::string& label, const TestCert& cert, const std::string& idHex,
                           const std::string& mechanisms, const std::string& pin = "1234");
    // Puts a certificate on the token under `idHex`.
    void ImportCert(const std::string& label, const TestCert& cert, const std::string& idHex,
                    const std::string& pin = "1234");

private:
    // Writes the key pair as objects through the module, with `flags` for
    // the private key (pkcs11-tool's options).
    void WriteKeyObjects(const std::string& label, const TestCert& cert, const std::string& idHex,
                         const std::string& flags, const std::string& pin);

    std::filesystem::path m_folder;
    std::filesystem::path m_config;
    std::optional<std::string> m_previousConf, m_previousModules;
};

// A user who types the PINs given, one per question, and then cancels.
class ScriptedPins final : public platform::seams::TokenPrompt {
public:
    explicit ScriptedPins(std::vector<std::string> pins) : m_pins(std::move(pins)) {}
    bool AskPin(const platform::seams::PinRequest& request,
                platform::seams::PinBuffer& pin) noexcept override;
    void BeginPinPadNotice(const platform::seams::PinRequest& request) noexcept override {
        notices.push_back(request);
    }
    void EndPinPadNotice() noexcept override {}

    std::vector<platform::seams::PinRequest> requests;
    std::vector<platform::seams::PinRequest> notices;

private:
    std::vector<std::string> m_pins;
    std::size_t m_next = 0;
};

}  // namespace ostrel::test
