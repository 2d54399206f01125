#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/seams/Seams.h"
#include "platform/win/Failure.h"
#include "tests/support/TestSupport.h"

namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::MatchesRegex;
using ::testing::Not;

// Status codes of the registry, which sits above this layer.
constexpr DWORD kDamagedRegistry = 1009;
constexpr LONG kNoMoreItems = 259;
constexpr LONG kCannotWrite = 1013;
// The status of a class name nobody registered, from the object model above.
constexpr DWORD kClassString = 0x800401F3;

using ostrel::test::DebugCapture;

BOOL Call(std::function<BOOL()> body) {
    return platform::GuardedCall("TestCall", [&]() -> BOOL { return body(); });
}

TEST(EntryGuard, GivesEveryWayOfFailingItsCode) {
    SetLastError(1234);
    EXPECT_EQ(Call([] { return TRUE; }), TRUE);
    EXPECT_EQ(GetLastError(), 1234u) << "success leaves the code alone";

    EXPECT_EQ(Call([] {
                  SetLastError(ERROR_MORE_DATA);
                  return FALSE;
              }),
              FALSE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_MORE_DATA));

    EXPECT_EQ(Call([]() -> BOOL { throw platform::Failure(NTE_BAD_KEYSET, "no keys"); }), FALSE);
    EXPECT_EQ(GetLastError(), NTE_BAD_KEYSET);
    EXPECT_EQ(Call([]() -> BOOL { throw std::bad_alloc(); }), FALSE);
    EXPECT_EQ(GetLastError(), NTE_NO_MEMORY);
    EXPECT_EQ(Call([]() -> BOOL { throw std::runtime_error("?"); }), FALSE);
    EXPECT_EQ(GetLastError(), NTE_FAIL);
    EXPECT_EQ(Call([]() -> BOOL { throw 7; }), FALSE);
    EXPECT_EQ(GetLastError(), NTE_FAIL);

    bool ran = false;
    {
        platform::seams::ScopedFault fault("TestCall", ERROR_ACCESS_DENIED);
        EXPECT_EQ(Call([&] { return ran = true; }), FALSE);
    }
    EXPECT_FALSE(ran) << "an injected fault fails the call before its body";
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));

    // A handle comes back as it is, or null with the code.
    int object = 0;
    EXPECT_EQ(platform::GuardedCall("TestOpen", [&] { return &object; }), &object);
    EXPECT_EQ(platform::GuardedCall("TestOpen",
                                    [&]() -> int* { throw platform::Failure(CRYPT_E_NOT_FOUND); }),
              nullptr);
    EXPECT_EQ(GetLastError(), CRYPT_E_NOT_FOUND);
}

TEST(EntryGuard, AnHresultNeverReadsAsSuccessAfterASystemErrorCode) {
    const auto hr = [](DWORD code) {
        return platform::RunGuardedHr("TestMethod",
                                      [&]() -> HRESULT { throw platform::Failure(code); });
    };
    EXPECT_EQ(DWORD(hr(kDamagedRegistry)), 0x800703F1u);
    EXPECT_EQ(DWORD(hr(E_INVALIDARG)), E_INVALIDARG);
    EXPECT_EQ(DWORD(platform::RunGuardedHr("TestMethod", []() -> HRESULT { throw 1; })),
              E_OUTOFMEMORY);
    EXPECT_EQ(platform::RunGuardedHr("TestMethod", [] { return HRESULT(1); }), 1)
        << "S_FALSE and other successes pass through";
}

TEST(SizeQuery, AsksForTheSizeThenCopies) {
    const std::vector<BYTE> data{1, 2, 3, 4};
    DWORD size = 0;
    EXPECT_EQ(platform::CopyOut(data, nullptr, &size), DWORD(ERROR_SUCCESS));
    EXPECT_EQ(size, 4u);
    BYTE small[3] = {9, 9, 9};
    size = sizeof small;
    EXPECT_EQ(platform::CopyOut(data, small, &size), DWORD(ERROR_MORE_DATA));
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(small[0], 9) << "nothing is written to a buffer too small";
    BYTE room[8] = {};
    size = sizeof room;
    EXPECT_EQ(platform::HandOut(data, room, &size), TRUE);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(room[3], 4);
    size = sizeof small;
    EXPECT_EQ(platform::HandOut(data, small, &size), FALSE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_MORE_DATA));
}

TEST(DebugLine, TellsEachFailureOnOneLineWithTheCausesKeptForIt) {
    DebugCapture capture("1");
    Call([]() -> BOOL {
        // A failure inside another call tells its line first, with the causes
        // kept while it ran; the outer call's line follows.
        Call([]() -> BOOL {
            platform::KeepCause("openssl: asn1 encoding routines: too long at a.c:1");
            throw platform::Failure(CRYPT_E_ASN1_BADTAG);
        });
        throw platform::Failure(NTE_BAD_SIGNATURE);
    });
    Call([] { return TRUE; });
    EXPECT_THAT(capture.Text(),
                MatchesRegex("ostrel debug: TestCall failed: 0x8009310B [^\n]+; openssl: "
                             "asn1 encoding routines: too long at a.c:1\n"
                             "ostrel debug: TestCall failed: 0x80090006 [^;\n]+\n"));
}

