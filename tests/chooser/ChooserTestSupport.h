#pragma once
// Stores for the chooser suites: certificates with known names, added to the
// personal store of a private home.

#include <string>
#include <vector>

#include "platform/crypt/WinCrypt.h"
#include "tests/platform/ui/UiTestSupport.h"

namespace ostrel::test {

inline std::string HolderEmail(const std::string& cn) {
    std::string local;
    for (char c : cn) local += c == ' ' ? '.' : char(std::tolower(static_cast<unsigned char>(c)));
    return local + "@example.org";
}

// Adds one certificate per common name, issued by "Root CA", in order.
inline void AddHolders(const std::vector<std::string>& names) {
    for (const auto& cn : names) {
        CertOptions options;
        options.subject = "/C=US/O=Org/CN=" + cn + "/emailAddress=" + HolderEmail(cn);
        options.issuer = "/C=US/CN=Root CA";
        AddToStore(MakeCert(options));
    }
}

// The personal store, open for the scope.
class OpenStore {
public:
    OpenStore() {
        if (!CryptAcquireContextA(&m_prov, nullptr, nullptr, PROV_RSA_FULL, 0))
            CryptAcquireContextA(&m_prov, nullptr, nullptr, PROV_RSA_FULL, CRYPT_NEWKEYSET);
        m_store = CertOpenSystemStoreA(m_prov, "MY");
    }
    ~OpenStore() {
        if (m_store) CertCloseStore(m_store, 0);
        if (m_prov) CryptReleaseContext(m_prov, 0);
    }
    OpenStore(const OpenStore&) = delete;
    OpenStore& operator=(const OpenStore&) = delete;
    HCERTSTORE Get() const { return m_store; }

private:
    HCRYPTPROV m_prov = 0;
    HCERTSTORE m_store = nullptr;
};

}  // namespace ostrel::test
