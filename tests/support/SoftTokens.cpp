#include "tests/support/SoftTokens.h"

#include <openssl/pem.h>
#include <openssl/x509.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "platform/crypt/Tokens.h"

namespace ostrel::test {
namespace fs = std::filesystem;

namespace {

std::optional<std::string> Get(const char* name) {
    const char* v = std::getenv(name);
    return v == nullptr ? std::nullopt : std::optional<std::string>(v);
}

void Restore(const char* name, const std::optional<std::string>& value) {
    if (value)
        ::setenv(name, value->c_str(), 1);
    else
        ::unsetenv(name);
}

void Run(const std::string& line) {
    const auto r = RunCommand(line + " 2>&1");
    if (r.status != 0) throw std::runtime_error("`" + line + "` failed: " + r.out);
}

std::string Quote(const std::string& text) {
    std::string out = "'";
    for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

}  // namespace

std::string SoftTokens::ModulePath() {
    return "/usr/lib/softhsm/libsofthsm2.so";
}

bool SoftTokens::Available() {
    return ::access(ModulePath().c_str(), R_OK) == 0 &&
           RunCommand("command -v softhsm2-util >/dev/null && command -v pkcs11-tool >/dev/null")
                   .status == 0;
}

SoftTokens::SoftTokens(const fs::path& folder, std::optional<std::string> modules)
    : m_folder(folder / "softhsm"), m_config(folder / "softhsm" / "softhsm2.conf") {
    fs::create_directories(m_folder / "tokens");
    WriteFile(m_config, "directories.tokendir = " + (m_folder / "tokens").string() +
                            "\nobjectstore.backend = file\nlog.level = ERROR\n");
    m_previousConf = Get("SOFTHSM2_CONF");
    m_previousModules = Get("OSTREL_PKCS11_MODULES");
    ::setenv("SOFTHSM2_CONF", m_config.c_str(), 1);
    ::setenv("OSTREL_PKCS11_MODULES", modules.value_or(ModulePath()).c_str(), 1);
    // The store of this process reads the tokens anew.
    platform::crypt::CloseTokenModules();
}

SoftTokens::~SoftTokens() {
    platform::crypt::CloseTokenModules();
    Restore("SOFTHSM2_CONF", m_previousConf);
    Restore("OSTREL_PKCS11_MODULES", m_previousModules);
}

std::string SoftTokens::AddToken(const std::string& label, const std::string& pin) {
    Run("softhsm2-util --init-token --free --label " + Quote(label) + " --so-pin 87654321 --pin " +
        Quote(pin) + " >/dev/null");
    const auto r =
        RunCommand("pkcs11-tool --module " + ModulePath() + " --list-token-slots 2>/dev/null");
    // The serial of the token with that label, from the listing's blocks.
    std::string serial;
    bool ours = false;
    std::size_t at = 0;
    while (at < r.out.size()) {
        auto end = r.out.find('\n', at);
        if (end == std::string::npos) end = r.out.size();
        const std::string line = r.out.substr(at, end - at);
        at = end + 1;
        const auto colon = line.find(':');
        if (colon == std::string::npos) continue;
        std::string key = line.substr(0, colon), value = line.substr(colon + 1);
        key.erase(0, key.find_first_not_of(" \t"));
        key.erase(key.find_last_not_of(" \t") + 1);
        value.erase(0, value.find_first_not_of(" \t"));
        value.erase(value.find_last_not_of(" \t") + 1);
        if (key.starts_with("Slot ")) ours = false;
        if (key == "token label") ours = value == label;
        if (key == "serial num" && ours) serial = value;
    }
    if (serial.empty()) throw std::runtime_error("no serial for the token " + label + ": " + r.out);
    return serial;
}

void SoftTokens::ImportKey(const std::string& label, const TestCert& cert, const std::string& idHex,
                           const std::string& pin) {
    const fs::path file = m_folder / ("key-" + idHex + ".pem");
    platform::crypt::ossl::BioPtr bio(BIO_new_file(file.c_str(), "w"));
    if (!bio || PEM_write_bio_PKCS8PrivateKey(bio.get(), cert.key.get(), nullptr, nullptr, 0,
                                              nullptr, nullptr) != 1)
        throw std::runtime_error("cannot write the key");
    bio.reset();
    Run("softhsm2-util --import " + Quote(file.string()) + " --token " + Quote(label) +
        " --label key" + idHex + " --id " + idHex + " --pin " + Quote(pin) + " >/dev/null");
    fs::remove(file);
}

void SoftTokens::ImportKeyWithItsOwnLogin(const std::string& label, const TestCert& cert,
                                          const std::string& idHex, const std::string& pin) {
    WriteKeyObjects(label, cert, idHex, "--always-auth", pin);
}

void SoftTokens::ImportKeyAllowing(const std::string& label, const TestCert& cert,
                                   const std::string& idHex, const std::string& mechanisms,
                                   const std::string& pin) {
    WriteKeyObjects(label, cert, idHex, "--allowed-mechanisms " + Quote(mechanisms), pin);
}

void SoftTokens::WriteKeyObjects(const std::string& label, const TestCert& cert,
                                 const std::string& idHex, const std::string& flags,
                                 const std::string& pin) {
    // softhsm2-util cannot set such attributes; the module itself takes
    // them when the key is written as an object.
    const fs::path privateFile = m_folder / ("key-" + idHex + ".der");
    const fs::path publicFile = m_folder / ("pub-" + idHex + ".der");
    {
        platform::crypt::ossl::BioPtr bio(BIO_new_file(privateFile.c_str(), "wb"));
        if (!bio || i2d_PKCS8PrivateKey_bio(bio.get(), cert.key.get(), nullptr, nullptr, 0, nullptr,
                                            nullptr) != 1)
            throw std::runtime_error("cannot write the key");
    }
    {
        platform::crypt::ossl::BioPtr bio(BIO_new_file(publicFile.c_str(), "wb"));
        if (!bio || i2d_PUBKEY_bio(bio.get(), cert.key.get()) != 1)
            throw std::runtime_error("cannot write the public key");
    }
    const std::string tool = "pkcs11-tool --module " + ModulePath() + " --token-label " +
                             Quote(label) + " --login --pin " + Quote(pin) + " --id " + idHex +
                             " --label key" + idHex;
    Run(tool + " --write-object " + Quote(privateFile.string()) +
        " --type privkey --private --sensitive " + flags + " >/dev/null");
    Run(tool + " --write-object " + Quote(publicFile.string()) + " --type pubkey >/dev/null");
    fs::remove(privateFile);
    fs::remove(publicFile);
}

void SoftTokens::ImportCert(const std::string& label, const TestCert& cert,
                            const std::string& idHex, const std::string& pin) {
    const fs::path file = m_folder / ("cert-" + idHex + ".der");
    const auto der = cert.Der();
    WriteFile(file, std::string(der.begin(), der.end()));
    Run("pkcs11-tool --module " + ModulePath() + " --token-label " + Quote(label) +
        " --login --pin " + Quote(pin) + " --write-object " + Quote(file.string()) +
        " --type cert --id " + idHex + " --label cert" + idHex + " >/dev/null");
    fs::remove(file);
}

bool ScriptedPins::AskPin(const platform::seams::PinRequest& request,
                          platform::seams::PinBuffer& pin) noexcept {
    requests.push_back(request);
    if (m_next >= m_pins.size()) return false;
    const std::string& text = m_pins[m_next++];
    if (text.size() >= pin.capacity) return false;
    std::memcpy(pin.data, text.data(), text.size());
    pin.data[text.size()] = '\0';
    pin.length = text.size();
    return true;
}

}  // namespace ostrel::test