TEST(DebugLine, StaysSilentUnlessAskedAndForResultsThatAreNotFailures) {
    for (const char* value : {static_cast<const char*>(nullptr), "0", "", "true"}) {
        DebugCapture capture(value);
        platform::KeepCause("kept");
        Call([]() -> BOOL { throw platform::Failure(NTE_FAIL); });
        EXPECT_EQ(capture.Text(), "") << (value ? value : "(unset)");
    }
    DebugCapture capture("1");
    platform::RunGuardedStatus("TestEnum", [] { return kNoMoreItems; }, kCannotWrite,
                               LONG(ERROR_NOT_ENOUGH_MEMORY), {kNoMoreItems});
    platform::RunGuardedStatus(
        "TestEnum", [] { return LONG(ERROR_FILE_NOT_FOUND); }, kCannotWrite,
        LONG(ERROR_NOT_ENOUGH_MEMORY));
    const std::string text = capture.Text();
    EXPECT_THAT(text, HasSubstr("TestEnum failed: 0x00000002"));
    EXPECT_EQ(text.find("0x00000103"), std::string::npos) << text;
}

// The variants for entries that keep their own last-error behaviour.
TEST(EntryGuard, AnEntryWithItsOwnCodeKeepsItAndStillReportsThroughTheGuard) {
    DebugCapture capture("1");
    int released = 0;
    const auto release = [&] {
        ++released;
        return -1;
    };
    // A result that comes with a failure, told with the failure's causes; a
    // result without a code, not told; a throw, recovered by the entry.
    SetLastError(1234);
    EXPECT_EQ(platform::RunGuardedEntry(
                  "TestEnum",
                  [](const platform::Entry& entry) {
                      platform::KeepCause("openssl: PEM routines: no start line at pem_lib.c:1");
                      entry.Fail(platform::Failure(CRYPT_E_FILE_ERROR, "the entry is damaged"));
                      return 7;
                  },
                  release),
              7);
    EXPECT_EQ(GetLastError(), CRYPT_E_FILE_ERROR);
    SetLastError(1234);
    EXPECT_EQ(platform::RunGuardedEntry(
                  "TestEnum", [](const platform::Entry&) { return 0; }, release),
              0);
    EXPECT_EQ(GetLastError(), 1234u) << "a result without a failure leaves the code alone";
    EXPECT_EQ(platform::RunGuardedEntry(
                  "TestEnum", [](const platform::Entry&) -> int { throw std::bad_alloc(); },
                  release, DWORD(CRYPT_E_FILE_ERROR), DWORD(ERROR_NOT_ENOUGH_MEMORY)),
              -1);
    EXPECT_EQ(released, 1);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_ENOUGH_MEMORY));

    // A function that reports nothing keeps the code as it was, even when
    // its body throws.
    SetLastError(1234);
    EXPECT_EQ(platform::RunGuardedValue(
                  "TestCompare", []() -> long { throw 1; }, 1L),
              1L);
    EXPECT_EQ(GetLastError(), 1234u);
    EXPECT_THAT(capture.Text(),
                MatchesRegex("ostrel debug: TestEnum failed: 0x80092003 [^\n]*; the entry is "
                             "damaged; openssl: PEM routines: no start line at pem_lib.c:1\n"
                             "ostrel debug: TestEnum failed: 0x00000008 [^;\n]+\n"
                             "ostrel debug: TestCompare failed: 0x80090020 [^;\n]+\n"));
}

TEST(DebugLine, ACauseTravelsWithItsFailureAndWithNoOther) {
    DebugCapture capture("1");
    std::optional<platform::Failure> kept;
    Call([&]() -> BOOL {
        // A failure absorbed into a result keeps what led to it.
        try {
            platform::KeepCause("openssl: x509 certificate routines: key values mismatch");
            throw platform::Failure(CRYPT_E_FILE_ERROR, "the store entry 1.pem is damaged");
        } catch (const platform::Failure& e) {
            kept = e;
        }
        // Other calls in between, one failing, one succeeding.
        Call([]() -> BOOL { throw platform::Failure(NTE_BAD_KEYSET); });
        Call([] { return TRUE; });
        return TRUE;
    });
    ASSERT_TRUE(kept.has_value());
    EXPECT_THAT(kept->Causes(),
                ElementsAre("openssl: x509 certificate routines: key values mismatch"));
    // Whoever fails on it later tells it, with its own text.
    Call([&]() -> BOOL { throw *kept; });
    // Causes kept by a call that did not fail, or outside every call, are
    // told with no later failure.
    platform::KeepCause("kept outside any call");
    Call([] {
        platform::KeepCause("kept by a call that succeeded");
        return TRUE;
    });
    Call([] {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    });
    const std::string text = capture.Text();
    EXPECT_THAT(text,
                MatchesRegex("ostrel debug: TestCall failed: 0x80090016 [^;\n]+\n"
                             "ostrel debug: TestCall failed: 0x80092003 [^;\n]*; the store entry "
                             "1.pem is damaged; openssl: x509 certificate routines: key values "
                             "mismatch\n"
                             "ostrel debug: TestCall failed: 0x00000005 [^;\n]+\n"));
}

TEST(DebugLine, AnExpectedAnswerIsQuietAndOnlyForTheCallThatGaveIt) {
    DebugCapture capture("1");
    const auto lookup = [] {
        return platform::RunGuardedStatus(
            "TestLookup",
            [] {
                platform::ExpectedResult();
                return LONG(ERROR_FILE_NOT_FOUND);
            },
            kCannotWrite, LONG(ERROR_NOT_ENOUGH_MEMORY));
    };
    // The caller of an answer fails in its own right, and says so.
    EXPECT_EQ(platform::RunGuardedHr("TestFind",
                                     [&] {
                                         lookup();
                                         return HRESULT(kClassString);
                                     }),
              HRESULT(kClassString));
    EXPECT_EQ(lookup(), LONG(ERROR_FILE_NOT_FOUND));
    const std::string text = capture.Text();
    EXPECT_THAT(text, MatchesRegex("ostrel debug: TestFind failed: 0x800401F3[^\n]*\n"));
    EXPECT_THAT(text, Not(HasSubstr("TestLookup")));
}

}  // namespace
