#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/crypt/WinCrypt.h"
#include "platform/win/LastError.h"
#include "platform/win/Time.h"
#include "platform/win/WinError.h"

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

FILETIME At(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second,
            WORD milliseconds = 0) {
    const SYSTEMTIME st{year, month, 0, day, hour, minute, second, milliseconds};
    FILETIME ft{};
    EXPECT_TRUE(SystemTimeToFileTime(&st, &ft));
    return ft;
}

// The signing time's DER as bytes, after checking that the size query asks
// for exactly the length the encoding then has.
std::vector<BYTE> Encoded(const FILETIME& ft) {
    DWORD size = 0;
    if (!CryptEncodeObject(kEncoding, szOID_RSA_signingTime, &ft, nullptr, &size)) return {};
    std::vector<BYTE> der(size + 8, 0xEE);
    DWORD written = static_cast<DWORD>(der.size());
    EXPECT_TRUE(CryptEncodeObject(kEncoding, szOID_RSA_signingTime, &ft, der.data(), &written));
    EXPECT_EQ(written, size);
    der.resize(written);
    return der;
}

std::vector<BYTE> Der(BYTE tag, const std::string& text) {
    std::vector<BYTE> der(2 + text.size());
    der[0] = tag;
    der[1] = static_cast<BYTE>(text.size());
    std::copy(text.begin(), text.end(), der.begin() + 2);
    return der;
}

TEST(SigningTimeEncoding, TwoDigitYearsFrom1950To2049AndFourDigitYearsOutside) {
    // Either side of both century boundaries of the two-digit year.
    EXPECT_EQ(Encoded(At(1949, 12, 31, 23, 59, 59)), Der(0x18, "19491231235959Z"));
    EXPECT_EQ(Encoded(At(1950, 1, 1, 0, 0, 0)), Der(0x17, "500101000000Z"));
    EXPECT_EQ(Encoded(At(2049, 12, 31, 23, 59, 59)), Der(0x17, "491231235959Z"));
    EXPECT_EQ(Encoded(At(2050, 1, 1, 0, 0, 0)), Der(0x18, "20500101000000Z"));
    // Whole seconds in both forms, whatever the fraction.
    EXPECT_EQ(Encoded(At(2050, 6, 7, 8, 9, 10, 999)), Der(0x18, "20500607080910Z"));
    EXPECT_EQ(Encoded(At(1601, 1, 1, 0, 0, 0)), Der(0x18, "16010101000000Z"));
    EXPECT_EQ(Encoded(At(9999, 12, 31, 23, 59, 59)), Der(0x18, "99991231235959Z"));
}

TEST(SigningTimeEncoding, AFourDigitYearNeedsItsLongerBuffer) {
    const FILETIME ft = At(2050, 1, 1, 0, 0, 0);
    BYTE der[17] = {};
    DWORD size = 15;  // enough for a UTCTime, two bytes short here
    EXPECT_FALSE(CryptEncodeObject(kEncoding, szOID_RSA_signingTime, &ft, der, &size));
    EXPECT_EQ(GetLastError(), ERROR_MORE_DATA);
    EXPECT_EQ(size, 17u);
    EXPECT_TRUE(CryptEncodeObject(kEncoding, PKCS_UTC_TIME, &ft, der, &size));
    EXPECT_EQ(std::vector<BYTE>(der, der + size), Der(0x18, "20500101000000Z"));
}

TEST(SigningTimeEncoding, YearsPastFourDigitsAreRefused) {
    for (WORD year : {WORD(10000), WORD(30827)}) {
        const FILETIME ft = At(year, 1, 1, 0, 0, 0);
        DWORD size = 0;
        EXPECT_FALSE(CryptEncodeObject(kEncoding, szOID_RSA_signingTime, &ft, nullptr, &size))
            << year;
        EXPECT_EQ(GetLastError(), CRYPT_E_BAD_ENCODE);
    }
}

}  // namespace
