#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/StorePositions.h"
#include "platform/crypt/EntryDamage.h"
#include "platform/crypt/Store.h"
#include "tests/support/TestSupport.h"

namespace {

using namespace ostrel::test;

class StorePositions : public ::testing::Test {
protected:
    void SetUp() override {
        m_before = LiveCounts::Now();
        for (const char* serial : {"01", "02", "03"}) AddToStore(MakeCert({.serialHex = serial}));
        // The middle entry cannot be used: it holds half a certificate.
        const auto names =
            platform::crypt::DiskStore::Open(m_home.StoreFolder(), false).EntryNames();
        const auto victim = m_home.StoreFolder() / names[1];
        const std::string good = ReadFile(victim);
        WriteFile(victim, good.substr(0, good.size() / 2));
        m_damaged = names[1];
        m_store = CertOpenSystemStoreA(0, "MY");
        ASSERT_NE(m_store, nullptr);
    }
    void TearDown() override {
        EXPECT_TRUE(CertCloseStore(m_store, CERT_CLOSE_STORE_CHECK_FLAG));
        EXPECT_EQ(LiveCounts::Now(), m_before);
    }

    static int SerialOf(PCCERT_CONTEXT context) {
        return context->cbCertEncoded == 0 ? -1 : int(context->pCertInfo->SerialNumber.pbData[0]);
    }

    TempHome m_home;
    LiveCounts m_before{};
    HCERTSTORE m_store = nullptr;
    std::string m_damaged;
};

TEST_F(StorePositions, EachPositionHoldsItsEntryAndADamagedOneKeepsItsPlace) {
    for (int pass = 0; pass < 2; ++pass) {  // the second through the kept listing
        SCOPED_TRACE(pass);
        PCCERT_CONTEXT first = CertificateAtPosition(m_store, 0);
        ASSERT_NE(first, nullptr);
        EXPECT_EQ(SerialOf(first), 1);
        CertFreeCertificateContext(first);

        SetLastError(0);
        PCCERT_CONTEXT damaged = CertificateAtPosition(m_store, 1);
        ASSERT_NE(damaged, nullptr);
        EXPECT_EQ(GetLastError(), DWORD(CRYPT_E_FILE_ERROR));
        EXPECT_EQ(damaged->cbCertEncoded, 0u);
        const auto damage = platform::crypt::DamageOf(damaged);
        ASSERT_TRUE(damage.has_value());
        EXPECT_EQ(damage->entry, m_damaged);
        CertFreeCertificateContext(damaged);

        PCCERT_CONTEXT third = CertificateAtPosition(m_store, 2);
        ASSERT_NE(third, nullptr);
        EXPECT_EQ(SerialOf(third), 3);
        CertFreeCertificateContext(third);

        for (const long none : {3L, 40L, -1L}) {
            SetLastError(0);
            EXPECT_EQ(CertificateAtPosition(m_store, none), nullptr) << none;
            EXPECT_EQ(GetLastError(), DWORD(CRYPT_E_NOT_FOUND)) << none;
        }
    }
}

TEST_F(StorePositions, AWalkVisitsEveryPositionInOrderAndHandsOverWhereItStops) {
    std::vector<std::pair<long, int>> seen;
    EXPECT_EQ(WalkStorePositions(m_store,
                                 [&](long at, PCCERT_CONTEXT context) {
                                     seen.emplace_back(at, SerialOf(context));
                                     return true;
                                 }),
              nullptr);
    EXPECT_EQ(seen, (std::vector<std::pair<long, int>>{{0, 1}, {1, -1}, {2, 3}}));

    // Stopped at the damaged entry, the walk hands that context over, and
    // a walk of the caller's own goes on from it.
    PCCERT_CONTEXT stopped = WalkStorePositions(
        m_store, [](long, PCCERT_CONTEXT context) { return context->cbCertEncoded != 0; });
    ASSERT_NE(stopped, nullptr);
    EXPECT_EQ(SerialOf(stopped), -1);
    PCCERT_CONTEXT next = CertEnumCertificatesInStore(m_store, stopped);
    ASSERT_NE(next, nullptr);
    EXPECT_EQ(SerialOf(next), 3);
    CertFreeCertificateContext(next);
}

}  // namespace
