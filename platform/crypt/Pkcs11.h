#pragma once
// PKCS#11 modules as the crypt layer holds them. Private to the crypt layer:
// nothing of PKCS#11 reaches its public headers.

// The platform has TRUE and FALSE of its own.
#define CK_DISABLE_TRUE_FALSE
#include <p11-kit/p11-kit.h>
#include <p11-kit/pkcs11.h>
#include <p11-kit/uri.h>

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/win/Failure.h"

namespace platform::crypt {

// One loaded and initialised module. Every call into it goes through Call,
// one at a time: modules differ in what they allow from several threads, and
// none has to allow anything.
struct TokenModule {
    std::string name;  // p11-kit's name of a registered module, else its path
    std::string path;
    std::string description;  // CK_INFO's library description
    CK_INFO info{};
    CK_FUNCTION_LIST* functions = nullptr;  // null once finalised
    std::recursive_mutex mutex;
    bool leftLoaded = false;  // busy when the process ended: never finalised

    TokenModule() = default;
    TokenModule(const TokenModule&) = delete;
    TokenModule& operator=(const TokenModule&) = delete;
    ~TokenModule();

    // Finalises and releases the module, unless another thread is calling
    // into it; every call after it fails with CKR_CRYPTOKI_NOT_INITIALIZED.
    void Finalize();

    template <typename F, typename... Args>
    CK_RV Call(F CK_FUNCTION_LIST::*function, Args... args) {
        std::lock_guard lock(mutex);
        if (functions == nullptr) return CKR_CRYPTOKI_NOT_INITIALIZED;
        auto fn = functions->*function;
        if (fn == nullptr) return CKR_FUNCTION_NOT_SUPPORTED;
        return fn(args...);
    }
};

struct ModuleSet {
    std::vector<std::shared_ptr<TokenModule>> modules;
    std::vector<std::string> warnings;
    std::string setting;  // the setting in force, in words
};

// The modules of this process, loaded on the first call.
std::shared_ptr<const ModuleSet> LoadedModules();

// The text of a PKCS#11 return value ("CKR_PIN_INCORRECT").
std::string ReturnValueName(CK_RV rv);

// A blank-padded PKCS#11 text field without its padding.
std::string FieldText(const unsigned char* field, std::size_t size);

// True for the return values that say the token or its session is gone.
bool TokenGone(CK_RV rv);

// Forgets every session of the module set being closed (TokenSession.cpp),
// and what its tokens showed (TokenObjects.cpp).
void ForgetTokenSessions();
void ForgetTokenContents();

}  // namespace platform::crypt

namespace platform::crypt {

// The one session of a token in this process. Its owner (the session table)
// keeps it, and its login, until the modules are closed.
struct TokenSession {
    std::shared_ptr<TokenModule> module;
    CK_SLOT_ID slot = 0;
    std::string serial;
    CK_SESSION_HANDLE handle = CK_INVALID_HANDLE;
    std::mutex use;  // one operation (find, sign) at a time
    // Logged in (or no login needed) as far as this process knows; a token
    // that says otherwise is logged in to again.
    bool loggedIn = false;

    // Private keys found and checked against a certificate (by CKA_ID and
    // the certificate's DER): a handle stays valid as long as the session,
    // so the next signature spares the search and the checks.
    struct CheckedKey {
        CK_OBJECT_HANDLE handle;
        bool alwaysAuthenticate;
    };
    std::map<std::pair<std::vector<unsigned char>, std::vector<unsigned char>>, CheckedKey> keys;
};

// The token or its session went away under a call.
struct TokenGoneError {
    CK_RV rv;
};

// The session of the token with `serial` among `module`'s present tokens
// (`slot` is where to look first), opened on the first use. Throws
// TokenGoneError when no such token is present.
std::shared_ptr<TokenSession> SessionOf(const std::shared_ptr<TokenModule>& module,
                                        const std::string& serial, CK_SLOT_ID slot);
// Forgets a session that no longer works, so that the next use opens anew.
void DropSession(const std::shared_ptr<TokenSession>& session);

// True when this process holds a session with the token of `serial` in
// `slot` and the token still answers to it: the token has stayed in its
// slot since the session was opened (a token pulled out ends its sessions).
// Opens nothing.
bool SessionAlive(TokenModule& module, const std::string& serial, CK_SLOT_ID slot);

// Counts the logins made in this process: a token shows more of its objects
// (its private keys) after one.
unsigned long LoginGeneration();

// The objects of the session that match `attributes`; the bytes of an
// attribute (nothing when the object has none or hides it).
std::vector<CK_OBJECT_HANDLE> FindObjects(TokenSession& session,
                                          std::vector<CK_ATTRIBUTE> attributes);
std::optional<std::vector<unsigned char>> AttributeBytes(TokenSession& session,
                                                         CK_OBJECT_HANDLE object,
                                                         CK_ATTRIBUTE_TYPE type);

}  // namespace platform::crypt

namespace platform::crypt {

// More slots than any reader set up has; a module that reports more is
// faulty, and its count is not taken for an allocation.
constexpr CK_ULONG kMaxSlots = 1024;

// A module's slots (with a token in them only, when `present`). `problem`
// says why none were read although the module answered (it reported more
// than kMaxSlots); the same sentence is kept among the token warnings.
struct SlotListing {
    CK_RV rv = CKR_OK;
    std::vector<CK_SLOT_ID> slots;
    std::string problem;
};
SlotListing ListSlots(TokenModule& module, bool present);

// What the modules of the set in force did wrong since they were loaded,
// one sentence each, once each (TokenObjects.cpp).
void NoteModuleWarning(const std::string& warning);
std::vector<std::string> ModuleWarnings();

}  // namespace platform::crypt
