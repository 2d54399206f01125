#pragma once
// Certificates on PKCS#11 tokens, as the personal store "MY" shows them after
// its file entries. Modules are loaded through p11-kit the first time the
// store is opened and stay loaded, with one session per token, for the life
// of the process.
//
// Which modules: OSTREL_PKCS11_MODULES, else the same key in the file
// `ostrel.conf` of the ostrel home: `registered` (every module p11-kit has
// registered except its trust-policy modules; the default), `none`, or module
// paths separated by ':'. Whichever way a module is named, its file is
// checked before it is loaded: a full path to a regular file of the user or
// root that nobody else may change, in folders nobody else may change.

#include <memory>
#include <string>
#include <vector>

#include "platform/win/WinTypes.h"

namespace platform::crypt {

class Certificate;
class DiskStore;
struct TokenModule;

// The key a token certificate refers to.
struct TokenKey {
    std::shared_ptr<TokenModule> module;
    std::string moduleName;
    std::string tokenLabel;
    std::string tokenSerial;
    std::vector<BYTE> id;     // CKA_ID, shared by the certificate and its keys
    std::string uri;          // pkcs11: URI of the private key (module, token, id)
    bool keyVisible = false;  // a private or public key with the id was found
};

// The token certificates that follow `files`' entries (null: there are
// none), in store order: per module in configuration order, per token by
// serial, per certificate by CKA_ID and then by DER. A certificate already
// among the file entries or earlier on the list is left out.
std::vector<std::shared_ptr<const Certificate>> TokenCertificates(const DiskStore* files);

// What went wrong while loading modules (a module refused for its file or
// folder, one that could not be loaded or initialised, a setting that could
// not be read), and what a loaded module did wrong since (a slot count past
// all bounds), one sentence each.
std::vector<std::string> TokenWarnings();

struct TokenView {
    unsigned long slot = 0;
    std::string slotDescription;
    bool present = false;
    bool initialized = false;
    std::string label, serial, manufacturer, model;
    bool loginRequired = false;
    bool pinLocked = false;
    bool pinPad = false;  // protected authentication path
    bool pinCountLow = false;
    bool pinFinalTry = false;
    std::string error;  // the token could not be read
};

struct ModuleView {
    std::string name;
    std::string path;
    std::string description;
    std::vector<TokenView> tokens;
    std::string error;
};

// Every loaded module with its slots and their tokens, as they are now.
std::vector<ModuleView> TokenOverview();

// The setting in force, as words (for listings): where it came from and what
// it says.
std::string TokenModuleSetting();

// How the token signs.
enum class TokenMechanism {
    RsaPkcs,  // CKM_RSA_PKCS over a DER DigestInfo
    RsaPss,   // CKM_RSA_PKCS_PSS over a digest
    Ecdsa,    // CKM_ECDSA over a digest
};

struct TokenSignRequest {
    TokenMechanism mechanism = TokenMechanism::RsaPkcs;
    std::vector<BYTE> input;  // RsaPkcs: the DER DigestInfo; RsaPss, Ecdsa: the digest
    int digestNid = 0;        // RsaPss: the digest (NID_sha256/384/512), MGF1 the same,
                              // salt length = digest length
};

// The name of the mechanism as PKCS#11 spells it ("CKM_RSA_PKCS_PSS").
const char* MechanismName(TokenMechanism mechanism);

// Signs with the token key of `cert`, asking for the PIN when the token
// needs it, and checks what the token made against the certificate. The
// signature value as a message carries it: RSA as the token makes it, ECDSA
// as a DER ECDSA-Sig-Value (the token's r||s). A key the token cannot use
// with the mechanism (its key type, the module's mechanisms, the key's
// allowed mechanisms) fails with NTE_NOT_SUPPORTED, before any PIN is asked
// where that can be told without one, in words that name the key and the
// mechanism. Throws platform::Failure.
std::vector<BYTE> SignWithTokenKey(const Certificate& cert, const TokenSignRequest& request);

// The same with CKM_RSA_PKCS over `digestInfo` (a DER DigestInfo).
std::vector<BYTE> SignWithTokenKey(const Certificate& cert, const std::vector<BYTE>& digestInfo);

// Ends every session and unloads every module (the process ends, or a test
// wants the next opening to start anew).
void CloseTokenModules();

}  // namespace platform::crypt
