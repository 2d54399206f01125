// What a failed PKCS#11 call reports: the platform's error for the value it
// returned, whether the token is gone, and a text that names the call.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "platform/crypt/Pkcs11.h"
#include "platform/win/Failure.h"
#include "tests/support/TestSupport.h"

namespace {

namespace crypt = platform::crypt;

// The error a caller sees, by return value: the values a token uses to say
// it is gone, that its PIN is locked or wrong, that the user cancelled, or
// that it cannot sign with the key, and values nobody maps.
TEST(TokenCalls, AFailedCallReportsThePlatformErrorForItsValueAndNamesTheCall) {
    constexpr DWORD kGone = DWORD(SCARD_W_REMOVED_CARD);
    const struct {
        CK_RV rv;
        DWORD error;           // with the default for values nobody maps
        DWORD errorOtherwise;  // when the caller's own error is NTE_BAD_ALGID
        const char* cause;
    } rows[] = {
        {CKR_DEVICE_REMOVED, kGone, kGone, "CKR_DEVICE_REMOVED (0x00000032)"},
        {CKR_TOKEN_NOT_PRESENT, kGone, kGone, "CKR_TOKEN_NOT_PRESENT (0x000000E0)"},
        {CKR_TOKEN_NOT_RECOGNIZED, kGone, kGone, "CKR_TOKEN_NOT_RECOGNIZED (0x000000E1)"},
        {CKR_SESSION_HANDLE_INVALID, kGone, kGone, "CKR_SESSION_HANDLE_INVALID (0x000000B3)"},
        {CKR_SESSION_CLOSED, kGone, kGone, "CKR_SESSION_CLOSED (0x000000B0)"},
        {CKR_SLOT_ID_INVALID, kGone, kGone, "CKR_SLOT_ID_INVALID (0x00000003)"},
        {CKR_PIN_LOCKED, DWORD(SCARD_W_CHV_BLOCKED), DWORD(SCARD_W_CHV_BLOCKED),
         "CKR_PIN_LOCKED (0x000000A4)"},
        {CKR_PIN_INCORRECT, DWORD(SCARD_W_WRONG_CHV), DWORD(SCARD_W_WRONG_CHV),
         "CKR_PIN_INCORRECT (0x000000A0)"},
        {CKR_PIN_LEN_RANGE, DWORD(SCARD_W_WRONG_CHV), DWORD(SCARD_W_WRONG_CHV),
         "CKR_PIN_LEN_RANGE (0x000000A2)"},
        {CKR_FUNCTION_CANCELED, DWORD(ERROR_CANCELLED), DWORD(ERROR_CANCELLED),
         "CKR_FUNCTION_CANCELED (0x00000050)"},
        {CKR_CANCEL, DWORD(ERROR_CANCELLED), DWORD(ERROR_CANCELLED), "CKR_CANCEL (0x00000001)"},
        {CKR_MECHANISM_INVALID, DWORD(NTE_BAD_ALGID), DWORD(NTE_BAD_ALGID),
         "CKR_MECHANISM_INVALID (0x00000070)"},
        {CKR_KEY_TYPE_INCONSISTENT, DWORD(NTE_BAD_ALGID), DWORD(NTE_BAD_ALGID),
         "CKR_KEY_TYPE_INCONSISTENT (0x00000063)"},
        {CKR_KEY_FUNCTION_NOT_PERMITTED, DWORD(NTE_BAD_ALGID), DWORD(NTE_BAD_ALGID),
         "CKR_KEY_FUNCTION_NOT_PERMITTED (0x00000068)"},
        {CKR_GENERAL_ERROR, DWORD(NTE_FAIL), DWORD(NTE_BAD_ALGID),
         "CKR_GENERAL_ERROR (0x00000005)"},
        {CKR_HOST_MEMORY, DWORD(NTE_FAIL), DWORD(NTE_BAD_ALGID), "CKR_HOST_MEMORY (0x00000002)"},
        {CKR_USER_NOT_LOGGED_IN, DWORD(NTE_FAIL), DWORD(NTE_BAD_ALGID),
         "CKR_USER_NOT_LOGGED_IN (0x00000101)"},
        // A value of the module's own, which has no name: its number once.
        {CK_RV(0x80000001), DWORD(NTE_FAIL), DWORD(NTE_BAD_ALGID), "CKR 0x80000001"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.cause);
        const crypt::Returned returned{row.rv, "C_Sign"};
        const bool gone = row.error == kGone;
        EXPECT_EQ(crypt::TokenGone(row.rv), gone);
        EXPECT_EQ(crypt::PlatformError(row.rv), row.error);
        const std::string cause = std::string("C_Sign returned ") + row.cause;
        EXPECT_EQ(returned.Cause(), cause);
        for (const DWORD otherwise : {DWORD(NTE_FAIL), DWORD(NTE_BAD_ALGID)}) {
            try {
                returned.Check([] { return std::string("the token did not sign"); }, {}, otherwise);
                ADD_FAILURE() << "no failure";
            } catch (const crypt::TokenGoneError& e) {
                EXPECT_TRUE(gone);
                EXPECT_EQ(e.Code(), kGone);
                EXPECT_EQ(e.Rv(), row.rv);
                EXPECT_EQ(std::string(e.what()), cause);
            } catch (const platform::Failure& e) {
                EXPECT_FALSE(gone);
                EXPECT_EQ(e.Code(), otherwise == DWORD(NTE_FAIL) ? row.error : row.errorOtherwise);
                EXPECT_EQ(std::string(e.what()), "the token did not sign: " + cause);
            }
        }
        // Only a token gone stops a caller that takes every other failure
        // as its answer.
        if (gone)
            EXPECT_THROW((void)returned.OrGone(), crypt::TokenGoneError);
        else
            EXPECT_EQ(returned.OrGone(), row.rv);
    }
}

TEST(TokenCalls, ResultsPassAndTheFormsThatDoNotThrowKeepTheCauseForTheLine) {
    // A value the caller takes as a result is returned, not thrown.
    const crypt::Returned already{CKR_USER_ALREADY_LOGGED_IN, "C_Login"};
    EXPECT_EQ(already.Check([] { return std::string(); }, {CKR_USER_ALREADY_LOGGED_IN}),
              CKR_USER_ALREADY_LOGGED_IN);
    EXPECT_EQ(crypt::Returned{}.Check([]() -> std::string { throw std::logic_error("asked"); }),
              CKR_OK);

    ostrel::test::DebugCapture lines("1");
    const crypt::Returned failed{CKR_DEVICE_ERROR, "C_FindObjectsFinal"};
    const crypt::Returned expected{CKR_USER_NOT_LOGGED_IN, "C_Sign"};
    const crypt::Returned closedAlready{CKR_SESSION_HANDLE_INVALID, "C_CloseSession"};
    platform::GuardedCall("TestCall", [&]() -> BOOL {
        EXPECT_EQ(failed.Keep(), CKR_DEVICE_ERROR);
        // Quiet: a value the caller expects, and a session already gone
        // being closed.
        EXPECT_EQ(expected.Keep({CKR_USER_NOT_LOGGED_IN}), CKR_USER_NOT_LOGGED_IN);
        EXPECT_EQ(closedAlready.Tidy(), CKR_SESSION_HANDLE_INVALID);
        return FALSE;
    });
    const std::string text = lines.Text();
    EXPECT_NE(text.find("TestCall failed: "), std::string::npos) << text;
    EXPECT_NE(text.find("; C_FindObjectsFinal returned CKR_DEVICE_ERROR (0x00000030)"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find("C_Sign"), std::string::npos) << text;
    EXPECT_EQ(text.find("C_CloseSession"), std::string::npos) << text;
}

TEST(TokenCalls, AThrownFailureTellsItsCauseOnceOnTheLine) {
    ostrel::test::DebugCapture lines("1");
    const crypt::Returned wrongPin{CKR_PIN_INCORRECT, "C_Login"};
    platform::GuardedCall("TestSign", [&]() -> BOOL {
        (void)wrongPin.Check([] { return std::string("the token did not log in"); });
        return TRUE;
    });
    EXPECT_EQ(GetLastError(), DWORD(SCARD_W_WRONG_CHV));
    const std::string text = lines.Text();
    const std::string cause = "C_Login returned CKR_PIN_INCORRECT (0x000000A0)";
    const auto first = text.find(cause);
    ASSERT_NE(first, std::string::npos) << text;
    EXPECT_EQ(text.find(cause, first + 1), std::string::npos) << text;
    EXPECT_NE(text.find("the token did not log in: " + cause), std::string::npos) << text;
}

TEST(TokenCalls, ACallIsNamedByItsPlaceInTheFunctionList) {
    EXPECT_EQ(crypt::FunctionName(&CK_FUNCTION_LIST::C_Initialize), "C_Initialize");
    EXPECT_EQ(crypt::FunctionName(&CK_FUNCTION_LIST::C_GetSlotList), "C_GetSlotList");
    EXPECT_EQ(crypt::FunctionName(&CK_FUNCTION_LIST::C_Login), "C_Login");
    EXPECT_EQ(crypt::FunctionName(&CK_FUNCTION_LIST::C_FindObjectsFinal), "C_FindObjectsFinal");
    EXPECT_EQ(crypt::FunctionName(&CK_FUNCTION_LIST::C_Sign), "C_Sign");
    EXPECT_EQ(crypt::FunctionName(&CK_FUNCTION_LIST::C_WaitForSlotEvent), "C_WaitForSlotEvent");
    // A module finalised answers every call itself; the call is still named.
    crypt::TokenModule finalised;
    CK_ULONG count = 0;
    const crypt::Returned returned =
        finalised.Call(&CK_FUNCTION_LIST::C_GetSlotList, CK_BBOOL(CK_TRUE), nullptr, &count);
    EXPECT_EQ(returned.Cause(), "C_GetSlotList returned CKR_CRYPTOKI_NOT_INITIALIZED (0x00000190)");
}

}  // namespace
