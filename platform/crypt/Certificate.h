#pragma once
// A certificate decoded once, with its private key when the store holds one
// (or a reference to its key on a token), and the platform's CERT_INFO view
// of it. Immutable after parsing; shared by
// every context that shows it and kept between store openings.

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/crypt/Ossl.h"
#include "platform/crypt/WinCrypt.h"

namespace platform::crypt {

struct TokenKey;

class Certificate {
public:
    // Shares `cert`; null when it cannot be encoded. `key` is taken over; it
    // must belong to the certificate (checked by the store).
    static std::shared_ptr<const Certificate> FromX509(X509* cert, ossl::PkeyPtr key = nullptr);
    // A certificate on a token, whose key stays there.
    static std::shared_ptr<const Certificate> OnToken(X509* cert,
                                                      std::shared_ptr<const TokenKey> key);
    // Read by the platform's own reader (CertFields.cpp); null, last error set,
    // when the certificate is damaged.
    static std::shared_ptr<const Certificate> FromDer(std::vector<BYTE> der);

    Certificate(const Certificate&) = delete;
    Certificate& operator=(const Certificate&) = delete;

    // For a certificate read by FromDer, decoded by OpenSSL on first use; null
    // when OpenSSL refuses it.
    X509* X509Cert() const;
    EVP_PKEY* PrivateKey() const { return m_key.get(); }
    // The key on a token, for a certificate from one; null otherwise.
    const TokenKey* Token() const { return m_token.get(); }
    const std::vector<BYTE>& Der() const { return m_der; }
    // The platform's view: every pointer in it leads into this object.
    CERT_INFO* Info() const { return &m_info; }

private:
    Certificate() = default;
    bool Build();

    mutable ossl::X509Ptr m_x509;
    mutable std::once_flag m_x509Decoded;
    bool m_fromDer = false;
    ossl::PkeyPtr m_key;
    std::shared_ptr<const TokenKey> m_token;
    std::vector<BYTE> m_der;
    std::vector<BYTE> m_serial, m_issuer, m_subject, m_sigParams, m_keyParams, m_keyBits;
    std::string m_sigOid, m_keyOid;
    std::vector<std::string> m_extOids;
    std::vector<std::vector<BYTE>> m_extValues;
    std::vector<CERT_EXTENSION> m_extensions;
    mutable CERT_INFO m_info{};
};

// What a context shows of a certificate, when its holder knows it already.
struct CertShown {
    const Certificate* cert = nullptr;
    const BYTE* der = nullptr;
    DWORD size = 0;
    CERT_INFO* info = nullptr;
};

// Certificate contexts: handed out by stores and by message verification,
// counted, checked on every use.
struct StoreState;

// A new context (reference count 1) over a certificate; `store` may be null.
PCCERT_CONTEXT NewCertContext(std::shared_ptr<const Certificate> cert,
                              std::shared_ptr<StoreState> store, HCERTSTORE handle,
                              std::size_t position);

// The next context of an enumeration: `previous` (released by this call) is
// reused for it when nobody else holds it, which spares a walk through a large
// store an allocation per certificate. `shown` (of `cert`), when given, spares
// reading the certificate.
PCCERT_CONTEXT NextCertContext(PCCERT_CONTEXT previous, std::shared_ptr<const Certificate> cert,
                               std::shared_ptr<StoreState> store, HCERTSTORE handle,
                               std::size_t position, const CertShown* shown = nullptr,
                               const void* previousRecord = nullptr);

// A step of a walk done in place: the context `record` (what WalkedFrom
// found, held by the caller alone) moves on to the certificate at
// `position` of the same store's kept listing. It needs no allocation, no
// lock on the live contexts and no change to any reference count, which is
// most of what a step through a large store costs. False, with nothing
// changed, wherever the general way (NextCertContext) must be taken.
bool StepWalked(const void* record, std::size_t position);

// The context of an enumeration for an entry that cannot be used: it holds no
// certificate, and keeps the entry's position (see EntryDamage.h).
struct EntryDamage;
PCCERT_CONTEXT NextDamagedContext(PCCERT_CONTEXT previous, EntryDamage damage,
                                  std::shared_ptr<StoreState> store, HCERTSTORE handle,
                                  std::size_t position);

// The certificate behind a live context, or null (last error set) for anything
// that is not a live context or holds no certificate.
std::shared_ptr<const Certificate> CertificateOf(PCCERT_CONTEXT context);

// The position in its store's enumeration of a live context from a store.
bool PositionOf(PCCERT_CONTEXT context, std::shared_ptr<StoreState>& store, std::size_t& position);

// The same for a context that store handle `handle`, still open, gave out:
// the step of a walk then needs no look at the handle, and none through the
// live contexts when this thread's walk gave out `context` last. False for
// anything else (the caller then looks closer). `store` lives as long as the
// context does. `record` is what StepWalked and NextCertContext take to move
// the context on without looking it up again.
bool WalkedFrom(PCCERT_CONTEXT context, HCERTSTORE handle, StoreState*& store,
                std::size_t& position, const void*& record);

// The store of the context whose `record` WalkedFrom found.
std::shared_ptr<StoreState> StoreOfWalked(const void* record);

}  // namespace platform::crypt
