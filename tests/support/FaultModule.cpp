// A PKCS#11 module for tests that forwards every call to another module
// (SoftHSM2 unless OSTREL_TEST_P11_TARGET names one) and makes it misbehave
// the way a real token does and SoftHSM2 cannot, as OSTREL_TEST_P11_FAULT
// says at the time of each call:
//   locked        the user PIN is locked (flag, and C_Login refuses)
//   pinpad:PIN    the token has a PIN pad: C_Login without a PIN logs in with PIN
//   removed       the token is gone: no slot shows it, every session call fails
//   removed-once  the first signing call fails as if the token were pulled out;
//                 the token is back for the next session
//   countlow      the token reports few PIN tries left
//   finaltry      the token reports one PIN try left
//   slots:N       the module reports N slots, whatever list it is given
//   nomech:M      the token does not offer mechanism M (a number, 0x... for
//                 hex): C_GetMechanismInfo and C_GetMechanismList leave it out
//   nosign:M      the token offers mechanism M, but not for signing
// When OSTREL_TEST_P11_LOG names a file, C_Initialize and C_Finalize append
// their names to it, so that a test sees whether the module was finalised;
// when OSTREL_TEST_P11_CALLS does, C_Login appends its name there, so that a
// test counts the tries a token was given. When OSTREL_TEST_P11_MARKER names
// a file, loading the module writes it: a test sees whether any of the
// module's code ran.

#define CK_DISABLE_TRUE_FALSE
#include <dlfcn.h>
#include <p11-kit/pkcs11.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <string>

namespace {

CK_FUNCTION_LIST* g_target = nullptr;
CK_FUNCTION_LIST g_list{};
std::atomic<bool> g_removedOnceFired{false};

std::string Fault() {
    const char* f = std::getenv("OSTREL_TEST_P11_FAULT");
    return f == nullptr ? std::string() : std::string(f);
}

bool Is(const char* name) {
    return Fault() == name;
}

bool Removed() {
    return Is("removed");
}

void Log(const char* call) {
    if (const char* path = std::getenv("OSTREL_TEST_P11_LOG"); path != nullptr && *path != '\0')
        std::ofstream(path, std::ios::app) << call << "\n";
}

void Append(const char* variable, const char* text) {
    if (const char* path = std::getenv(variable); path != nullptr && *path != '\0')
        std::ofstream(path, std::ios::app) << text << "\n";
}

__attribute__((constructor)) void Loaded() {
    Append("OSTREL_TEST_P11_MARKER", "loaded");
}

CK_RV Initialize(CK_VOID_PTR args) {
    Log("C_Initialize");
    return g_target->C_Initialize(args);
}

CK_RV Finalize(CK_VOID_PTR reserved) {
    Log("C_Finalize");
    return g_target->C_Finalize(reserved);
}

CK_RV GetSlotList(CK_BBOOL present, CK_SLOT_ID_PTR list, CK_ULONG_PTR count) {
    if (const std::string fault = Fault(); fault.starts_with("slots:")) {
        if (count == nullptr) return CKR_ARGUMENTS_BAD;
        *count = std::stoul(fault.substr(6));
        return list == nullptr ? CKR_OK : CKR_BUFFER_TOO_SMALL;
    }
    if (Removed() && present == CK_TRUE) {
        *count = 0;
        return CKR_OK;
    }
    return g_target->C_GetSlotList(present, list, count);
}

CK_RV GetTokenInfo(CK_SLOT_ID slot, CK_TOKEN_INFO_PTR info) {
    if (Removed()) return CKR_TOKEN_NOT_PRESENT;
    const CK_RV rv = g_target->C_GetTokenInfo(slot, info);
    if (rv != CKR_OK) return rv;
    const std::string fault = Fault();
    if (fault == "locked") info->flags |= CKF_USER_PIN_LOCKED;
    if (fault.starts_with("pinpad:")) info->flags |= CKF_PROTECTED_AUTHENTICATION_PATH;
    if (fault == "countlow") info->flags |= CKF_USER_PIN_COUNT_LOW;
    if (fault == "finaltry") info->flags |= CKF_USER_PIN_FINAL_TRY | CKF_USER_PIN_COUNT_LOW;
    return rv;
}

// The mechanism a fault of the form "name:M" names, when the fault in force
// is of that form.
bool Names(const char* name, CK_MECHANISM_TYPE mechanism) {
    const std::string fault = Fault();
    const std::string prefix = std::string(name) + ":";
    if (!fault.starts_with(prefix)) return false;
    try {
        return std::stoul(fault.substr(prefix.size()), nullptr, 0) == mechanism;
    } catch (const std::exception&) {
        return false;
    }
}

CK_RV GetMechanismList(CK_SLOT_ID slot, CK_MECHANISM_TYPE_PTR list, CK_ULONG_PTR count) {
    const CK_RV rv = g_target->C_GetMechanismList(slot, list, count);
    if (rv != CKR_OK || list == nullptr || count == nullptr) return rv;
    CK_ULONG kept = 0;
    for (CK_ULONG i = 0; i < *count; ++i)
        if (!Names("nomech", list[i])) list[kept++] = list[i];
    *count = kept;
    return rv;
}

CK_RV GetMechanismInfo(CK_SLOT_ID slot, CK_MECHANISM_TYPE type, CK_MECHANISM_INFO_PTR info) {
    if (Names("nomech", type)) return CKR_MECHANISM_INVALID;
    const CK_RV rv = g_target->C_GetMechanismInfo(slot, type, info);
    if (rv == CKR_OK && Names("nosign", type)) info->flags &= ~CK_FLAGS(CKF_SIGN);
    return rv;
}

CK_RV OpenSession(CK_SLOT_ID slot, CK_FLAGS flags, CK_VOID_PTR app, CK_NOTIFY notify,
                  CK_SESSION_HANDLE_PTR session) {
    if (Removed()) return CKR_TOKEN_NOT_PRESENT;
    return g_target->C_OpenSession(slot, flags, app, notify, session);
}

CK_RV GetSessionInfo(CK_SESSION_HANDLE session, CK_SESSION_INFO_PTR info) {
    if (Removed()) return CKR_DEVICE_REMOVED;
    return g_target->C_GetSessionInfo(session, info);
}

CK_RV Login(CK_SESSION_HANDLE session, CK_USER_TYPE user, CK_UTF8CHAR_PTR pin, CK_ULONG length) {
    Append("OSTREL_TEST_P11_CALLS", "C_Login");
    if (Removed()) return CKR_DEVICE_REMOVED;
    const std::string fault = Fault();
    if (fault == "locked") return CKR_PIN_LOCKED;
    if (fault.starts_with("pinpad:")) {
        // A PIN pad never takes a PIN from the program.
        if (pin != nullptr) return CKR_ARGUMENTS_BAD;
        std::string typed = fault.substr(7);
        return g_target->C_Login(session, user, reinterpret_cast<CK_UTF8CHAR_PTR>(typed.data()),
                                 CK_ULONG(typed.size()));
    }
    return g_target->C_Login(session, user, pin, length);
}

CK_RV FindObjectsInit(CK_SESSION_HANDLE session, CK_ATTRIBUTE_PTR templ, CK_ULONG count) {
    if (Removed()) return CKR_DEVICE_REMOVED;
    return g_target->C_FindObjectsInit(session, templ, count);
}

CK_RV SignInit(CK_SESSION_HANDLE session, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE key) {
    if (Removed()) return CKR_DEVICE_REMOVED;
    if (Is("removed-once") && !g_removedOnceFired.exchange(true)) return CKR_DEVICE_REMOVED;
    return g_target->C_SignInit(session, mechanism, key);
}

CK_RV Sign(CK_SESSION_HANDLE session, CK_BYTE_PTR data, CK_ULONG length, CK_BYTE_PTR signature,
           CK_ULONG_PTR signatureLength) {
    if (Removed()) return CKR_DEVICE_REMOVED;
    return g_target->C_Sign(session, data, length, signature, signatureLength);
}

}  // namespace

