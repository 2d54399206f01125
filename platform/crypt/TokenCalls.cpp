// What PKCS#11 return values mean to the platform, and how a call into a
// module that failed says so.

#include <cstddef>
#include <cstdio>

#include "platform/crypt/Pkcs11.h"

namespace platform::crypt {
namespace {

// A return value, its name, and the platform's error for a call that failed
// with it (0: the caller's error for a failure of its kind).
struct Meaning {
    CK_RV rv;
    const char* name;
    DWORD error;
};

constexpr DWORD kGone = DWORD(SCARD_W_REMOVED_CARD);

constexpr Meaning kMeanings[] = {
    {CKR_OK, "CKR_OK", 0},
    {CKR_CANCEL, "CKR_CANCEL", DWORD(ERROR_CANCELLED)},
    {CKR_HOST_MEMORY, "CKR_HOST_MEMORY", 0},
    {CKR_SLOT_ID_INVALID, "CKR_SLOT_ID_INVALID", kGone},
    {CKR_GENERAL_ERROR, "CKR_GENERAL_ERROR", 0},
    {CKR_FUNCTION_FAILED, "CKR_FUNCTION_FAILED", 0},
    {CKR_ARGUMENTS_BAD, "CKR_ARGUMENTS_BAD", 0},
    {CKR_ATTRIBUTE_SENSITIVE, "CKR_ATTRIBUTE_SENSITIVE", 0},
    {CKR_ATTRIBUTE_TYPE_INVALID, "CKR_ATTRIBUTE_TYPE_INVALID", 0},
    {CKR_DEVICE_ERROR, "CKR_DEVICE_ERROR", 0},
    {CKR_DEVICE_REMOVED, "CKR_DEVICE_REMOVED", kGone},
    {CKR_FUNCTION_CANCELED, "CKR_FUNCTION_CANCELED", DWORD(ERROR_CANCELLED)},
    {CKR_FUNCTION_NOT_SUPPORTED, "CKR_FUNCTION_NOT_SUPPORTED", 0},
    {CKR_KEY_HANDLE_INVALID, "CKR_KEY_HANDLE_INVALID", 0},
    {CKR_KEY_TYPE_INCONSISTENT, "CKR_KEY_TYPE_INCONSISTENT", DWORD(NTE_BAD_ALGID)},
    {CKR_KEY_FUNCTION_NOT_PERMITTED, "CKR_KEY_FUNCTION_NOT_PERMITTED", DWORD(NTE_BAD_ALGID)},
    {CKR_MECHANISM_INVALID, "CKR_MECHANISM_INVALID", DWORD(NTE_BAD_ALGID)},
    {CKR_MECHANISM_PARAM_INVALID, "CKR_MECHANISM_PARAM_INVALID", DWORD(NTE_BAD_ALGID)},
    {CKR_OBJECT_HANDLE_INVALID, "CKR_OBJECT_HANDLE_INVALID", 0},
    {CKR_OPERATION_ACTIVE, "CKR_OPERATION_ACTIVE", 0},
    {CKR_PIN_INCORRECT, "CKR_PIN_INCORRECT", DWORD(SCARD_W_WRONG_CHV)},
    {CKR_PIN_LEN_RANGE, "CKR_PIN_LEN_RANGE", DWORD(SCARD_W_WRONG_CHV)},
    {CKR_PIN_EXPIRED, "CKR_PIN_EXPIRED", 0},
    {CKR_PIN_LOCKED, "CKR_PIN_LOCKED", DWORD(SCARD_W_CHV_BLOCKED)},
    {CKR_SESSION_CLOSED, "CKR_SESSION_CLOSED", kGone},
    {CKR_SESSION_HANDLE_INVALID, "CKR_SESSION_HANDLE_INVALID", kGone},
    {CKR_TOKEN_NOT_PRESENT, "CKR_TOKEN_NOT_PRESENT", kGone},
    {CKR_TOKEN_NOT_RECOGNIZED, "CKR_TOKEN_NOT_RECOGNIZED", kGone},
    {CKR_USER_ALREADY_LOGGED_IN, "CKR_USER_ALREADY_LOGGED_IN", 0},
    {CKR_USER_NOT_LOGGED_IN, "CKR_USER_NOT_LOGGED_IN", 0},
    {CKR_USER_PIN_NOT_INITIALIZED, "CKR_USER_PIN_NOT_INITIALIZED", 0},
    {CKR_BUFFER_TOO_SMALL, "CKR_BUFFER_TOO_SMALL", 0},
    {CKR_CRYPTOKI_NOT_INITIALIZED, "CKR_CRYPTOKI_NOT_INITIALIZED", 0},
    {CKR_CRYPTOKI_ALREADY_INITIALIZED, "CKR_CRYPTOKI_ALREADY_INITIALIZED", 0},
};

const Meaning* MeaningOf(CK_RV rv) {
    for (const auto& meaning : kMeanings)
        if (meaning.rv == rv) return &meaning;
    return nullptr;
}

struct Named {
    std::size_t offset;
    const char* name;
};

#define OSTREL_P11_NAMED(function) \
    { offsetof(CK_FUNCTION_LIST, function), #function }
constexpr Named kFunctions[] = {
    OSTREL_P11_NAMED(C_Initialize),
    OSTREL_P11_NAMED(C_Finalize),
    OSTREL_P11_NAMED(C_GetInfo),
    OSTREL_P11_NAMED(C_GetFunctionList),
    OSTREL_P11_NAMED(C_GetSlotList),
    OSTREL_P11_NAMED(C_GetSlotInfo),
    OSTREL_P11_NAMED(C_GetTokenInfo),
    OSTREL_P11_NAMED(C_GetMechanismList),
    OSTREL_P11_NAMED(C_GetMechanismInfo),
    OSTREL_P11_NAMED(C_InitToken),
    OSTREL_P11_NAMED(C_InitPIN),
    OSTREL_P11_NAMED(C_SetPIN),
    OSTREL_P11_NAMED(C_OpenSession),
    OSTREL_P11_NAMED(C_CloseSession),
    OSTREL_P11_NAMED(C_CloseAllSessions),
    OSTREL_P11_NAMED(C_GetSessionInfo),
    OSTREL_P11_NAMED(C_GetOperationState),
    OSTREL_P11_NAMED(C_SetOperationState),
    OSTREL_P11_NAMED(C_Login),
    OSTREL_P11_NAMED(C_Logout),
    OSTREL_P11_NAMED(C_CreateObject),
    OSTREL_P11_NAMED(C_CopyObject),
    OSTREL_P11_NAMED(C_DestroyObject),
    OSTREL_P11_NAMED(C_GetObjectSize),
    OSTREL_P11_NAMED(C_GetAttributeValue),
    OSTREL_P11_NAMED(C_SetAttributeValue),
    OSTREL_P11_NAMED(C_FindObjectsInit),
    OSTREL_P11_NAMED(C_FindObjects),
    OSTREL_P11_NAMED(C_FindObjectsFinal),
    OSTREL_P11_NAMED(C_SignInit),
    OSTREL_P11_NAMED(C_Sign),
    OSTREL_P11_NAMED(C_SignUpdate),
    OSTREL_P11_NAMED(C_SignFinal),
    OSTREL_P11_NAMED(C_VerifyInit),
    OSTREL_P11_NAMED(C_Verify),
    OSTREL_P11_NAMED(C_GenerateRandom),
    OSTREL_P11_NAMED(C_WaitForSlotEvent),
};
#undef OSTREL_P11_NAMED

}  // namespace

std::string ReturnValueName(CK_RV rv) {
    if (const Meaning* meaning = MeaningOf(rv)) return meaning->name;
    char buf[32];
    std::snprintf(buf, sizeof buf, "CKR 0x%08lX", static_cast<unsigned long>(rv));
    return buf;
}

DWORD PlatformError(CK_RV rv, DWORD otherwise) {
    const Meaning* meaning = MeaningOf(rv);
    return meaning != nullptr && meaning->error != 0 ? meaning->error : otherwise;
}

bool TokenGone(CK_RV rv) {
    return PlatformError(rv, 0) == kGone;
}

std::string_view FunctionName(std::size_t offset) {
    for (const auto& function : kFunctions)
        if (function.offset == offset) return function.name;
    return "a PKCS#11 function";
}

std::string Returned::Cause() const {
    char number[24];
    std::snprintf(number, sizeof number, " (0x%08lX)", static_cast<unsigned long>(rv));
    std::string cause(function.empty() ? std::string_view("a PKCS#11 function") : function);
    cause.append(" returned ").append(ReturnValueName(rv));
    // A value without a name already shows its number.
    if (MeaningOf(rv) != nullptr) cause.append(number);
    return cause;
}

void Returned::Throw(const std::string& context, DWORD otherwise) const {
    // The failure carries the cause in its own text; keeping it as well
    // would tell it twice on the debug line.
    const std::string cause = Cause();
    if (TokenGone(rv)) throw TokenGoneError(rv, cause);
    throw platform::Failure(PlatformError(rv, otherwise),
                            context.empty() ? cause : context + ": " + cause);
}

CK_RV Returned::OrGone() const {
    if (TokenGone(rv)) Throw({});
    return rv;
}

CK_RV Returned::Keep(std::initializer_list<CK_RV> quiet) const noexcept {
    if (rv == CKR_OK || std::find(quiet.begin(), quiet.end(), rv) != quiet.end()) return rv;
    try {
        platform::KeepCause(Cause());
    } catch (...) {
        // Out of memory for the words: the value is still returned.
    }
    return rv;
}

CK_RV Returned::Tidy() const noexcept {
    return TokenGone(rv) ? rv : Keep();
}

}  // namespace platform::crypt
