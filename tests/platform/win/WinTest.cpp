#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "platform/com/ControlModule.h"
#include "platform/seams/Seams.h"
#include "platform/ui/MessageBox.h"
#include "platform/win/ErrorText.h"
#include "platform/win/LastError.h"
#include "platform/win/Time.h"
#include "platform/win/WinError.h"
#include "tests/support/TestSupport.h"

namespace {

std::string Describe(DWORD code, bool& ok) {
    char* text = nullptr;
    const DWORD n =
        FormatMessageA(0x1300, nullptr, code, 0x400, reinterpret_cast<LPSTR>(&text), 0, nullptr);
    ok = n != 0;
    std::string out = text == nullptr ? "" : text;
    LocalFree(text);
    return out;
}

TEST(ErrorTexts, EveryCodeTheLayerSetsHasADescriptionEndingInCrLf) {
    for (DWORD code : {ERROR_SUCCESS,
                       ERROR_ACCESS_DENIED,
                       NTE_BAD_KEYSET,
                       NTE_EXISTS,
                       CRYPT_E_NOT_FOUND,
                       CRYPT_E_PENDING_CLOSE,
                       CRYPT_E_BAD_ENCODE,
                       CRYPT_E_NO_KEY_PROPERTY,
                       CRYPT_E_FILE_ERROR,
                       E_INVALIDARG,
                       NTE_BAD_SIGNATURE,
                       CRYPT_E_HASH_VALUE,
                       CRYPT_E_ASN1_EOD,
                       CRYPT_E_ASN1_BADTAG,
                       CRYPT_E_UNEXPECTED_MSG_TYPE,
                       NTE_BAD_HASH,
                       NTE_BAD_DATA,
                       NTE_NOT_SUPPORTED,
                       TRUST_E_TIME_STAMP,
                       TRUST_E_BAD_DIGEST,
                       ERROR_FILE_TOO_LARGE,
                       ERROR_WINHTTP_TIMEOUT,
                       ERROR_WINHTTP_INVALID_URL,
                       ERROR_WINHTTP_UNRECOGNIZED_SCHEME,
                       ERROR_WINHTTP_NAME_NOT_RESOLVED,
                       ERROR_WINHTTP_CANNOT_CONNECT,
                       ERROR_WINHTTP_INVALID_SERVER_RESPONSE}) {
        bool ok = false;
        const std::string text = Describe(code, ok);
        EXPECT_TRUE(ok) << std::hex << code;
        EXPECT_GT(text.size(), 2u);
        EXPECT_TRUE(text.ends_with("\r\n")) << text;
        EXPECT_EQ(text.find("\r\n"), text.size() - 2) << "one line: " << text;
    }
}

TEST(ErrorTexts, AnUnknownCodeFailsAndLeavesThePointerUnset) {
    const auto before = ostrel::test::LiveCounts::Now();
    char* text = reinterpret_cast<char*>(0x1);
    EXPECT_EQ(FormatMessageA(0x1300, nullptr, 0xDEADBEEF, 0x400, reinterpret_cast<LPSTR>(&text), 0,
                             nullptr),
              0u);
    EXPECT_EQ(text, reinterpret_cast<char*>(0x1));
    EXPECT_EQ(GetLastError(), ERROR_MR_MID_NOT_FOUND);
    EXPECT_EQ(ostrel::test::LiveCounts::Now(), before);
}

TEST(LastError, BelongsToTheThreadAndSurvivesAMessageBox) {
    SetLastError(NTE_BAD_KEYSET);
    std::thread([] {
        EXPECT_EQ(GetLastError(), 0u);
        SetLastError(5);
    }).join();
    EXPECT_EQ(GetLastError(), NTE_BAD_KEYSET);
    ::setenv("OSTREL_UI", "none", 1);
    AfxMessageBox("hello", 16, 0);
    EXPECT_EQ(GetLastError(), NTE_BAD_KEYSET);
}

TEST(MessageBoxes, EveryBoxIsLoggedAsOneJsonLine) {
    ostrel::test::TempHome home;
    const auto log = home.Path() / "ui.log";
    ::setenv("OSTREL_UI_LOG", log.c_str(), 1);
    ::setenv("OSTREL_UI", "none", 1);
    AfxMessageBox("Store Closed After Signing - \nNot All Certs or CRLs Were Freed", 0, 0);
    AfxMessageBox("say \"hi\"", 16, 0);
    ::unsetenv("OSTREL_UI_LOG");
    EXPECT_EQ(ostrel::test::ReadFile(log),
              "{\"box\":\"Store Closed After Signing - \\nNot All Certs or CRLs Were "
              "Freed\",\"style\":0}\n{\"box\":\"say \\\"hi\\\"\",\"style\":16}\n");
}

// This program has no module object: its boxes carry the name of its file,
// then the name a module object gives, if it gives one.
TEST(MessageBoxes, CarryTheNameOfTheModuleThatShowsThem) {
    const std::string program = std::filesystem::read_symlink("/proc/self/exe").stem().string();
    ::setenv("OSTREL_UI", "none", 1);
    const auto boxText = [] {
        ::testing::internal::CaptureStderr();
        AfxMessageBox("Signed.", 0, 0);
        return ::testing::internal::GetCapturedStderr();
    };
    ASSERT_EQ(AfxGetApp(), nullptr);
    EXPECT_EQ(boxText(), program + ": Signed.\n");
    {
        COleControlModule named("Signer");
        EXPECT_EQ(boxText(), "Signer: Signed.\n");
    }
    {
        COleControlModule nameless;
        EXPECT_EQ(boxText(), program + ": Signed.\n");
    }
    EXPECT_EQ(AfxGetApp(), nullptr);
}

TEST(Time, SystemTimesConvertBothWaysAndBadOnesAreRefused) {
    SYSTEMTIME st{2024, 2, 0, 29, 23, 59, 58, 123};
    FILETIME ft;
    ASSERT_TRUE(SystemTimeToFileTime(&st, &ft));
    SYSTEMTIME back{};
    ASSERT_TRUE(FileTimeToSystemTime(&ft, &back));
    EXPECT_EQ(back.wYear, 2024);
    EXPECT_EQ(back.wMonth, 2);
    EXPECT_EQ(back.wDay, 29);
    EXPECT_EQ(back.wDayOfWeek, 4);  // a Thursday
    EXPECT_EQ(back.wSecond, 58);
    EXPECT_EQ(back.wMilliseconds, 123);
    EXPECT_EQ(platform::win::UnixSecondsFromFileTime(ft), 1709251198);

    SYSTEMTIME bad{2023, 2, 0, 29, 0, 0, 0, 0};
    EXPECT_FALSE(SystemTimeToFileTime(&bad, &ft));
    SYSTEMTIME now{};
    GetSystemTime(&now);
    ASSERT_TRUE(SystemTimeToFileTime(&now, &ft));
    const auto diff = platform::win::UnixSecondsFromFileTime(ft) - std::time(nullptr);
    EXPECT_LE(std::abs(diff), 2);
}

TEST(Time, TheClockAndFileTimesGiveTheSameCalendarFields) {
    // The first moment a file time can hold: a Monday.
    const FILETIME first{0, 0};
    SYSTEMTIME st{};
    ASSERT_TRUE(FileTimeToSystemTime(&first, &st));
    EXPECT_EQ(st.wYear, 1601);
    EXPECT_EQ(st.wMonth, 1);
    EXPECT_EQ(st.wDay, 1);
    EXPECT_EQ(st.wDayOfWeek, 1);
    EXPECT_EQ(st.wHour + st.wMinute + st.wSecond + st.wMilliseconds, 0);

    // 2024-02-29 23:59:58.123 UTC, read from a clock a test set.
    platform::seams::ScopedClock clock(1709251198123ULL * 10000 +
                                       platform::win::kUnixEpochAsFileTime);
    SYSTEMTIME now{};
    GetSystemTime(&now);
    EXPECT_EQ(now.wYear, 2024);
    EXPECT_EQ(now.wMonth, 2);
    EXPECT_EQ(now.wDay, 29);
    EXPECT_EQ(now.wDayOfWeek, 4);
    EXPECT_EQ(now.wHour, 23);
    EXPECT_EQ(now.wMinute, 59);
    EXPECT_EQ(now.wSecond, 58);
    EXPECT_EQ(now.wMilliseconds, 123);
}

}  // namespace