extern "C" __attribute__((visibility("default"))) CK_RV C_GetFunctionList(
    CK_FUNCTION_LIST_PTR_PTR list) {
    if (list == nullptr) return CKR_ARGUMENTS_BAD;
    if (g_target == nullptr) {
        const char* path = std::getenv("OSTREL_TEST_P11_TARGET");
        void* handle = ::dlopen(path != nullptr ? path : "/usr/lib/softhsm/libsofthsm2.so",
                                RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) return CKR_GENERAL_ERROR;
        auto get = reinterpret_cast<CK_C_GetFunctionList>(::dlsym(handle, "C_GetFunctionList"));
        if (get == nullptr || get(&g_target) != CKR_OK || g_target == nullptr)
            return CKR_GENERAL_ERROR;
        g_list = *g_target;
        g_list.C_GetFunctionList = C_GetFunctionList;
        g_list.C_Initialize = Initialize;
        g_list.C_Finalize = Finalize;
        g_list.C_GetSlotList = GetSlotList;
        g_list.C_GetTokenInfo = GetTokenInfo;
        g_list.C_OpenSession = OpenSession;
        g_list.C_GetMechanismList = GetMechanismList;
        g_list.C_GetMechanismInfo = GetMechanismInfo;
        g_list.C_GetSessionInfo = GetSessionInfo;
        g_list.C_Login = Login;
        g_list.C_FindObjectsInit = FindObjectsInit;
        g_list.C_SignInit = SignInit;
        g_list.C_Sign = Sign;
    }
    *list = &g_list;
    return CKR_OK;
}
