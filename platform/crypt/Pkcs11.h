#pragma once
// PKCS#11 modules as the crypt layer holds them. Private to the crypt layer:
// nothing of PKCS#11 reaches its public headers.

// The platform has TRUE and FALSE of its own.
#define CK_DISABLE_TRUE_FALSE
#include <p11-kit/p11-kit.h>
#include <p11-kit/pkcs11.h>
#include <p11-kit/uri.h>

#include <algorithm>
#include <initializer_list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/win/Failure.h"

namespace platform::crypt {

// What PKCS#11 return values mean to the platform, in one table
// (TokenCalls.cpp): their names, the platform's error for a call that failed
// with one, and which say that the token or its session is gone.

// The text of a PKCS#11 return value ("CKR_PIN_INCORRECT"; "CKR 0x80000001"
// for one the table does not know).
std::string ReturnValueName(CK_RV rv);

// The platform's error for a call that failed with `rv`: SCARD_W_REMOVED_CARD
// when the token or its session is gone, SCARD_W_CHV_BLOCKED for a locked
// PIN, SCARD_W_WRONG_CHV for a wrong one, ERROR_CANCELLED when the user
// cancelled, NTE_BAD_ALGID when the key or the mechanism cannot sign;
// `otherwise` for every other value.
DWORD PlatformError(CK_RV rv, DWORD otherwise = DWORD(NTE_FAIL));

// True for the return values that say the token or its session is gone.
bool TokenGone(CK_RV rv);

// The name of a function of CK_FUNCTION_LIST by its place in the list
// ("C_Sign"), and by its member.
std::string_view FunctionName(std::size_t offset);
template <typename F>
std::string_view FunctionName(F CK_FUNCTION_LIST::*function) {
    static constexpr CK_FUNCTION_LIST kProbe{};
    return FunctionName(std::size_t(reinterpret_cast<const char*>(&(kProbe.*function)) -
                                    reinterpret_cast<const char*>(&kProbe)));
}

// The token or its session went away under a call: a Failure with
// SCARD_W_REMOVED_CARD whose text says which call found it gone. Whoever
// looks for the token anew catches it.
class TokenGoneError : public platform::Failure {
public:
    TokenGoneError(CK_RV rv, const std::string& what)
        : platform::Failure(DWORD(SCARD_W_REMOVED_CARD), what), m_rv(rv) {}
    CK_RV Rv() const { return m_rv; }

private:
    CK_RV m_rv;
};

// What one call into a module returned (TokenModule::Call), and, when it
// failed, the function that returned it. Every call says what its failure
// is in one of these ways:
//   Check  throws unless the value is CKR_OK or a result the caller takes;
//   Throw  throws for a value the caller has looked at;
//   OrGone throws only when the token or its session is gone: any other
//          failure is the caller's answer (an attribute the token hides);
//   Keep   never throws: for calls that must not (closing, finalising,
//          reading what a listing shows), the cause of the failure kept;
//   Tidy   Keep, quiet about a token already gone (closing its session).
// A failure is told by its cause, "C_Sign returned CKR_PIN_INCORRECT
// (0x000000A0)": at the end of the thrown failure's text, or, for one kept,
// among the causes of the failure under way (platform::KeepCause).
struct [[nodiscard]] Returned {
    CK_RV rv = CKR_OK;
    std::string_view function;  // set when rv is not CKR_OK

    bool Ok() const { return rv == CKR_OK; }
    std::string Cause() const;

    // `context` makes the words before the cause ("the token ... did not
    // sign"), only when the call failed; `otherwise` is the platform's
    // error for a value PlatformError leaves to the caller.
    template <typename Context>
    CK_RV Check(Context&& context, std::initializer_list<CK_RV> results = {},
                DWORD otherwise = DWORD(NTE_FAIL)) const {
        if (rv == CKR_OK || std::find(results.begin(), results.end(), rv) != results.end())
            return rv;
        Throw(context(), otherwise);
    }
    [[noreturn]] void Throw(const std::string& context, DWORD otherwise = DWORD(NTE_FAIL)) const;
    CK_RV OrGone() const;
    CK_RV Keep(std::initializer_list<CK_RV> quiet = {}) const noexcept;
    CK_RV Tidy() const noexcept;
};

}  // namespace platform::crypt

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

    // Calls `function` of the module; what it returned says, when it
    // failed, which function that was (see Returned).
    template <typename F, typename... Args>
    Returned Call(F CK_FUNCTION_LIST::*function, Args... args) {
        CK_RV rv = CKR_OK;
        {
            std::lock_guard lock(mutex);
            if (functions == nullptr) {
                rv = CKR_CRYPTOKI_NOT_INITIALIZED;
            } else if (auto fn = functions->*function; fn == nullptr) {
                rv = CKR_FUNCTION_NOT_SUPPORTED;
            } else {
                rv = fn(args...);
            }
        }
        if (rv == CKR_OK) return {};
        return {rv, FunctionName(function)};
    }
};

struct ModuleSet {
    std::vector<std::shared_ptr<TokenModule>> modules;
    std::vector<std::string> warnings;
    std::string setting;  // the setting in force, in words
};

// The modules of this process, loaded on the first call.
std::shared_ptr<const ModuleSet> LoadedModules();

// A blank-padded PKCS#11 text field without its padding.
std::string FieldText(const unsigned char* field, std::size_t size);

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
        CK_KEY_TYPE keyType;
        std::vector<CK_MECHANISM_TYPE> allowed;  // CKA_ALLOWED_MECHANISMS; empty: any
    };
    std::map<std::pair<std::vector<unsigned char>, std::vector<unsigned char>>, CheckedKey> keys;
    // What the token's C_GetMechanismInfo said of a mechanism: its flags, or
    // nothing when the token does not offer it.
    std::map<CK_MECHANISM_TYPE, std::optional<CK_FLAGS>> mechanisms;
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
    Returned returned;
    std::vector<CK_SLOT_ID> slots;
    std::string problem;
};
SlotListing ListSlots(TokenModule& module, bool present);

// What the modules of the set in force did wrong since they were loaded,
// one sentence each, once each (TokenObjects.cpp).
void NoteModuleWarning(const std::string& warning);
std::vector<std::string> ModuleWarnings();

}  // namespace platform::crypt
