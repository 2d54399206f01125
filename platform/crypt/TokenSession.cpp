// Sessions with tokens, the login, and signing with a key on a token.

#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/rsa.h>

#include <array>
#include <atomic>
#include <map>

#include "platform/crypt/Certificate.h"
#include "platform/crypt/Ossl.h"
#include "platform/crypt/Pkcs11.h"
#include "platform/crypt/Tokens.h"
#include "platform/seams/Seams.h"
#include "platform/seams/TokenPrompt.h"

namespace platform::crypt {
namespace {

using SessionTable =
    std::map<std::pair<const TokenModule*, std::string>, std::shared_ptr<TokenSession>>;
std::mutex g_mutex;
// Kept, with their logins, as long as the process runs; emptied as the
// modules are finalised at its end (see EndTokenModules), never destroyed.
SessionTable& g_sessions = *new SessionTable();
std::atomic<unsigned long> g_logins{0};

constexpr CK_SLOT_ID kNoSlot = ~CK_SLOT_ID(0);
// Longer than any PIN a token takes; the buffer is on the stack and wiped.
constexpr std::size_t kPinCapacity = 256;
// Wrong PINs one signature gives the token before it gives up. Many cards
// lock the PIN at the third wrong one in a row, and few say how many tries
// are left; a script or a user answering the same wrong PIN would otherwise
// be asked without end, each answer costing the card a try.
constexpr int kMaxWrongPins = 3;

std::optional<CK_TOKEN_INFO> TokenInfo(TokenModule& module, CK_SLOT_ID slot) {
    CK_TOKEN_INFO info{};
    if (!module.Call(&CK_FUNCTION_LIST::C_GetTokenInfo, slot, &info).Ok()) return std::nullopt;
    return info;
}

std::optional<CK_SLOT_ID> FindSlot(TokenModule& module, const std::string& serial,
                                   CK_SLOT_ID hint) {
    const auto matches = [&](CK_SLOT_ID slot) {
        const auto info = TokenInfo(module, slot);
        return info && FieldText(info->serialNumber, sizeof info->serialNumber) == serial;
    };
    if (hint != kNoSlot && matches(hint)) return hint;
    const SlotListing listing = ListSlots(module, true);
    if (!listing.returned.Ok()) return std::nullopt;
    for (const auto slot : listing.slots)
        if (slot != hint && matches(slot)) return slot;
    return std::nullopt;
}

// A failure of this layer's own finding (what a token returned fails through
// Returned).
[[noreturn]] void Fail(DWORD code, const std::string& what) {
    throw platform::Failure(code, what);
}

std::string TokenName(const TokenKey& key) {
    return "the token \"" + key.tokenLabel + "\" (serial " + key.tokenSerial + ")";
}

std::string SubjectOf(const Certificate& cert) {
    CERT_INFO* info = cert.Info();
    const DWORD n =
        CertNameToStrA(X509_ASN_ENCODING, &info->Subject, CERT_X500_NAME_STR, nullptr, 0);
    if (n <= 1) return {};
    std::string text(n, '\0');
    CertNameToStrA(X509_ASN_ENCODING, &info->Subject, CERT_X500_NAME_STR, text.data(), n);
    text.resize(n - 1);
    return text;
}

// The PIN typed during one signature, wiped whatever way the signature ends.
// A PIN the token took for the session's login is held until the key's own
// login of the same signature (a key with CKA_ALWAYS_AUTHENTICATE) has used
// it: the user is asked once for a signature, not twice in a row. It never
// outlives the signature.
struct PinStorage {
    std::array<char, kPinCapacity> bytes{};
    std::size_t length = 0;
    bool held = false;   // taken for the session's login, not yet tried on the key
    int wrongTries = 0;  // wrong PINs given during the signature, at either login
    ~PinStorage() { Wipe(); }
    void Wipe() {
        OPENSSL_cleanse(bytes.data(), bytes.size());
        length = 0;
        held = false;
    }
};

// Logs the user in (`user` CKU_USER), or gives the PIN for one operation
// (CKU_CONTEXT_SPECIFIC), asking through the prompt the user interface
// registered unless `typed` holds the PIN the session's login took during
// this signature. Never asks when the token has locked its PIN.
void Login(TokenSession& session, const Certificate& cert, const TokenKey& key, CK_USER_TYPE user,
           PinStorage& typed) {
    TokenModule& module = *session.module;
    bool wrong = false;
    for (;;) {
        CK_TOKEN_INFO info{};
        module.Call(&CK_FUNCTION_LIST::C_GetTokenInfo, session.slot, &info).Check([&] {
            return "cannot read " + TokenName(key);
        });
        if (user == CKU_USER && (info.flags & CKF_LOGIN_REQUIRED) == 0) return;
        if ((info.flags & CKF_USER_PIN_LOCKED) != 0)
            Fail(SCARD_W_CHV_BLOCKED, "the PIN of " + TokenName(key) + " is locked");

        platform::seams::PinRequest request;
        request.tokenLabel = key.tokenLabel;
        request.tokenSerial = key.tokenSerial;
        request.subject = SubjectOf(cert);
        request.minLength = info.ulMinPinLen;
        request.maxLength = info.ulMaxPinLen == CK_UNAVAILABLE_INFORMATION
                                ? 0
                                : std::min<std::size_t>(info.ulMaxPinLen, kPinCapacity - 1);
        request.wrongPin = wrong;
        request.fewTriesLeft = (info.flags & CKF_USER_PIN_COUNT_LOW) != 0;
        // The token's own last try, or the last this signature makes.
        const bool tokensLastTry = (info.flags & CKF_USER_PIN_FINAL_TRY) != 0;
        request.lastTry = tokensLastTry || typed.wrongTries + 1 >= kMaxWrongPins;
        request.keyOnly = user == CKU_CONTEXT_SPECIFIC;
        platform::seams::TokenPrompt* prompt = platform::seams::CurrentTokenPrompt();

        Returned login;
        if ((info.flags & CKF_PROTECTED_AUTHENTICATION_PATH) != 0) {
            // The reader takes the PIN itself; the user is told to enter it
            // there while the token waits.
            if (prompt != nullptr) prompt->BeginPinPadNotice(request);
            login = module.Call(&CK_FUNCTION_LIST::C_Login, session.handle, user, nullptr, 0);
            if (prompt != nullptr) prompt->EndPinPadNotice();
            if (login.rv == CKR_PIN_INCORRECT)
                login.Throw("the PIN entered on the reader of " + TokenName(key) + " was wrong");
        } else {
            if (user != CKU_CONTEXT_SPECIFIC || !typed.held || wrong) {
                typed.Wipe();
                if (prompt == nullptr)
                    Fail(ERROR_CANCELLED, "nobody can be asked for the PIN of " + TokenName(key));
                platform::seams::PinBuffer buffer{typed.bytes.data(), typed.bytes.size(), 0};
                if (!prompt->AskPin(request, buffer))
                    Fail(ERROR_CANCELLED, "the PIN of " + TokenName(key) + " was not entered");
                typed.length = std::min(buffer.length, typed.bytes.size() - 1);
            }
            login = module.Call(&CK_FUNCTION_LIST::C_Login, session.handle, user,
                                reinterpret_cast<CK_UTF8CHAR*>(typed.bytes.data()),
                                CK_ULONG(typed.length));
            if (user == CKU_CONTEXT_SPECIFIC || !login.Ok())
                typed.Wipe();
            else
                typed.held = true;
            if (login.rv == CKR_PIN_INCORRECT || login.rv == CKR_PIN_LEN_RANGE) {
                wrong = true;
                ++typed.wrongTries;
                if (tokensLastTry)
                    login.Throw("the PIN of " + TokenName(key) +
                                " was wrong at the token's last try; the token may have locked it");
                if (typed.wrongTries >= kMaxWrongPins)
                    login.Throw(
                        "the PIN of " + TokenName(key) + " was wrong " +
                        std::to_string(typed.wrongTries) +
                        " times; it is not tried again, so that the token does not lock it");
                continue;
            }
        }
        login.Check(
            [&] {
                // The words for the failures a user meets; the error is the
                // table's.
                const DWORD error = PlatformError(login.rv);
                if (error == DWORD(SCARD_W_CHV_BLOCKED))
                    return "the PIN of " + TokenName(key) + " is locked";
                if (error == DWORD(ERROR_CANCELLED))
                    return "the PIN of " + TokenName(key) + " was not entered";
                return "cannot log in to " + TokenName(key);
            },
            {CKR_USER_ALREADY_LOGGED_IN});
        g_logins.fetch_add(1);
        return;
    }
}

void EnsureLoggedIn(TokenSession& session, const Certificate& cert, const TokenKey& key,
                    PinStorage& typed) {
    if (session.loggedIn) return;
    CK_SESSION_INFO info{};
    const CK_RV rv =
        session.module->Call(&CK_FUNCTION_LIST::C_GetSessionInfo, session.handle, &info).OrGone();
    if (rv != CKR_OK ||
        (info.state != CKS_RO_USER_FUNCTIONS && info.state != CKS_RW_USER_FUNCTIONS))
        Login(session, cert, key, CKU_USER, typed);
    session.loggedIn = true;
}

bool BoolAttribute(TokenSession& session, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type,
                   bool otherwise) {
    const auto bytes = AttributeBytes(session, object, type);
    if (!bytes || bytes->size() != sizeof(CK_BBOOL)) return otherwise;
    return (*bytes)[0] != CK_FALSE;
}

// What a request asks of the token and of its key.
struct Mechanism {
    TokenMechanism kind = TokenMechanism::RsaPkcs;
    CK_MECHANISM_TYPE type = CKM_RSA_PKCS;
    CK_KEY_TYPE keyType = CKK_RSA;
    const EVP_MD* md = nullptr;  // RsaPss: the digest the parameters name
    CK_RSA_PKCS_PSS_PARAMS pss{};
};

const char* KeyTypeName(CK_KEY_TYPE type) {
    switch (type) {
        case CKK_RSA:
            return "an RSA key";
        case CKK_EC:
            return "an EC key";
        case CKK_DSA:
            return "a DSA key";
        case CKK_EC_EDWARDS:
            return "an EdDSA key";
        default:
            return "a key of a type that cannot sign here";
    }
}

const char* PublicKeyName(const EVP_PKEY* key) {
    switch (key == nullptr ? EVP_PKEY_NONE : EVP_PKEY_get_base_id(key)) {
        case EVP_PKEY_RSA:
        case EVP_PKEY_RSA_PSS:
            return "an RSA key";
        case EVP_PKEY_EC:
            return "an EC key";
        case EVP_PKEY_ED25519:
        case EVP_PKEY_ED448:
            return "an EdDSA key";
        case EVP_PKEY_DSA:
            return "a DSA key";
        default:
            return "a key of a type that cannot sign here";
    }
}

// The key as a user finds it again: its pkcs11: URI, which names the token
// and the module too.
std::string KeyName(const TokenKey& key) {
    if (!key.uri.empty()) return "the key " + key.uri;
    static constexpr char kHex[] = "0123456789abcdef";
    std::string id;
    for (const BYTE b : key.id) id.append({kHex[b >> 4], kHex[b & 15]});
    return "the key with id " + (id.empty() ? std::string("(none)") : id) + " on " + TokenName(key);
}

[[noreturn]] void NotSupported(const TokenKey& key, const Mechanism& mechanism,
                               const std::string& why) {
    Fail(NTE_NOT_SUPPORTED,
         KeyName(key) + " cannot sign with " + MechanismName(mechanism.kind) + ": " + why);
}

// The mechanism of a request, its parameters, and the checks of its input
// that need no token.
Mechanism MechanismOf(const TokenSignRequest& request) {
    Mechanism m;
    m.kind = request.mechanism;
    switch (request.mechanism) {
        case TokenMechanism::RsaPkcs:
            if (request.input.empty()) Fail(NTE_BAD_DATA, "no DigestInfo to sign");
            return m;
        case TokenMechanism::RsaPss: {
            m.type = CKM_RSA_PKCS_PSS;
            switch (request.digestNid) {
                case NID_sha256:
                    m.pss = {CKM_SHA256, CKG_MGF1_SHA256, 32};
                    break;
                case NID_sha384:
                    m.pss = {CKM_SHA384, CKG_MGF1_SHA384, 48};
                    break;
                case NID_sha512:
                    m.pss = {CKM_SHA512, CKG_MGF1_SHA512, 64};
                    break;
                default:
                    Fail(NTE_BAD_HASH,
                         "CKM_RSA_PKCS_PSS signs SHA-256, SHA-384 or SHA-512 digests only");
            }
            m.md = EVP_get_digestbynid(request.digestNid);
            if (m.md == nullptr) Fail(NTE_BAD_HASH, "the digest of the request is not known here");
            if (request.input.size() != m.pss.sLen)
                Fail(NTE_BAD_HASH,
                     "the digest to sign has " + std::to_string(request.input.size()) + " bytes; " +
                         OBJ_nid2sn(request.digestNid) + " makes " + std::to_string(m.pss.sLen));
            return m;
        }
        case TokenMechanism::Ecdsa:
            m.type = CKM_ECDSA;
            m.keyType = CKK_EC;
            if (request.input.empty() || request.input.size() > EVP_MAX_MD_SIZE)
                Fail(NTE_BAD_HASH, "the digest to sign has " +
                                       std::to_string(request.input.size()) +
                                       " bytes, which no digest makes");
            return m;
    }
    Fail(E_INVALIDARG, "the token was asked for a mechanism it has no name for");
}

// The certificate's key can make a signature of this kind at all; told
// before a token is asked anything.
void CheckCertificateKey(const Certificate& cert, const TokenKey& key, const Mechanism& m) {
    EVP_PKEY* publicKey = cert.X509Cert() == nullptr ? nullptr : X509_get0_pubkey(cert.X509Cert());
    const int type = publicKey == nullptr ? EVP_PKEY_NONE : EVP_PKEY_get_base_id(publicKey);
    const bool fits = m.kind == TokenMechanism::Ecdsa
                          ? type == EVP_PKEY_EC
                          : type == EVP_PKEY_RSA ||
                                (type == EVP_PKEY_RSA_PSS && m.kind == TokenMechanism::RsaPss);
    if (!fits)
        NotSupported(key, m,
                     std::string("the certificate's key is ") + PublicKeyName(publicKey) +
                         (m.kind == TokenMechanism::Ecdsa ? ", not an EC key"
                                                          : ", not an RSA key of this kind"));
}

// The token offers the mechanism for signing (C_GetMechanismInfo, asked
// once per session); told before the PIN is asked.
void CheckOffered(TokenSession& session, const TokenKey& key, const Mechanism& m) {
    auto known = session.mechanisms.find(m.type);
    if (known == session.mechanisms.end()) {
        CK_MECHANISM_INFO info{};
        const Returned asked = session.module->Call(&CK_FUNCTION_LIST::C_GetMechanismInfo,
                                                    session.slot, m.type, &info);
        std::optional<CK_FLAGS> flags;
        if (asked.OrGone() == CKR_OK) {
            flags = info.flags;
        } else if (asked.rv != CKR_MECHANISM_INVALID) {
            // The token could not say; nothing is kept, it is asked again
            // the next time.
            NotSupported(key, m,
                         TokenName(key) + " cannot tell whether it offers it: " + asked.Cause());
        }
        known = session.mechanisms.emplace(m.type, flags).first;
    }
    if (!known->second) NotSupported(key, m, TokenName(key) + " does not offer it");
    if ((*known->second & CKF_SIGN) == 0)
        NotSupported(key, m, TokenName(key) + " does not sign with it");
}

// The key found may sign with the mechanism: its type, and the mechanisms
// the token allows it, if it says.
void CheckKeyFor(const TokenSession::CheckedKey& object, const TokenKey& key, const Mechanism& m) {
    if (object.keyType != m.keyType)
        NotSupported(key, m, std::string("it is ") + KeyTypeName(object.keyType));
    if (!object.allowed.empty() &&
        std::find(object.allowed.begin(), object.allowed.end(), m.type) == object.allowed.end())
        NotSupported(key, m, "the token allows the key other mechanisms only");
}

// The private key with the certificate's CKA_ID, checked to be the
// certificate's own key (an RSA key by its modulus, an EC key by its curve;
// the signature is checked against the certificate in any case) and
// allowed to sign.
TokenSession::CheckedKey SigningKey(TokenSession& session, const Certificate& cert,
                                    const TokenKey& key) {
    CK_OBJECT_CLASS keyClass = CKO_PRIVATE_KEY;
    const auto found =
        FindObjects(session, {{CKA_CLASS, &keyClass, sizeof keyClass},
                              {CKA_ID, const_cast<BYTE*>(key.id.data()), CK_ULONG(key.id.size())}});
    if (found.empty())
        Fail(NTE_NO_KEY, TokenName(key) + " holds no private key for the certificate");
    TokenSession::CheckedKey object{};
    object.handle = found.front();
    const auto type = AttributeBytes(session, object.handle, CKA_KEY_TYPE);
    object.keyType = ~CK_KEY_TYPE(0);
    if (type && type->size() == sizeof object.keyType)
        std::memcpy(&object.keyType, type->data(), sizeof object.keyType);
    if (!BoolAttribute(session, object.handle, CKA_SIGN, true))
        Fail(NTE_BAD_KEY, "the key on " + TokenName(key) + " may not sign");
    // A token whose key under this id is another one than the
    // certificate's would make a signature nobody can verify.
    const auto another = [&] {
        Fail(NTE_BAD_KEY,
             "the key on " + TokenName(key) + " with the certificate's id is another key");
    };
    EVP_PKEY* publicKey = X509_get0_pubkey(cert.X509Cert());
    const int certType = publicKey == nullptr ? EVP_PKEY_NONE : EVP_PKEY_get_base_id(publicKey);
    const bool certRsa = certType == EVP_PKEY_RSA || certType == EVP_PKEY_RSA_PSS;
    if ((object.keyType == CKK_RSA && certType != EVP_PKEY_NONE && !certRsa) ||
        (object.keyType == CKK_EC && certType != EVP_PKEY_NONE && certType != EVP_PKEY_EC))
        another();
    if (object.keyType == CKK_RSA && certRsa) {
        if (const auto modulus = AttributeBytes(session, object.handle, CKA_MODULUS)) {
            BIGNUM* n = nullptr;
            EVP_PKEY_get_bn_param(publicKey, "n", &n);
            ossl::BignumPtr certModulus(n);
            ossl::BignumPtr keyModulus(
                BN_bin2bn(modulus->data(), static_cast<int>(modulus->size()), nullptr));
            if (!certModulus || !keyModulus || BN_cmp(certModulus.get(), keyModulus.get()) != 0)
                another();
        }
    }
    if (object.keyType == CKK_EC && certType == EVP_PKEY_EC) {
        // The curve, as the certificate's key parameters name it.
        const CRYPT_OBJID_BLOB& curve = cert.Info()->SubjectPublicKeyInfo.Algorithm.Parameters;
        if (const auto params = AttributeBytes(session, object.handle, CKA_EC_PARAMS))
            if (curve.cbData > 0 && !std::equal(params->begin(), params->end(), curve.pbData,
                                                curve.pbData + curve.cbData))
                another();
    }
    object.alwaysAuthenticate =
        BoolAttribute(session, object.handle, CKA_ALWAYS_AUTHENTICATE, false);
    if (const auto allowed = AttributeBytes(session, object.handle, CKA_ALLOWED_MECHANISMS);
        allowed && allowed->size() % sizeof(CK_MECHANISM_TYPE) == 0) {
        object.allowed.resize(allowed->size() / sizeof(CK_MECHANISM_TYPE));
        if (!allowed->empty()) std::memcpy(object.allowed.data(), allowed->data(), allowed->size());
    }
    return object;
}

// A DER ECDSA-Sig-Value from the r||s a token makes (each half as long as
// the curve's order); empty when the halves are no signature.
std::vector<BYTE> EcdsaSigValue(const std::vector<BYTE>& raw) {
    if (raw.empty() || raw.size() % 2 != 0) return {};
    const int half = static_cast<int>(raw.size() / 2);
    ECDSA_SIG* sig = ECDSA_SIG_new();
    BIGNUM* r = BN_bin2bn(raw.data(), half, nullptr);
    BIGNUM* s = BN_bin2bn(raw.data() + half, half, nullptr);
    if (sig == nullptr || r == nullptr || s == nullptr || ECDSA_SIG_set0(sig, r, s) != 1) {
        BN_free(r);
        BN_free(s);
        ECDSA_SIG_free(sig);
        Fail(NTE_NO_MEMORY, "cannot encode the signature");
    }
    auto der = ossl::ToDer(sig, i2d_ECDSA_SIG);
    ECDSA_SIG_free(sig);
    return der;
}

// The signature verifies with the certificate's key as the request asked.
bool Verifies(EVP_PKEY* publicKey, const Mechanism& m, const std::vector<BYTE>& signature,
              const std::vector<BYTE>& input) {
    if (signature.empty()) return false;
    ossl::PkeyCtxPtr verify(EVP_PKEY_CTX_new(publicKey, nullptr));
    bool ok = verify && EVP_PKEY_verify_init(verify.get()) == 1;
    if (ok && m.kind == TokenMechanism::RsaPkcs)
        ok = EVP_PKEY_CTX_set_rsa_padding(verify.get(), RSA_PKCS1_PADDING) == 1;
    if (ok && m.kind == TokenMechanism::RsaPss)
        ok = EVP_PKEY_CTX_set_rsa_padding(verify.get(), RSA_PKCS1_PSS_PADDING) == 1 &&
             EVP_PKEY_CTX_set_signature_md(verify.get(), m.md) == 1 &&
             EVP_PKEY_CTX_set_rsa_mgf1_md(verify.get(), m.md) == 1 &&
             EVP_PKEY_CTX_set_rsa_pss_saltlen(verify.get(), int(m.pss.sLen)) == 1;
    ok = ok && EVP_PKEY_verify(verify.get(), signature.data(), signature.size(), input.data(),
                               input.size()) == 1;
    if (!ok) ossl::DropErrors();
    return ok;
}

// Return values of C_SignInit that say the key or the token will not sign
// this way.
bool Refused(CK_RV rv) {
    return rv == CKR_MECHANISM_INVALID || rv == CKR_MECHANISM_PARAM_INVALID ||
           rv == CKR_KEY_TYPE_INCONSISTENT || rv == CKR_KEY_FUNCTION_NOT_PERMITTED;
}

std::vector<BYTE> SignOnce(TokenSession& session, const Certificate& cert, const TokenKey& key,
                           Mechanism& m, const std::vector<BYTE>& input) {
    std::lock_guard use(session.use);
    CheckOffered(session, key, m);
    PinStorage typed;
    EnsureLoggedIn(session, cert, key, typed);
    TokenModule& module = *session.module;
    // The token may have ended the login this process counts on (its
    // sessions were closed by someone else in the process): one login more.
    const auto relogin = [&](CK_RV rv) {
        if (rv != CKR_USER_NOT_LOGGED_IN) return false;
        session.loggedIn = false;
        EnsureLoggedIn(session, cert, key, typed);
        return true;
    };
    const auto checkedKey = std::make_pair(key.id, cert.Der());
    CK_MECHANISM mechanism{m.type, nullptr, 0};
    if (m.kind == TokenMechanism::RsaPss) {
        mechanism.pParameter = &m.pss;
        mechanism.ulParameterLen = sizeof m.pss;
    }
    Returned started;
    TokenSession::CheckedKey object{};
    for (int attempt = 0;; ++attempt) {
        const auto known = session.keys.find(checkedKey);
        object = known != session.keys.end() ? known->second : SigningKey(session, cert, key);
        CheckKeyFor(object, key, m);
        started =
            module.Call(&CK_FUNCTION_LIST::C_SignInit, session.handle, &mechanism, object.handle);
        if (attempt == 0 && relogin(started.rv)) continue;
        // A handle kept from before may have gone with its object; the key
        // is looked for once more.
        if ((started.rv == CKR_KEY_HANDLE_INVALID || started.rv == CKR_OBJECT_HANDLE_INVALID) &&
            known != session.keys.end() && attempt == 0) {
            session.keys.erase(known);
            continue;
        }
        break;
    }
    if (Refused(started.rv)) {
        session.keys[checkedKey] = object;
        NotSupported(key, m, TokenName(key) + " refused it: " + started.Cause());
    }
    started.Check([&] { return "cannot start signing on " + TokenName(key); });
    session.keys[checkedKey] = object;
    EVP_PKEY* publicKey = X509_get0_pubkey(cert.X509Cert());
    std::size_t capacity = std::size_t(std::max(EVP_PKEY_get_size(publicKey), 1));
    // CKM_ECDSA makes r||s, each as long as the curve's order.
    if (m.kind == TokenMechanism::Ecdsa)
        capacity = std::max(capacity, 2 * std::size_t((EVP_PKEY_get_bits(publicKey) + 7) / 8));
    std::vector<BYTE> signature(capacity);
    CK_ULONG length = CK_ULONG(signature.size());
    if (object.alwaysAuthenticate) {
        try {
            Login(session, cert, key, CKU_CONTEXT_SPECIFIC, typed);
        } catch (...) {
            // The token keeps the operation C_SignInit began, and would
            // refuse the session's next one with CKR_OPERATION_ACTIVE. A
            // C_Sign that does not ask for the length ends it whatever it
            // returns; what it makes without the key's login is thrown away,
            // as is the refusal it is expected to meet.
            module
                .Call(&CK_FUNCTION_LIST::C_Sign, session.handle, const_cast<CK_BYTE*>(input.data()),
                      CK_ULONG(input.size()), signature.data(), &length)
                .Keep({CKR_USER_NOT_LOGGED_IN});
            throw;
        }
    }
    module
        .Call(&CK_FUNCTION_LIST::C_Sign, session.handle, const_cast<CK_BYTE*>(input.data()),
              CK_ULONG(input.size()), signature.data(), &length)
        .Check([&] { return TokenName(key) + " did not sign"; });
    // A module that says it wrote more than it was given room for is not
    // believed.
    signature.resize(std::min<std::size_t>(length, signature.size()));
    if (m.kind == TokenMechanism::Ecdsa) signature = EcdsaSigValue(signature);
    // What the token made is checked against the certificate before anyone
    // sees it: a wrong signature is never handed out as a signature.
    if (!Verifies(publicKey, m, signature, input))
        Fail(NTE_BAD_SIGNATURE,
             "the signature made by " + TokenName(key) + " does not match the certificate");
    return signature;
}

}  // namespace

SlotListing ListSlots(TokenModule& module, bool present) {
    SlotListing listing;
    const CK_BBOOL which = present ? CK_TRUE : CK_FALSE;
    // A token put in between the two calls makes the list longer than the
    // count: it is asked again.
    for (int attempt = 0; attempt < 3; ++attempt) {
        CK_ULONG count = 0;
        listing.returned = module.Call(&CK_FUNCTION_LIST::C_GetSlotList, which, nullptr, &count);
        if (listing.returned.Keep() != CKR_OK || count == 0) return listing;
        if (count > kMaxSlots) {
            listing.problem = "the PKCS#11 module " + module.name + " reports " +
                              std::to_string(count) + " slots, more than the " +
                              std::to_string(kMaxSlots) +
                              " any reader set has; its tokens were not read";
            listing.returned = {CKR_GENERAL_ERROR, FunctionName(&CK_FUNCTION_LIST::C_GetSlotList)};
            NoteModuleWarning(listing.problem);
            return listing;
        }
        listing.slots.assign(count, 0);
        listing.returned =
            module.Call(&CK_FUNCTION_LIST::C_GetSlotList, which, listing.slots.data(), &count);
        if (listing.returned.Keep({CKR_BUFFER_TOO_SMALL}) == CKR_BUFFER_TOO_SMALL) continue;
        listing.slots.resize(
            listing.returned.Ok() ? std::min<std::size_t>(count, listing.slots.size()) : 0);
        return listing;
    }
    listing.slots.clear();
    return listing;
}

std::shared_ptr<TokenSession> SessionOf(const std::shared_ptr<TokenModule>& module,
                                        const std::string& serial, CK_SLOT_ID slot) {
    std::lock_guard lock(g_mutex);
    const auto key = std::make_pair(module.get(), serial);
    if (const auto it = g_sessions.find(key); it != g_sessions.end()) return it->second;
    const auto found = FindSlot(*module, serial, slot);
    if (!found) {
        const std::string what =
            "no slot of " + module->name + " holds the token of serial " + serial;
        platform::KeepCause(what);
        throw TokenGoneError(CKR_TOKEN_NOT_PRESENT, what);
    }
    auto session = std::make_shared<TokenSession>();
    session->module = module;
    session->slot = *found;
    session->serial = serial;
    module
        ->Call(&CK_FUNCTION_LIST::C_OpenSession, *found, CK_FLAGS(CKF_SERIAL_SESSION), nullptr,
               nullptr, &session->handle)
        .Check([&] { return "cannot open a session with the token of serial " + serial; });
    g_sessions.emplace(key, session);
    return session;
}

bool SessionAlive(TokenModule& module, const std::string& serial, CK_SLOT_ID slot) {
    std::shared_ptr<TokenSession> session;
    {
        std::lock_guard lock(g_mutex);
        const auto it = g_sessions.find({&module, serial});
        if (it == g_sessions.end() || it->second->slot != slot) return false;
        session = it->second;
    }
    CK_SESSION_INFO info{};
    return module.Call(&CK_FUNCTION_LIST::C_GetSessionInfo, session->handle, &info).Ok() &&
           info.slotID == slot;
}

void DropSession(const std::shared_ptr<TokenSession>& session) {
    {
        std::lock_guard lock(g_mutex);
        const auto it = g_sessions.find({session->module.get(), session->serial});
        if (it == g_sessions.end() || it->second != session) return;
        g_sessions.erase(it);
    }
    // A session of a token that went away is gone already; closing it is
    // only tidying up.
    session->module->Call(&CK_FUNCTION_LIST::C_CloseSession, session->handle).Tidy();
}

void ForgetTokenSessions() {
    SessionTable closing;
    {
        std::lock_guard lock(g_mutex);
        closing.swap(g_sessions);
    }
    // As the modules are closed (often as the process ends): what the
    // closing returns has nobody left to be told to.
    for (auto& [key, session] : closing)
        (void)session->module->Call(&CK_FUNCTION_LIST::C_CloseSession, session->handle);
}

unsigned long LoginGeneration() {
    return g_logins.load();
}

std::vector<CK_OBJECT_HANDLE> FindObjects(TokenSession& session,
                                          std::vector<CK_ATTRIBUTE> attributes) {
    TokenModule& module = *session.module;
    std::lock_guard lock(module.mutex);  // the three calls belong together
    module
        .Call(&CK_FUNCTION_LIST::C_FindObjectsInit, session.handle, attributes.data(),
              CK_ULONG(attributes.size()))
        .Check([&] { return "cannot search the token of serial " + session.serial; });
    std::vector<CK_OBJECT_HANDLE> found;
    std::array<CK_OBJECT_HANDLE, 64> batch{};
    Returned next;
    for (;;) {
        CK_ULONG count = 0;
        next = module.Call(&CK_FUNCTION_LIST::C_FindObjects, session.handle, batch.data(),
                           CK_ULONG(batch.size()), &count);
        if (!next.Ok() || count == 0) break;
        found.insert(found.end(), batch.begin(), batch.begin() + std::ptrdiff_t(count));
        if (found.size() > 100000) break;  // no token holds that many; a faulty module might
    }
    module.Call(&CK_FUNCTION_LIST::C_FindObjectsFinal, session.handle).Tidy();
    // A search cut short by a token gone finds nothing of it; one cut short
    // otherwise finds what it found.
    next.OrGone();
    next.Keep();
    return found;
}

std::optional<std::vector<unsigned char>> AttributeBytes(TokenSession& session,
                                                         CK_OBJECT_HANDLE object,
                                                         CK_ATTRIBUTE_TYPE type) {
    TokenModule& module = *session.module;
    CK_ATTRIBUTE attribute{type, nullptr, 0};
    // A value the token hides, or an attribute the object lacks, is no
    // failure: the answer is nothing.
    if (module.Call(&CK_FUNCTION_LIST::C_GetAttributeValue, session.handle, object, &attribute,
                    CK_ULONG(1))
                .OrGone() != CKR_OK ||
        attribute.ulValueLen == CK_UNAVAILABLE_INFORMATION || attribute.ulValueLen > (1u << 20))
        return std::nullopt;
    std::vector<unsigned char> bytes(attribute.ulValueLen);
    attribute.pValue = bytes.data();
    if (module.Call(&CK_FUNCTION_LIST::C_GetAttributeValue, session.handle, object, &attribute,
                    CK_ULONG(1))
                .OrGone() != CKR_OK ||
        attribute.ulValueLen > bytes.size())
        return std::nullopt;
    bytes.resize(attribute.ulValueLen);
    return bytes;
}

const char* MechanismName(TokenMechanism mechanism) {
    switch (mechanism) {
        case TokenMechanism::RsaPkcs:
            return "CKM_RSA_PKCS";
        case TokenMechanism::RsaPss:
            return "CKM_RSA_PKCS_PSS";
        case TokenMechanism::Ecdsa:
            return "CKM_ECDSA";
    }
    return "an unknown mechanism";
}

std::vector<BYTE> SignWithTokenKey(const Certificate& cert, const TokenSignRequest& request) {
    const TokenKey* key = cert.Token();
    if (key == nullptr || !key->module)
        Fail(CRYPT_E_NO_KEY_PROPERTY, "the certificate has no key on a token");
    Mechanism mechanism = MechanismOf(request);
    CheckCertificateKey(cert, *key, mechanism);
    // A token that went away is looked for once more (it may be back, in
    // another slot); its serial, not its slot, says which token it is.
    std::string why;
    for (int attempt = 0;; ++attempt) {
        std::shared_ptr<TokenSession> session;
        try {
            session = SessionOf(key->module, key->tokenSerial, kNoSlot);
            return SignOnce(*session, cert, *key, mechanism, request.input);
        } catch (const TokenGoneError& gone) {
            if (session) DropSession(session);
            why.append(why.empty() ? "" : "; ").append(gone.what());
            if (attempt >= 1) Fail(gone.Code(), TokenName(*key) + " is not there any more: " + why);
        }
    }
}

std::vector<BYTE> SignWithTokenKey(const Certificate& cert, const std::vector<BYTE>& digestInfo) {
    return SignWithTokenKey(cert, TokenSignRequest{TokenMechanism::RsaPkcs, digestInfo, 0});
}

}  // namespace platform::crypt
