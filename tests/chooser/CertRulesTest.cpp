#include <gtest/gtest.h>

#include <thread>

#include "chooser/SelectCertDlg.h"

namespace {

TEST(CertNameRules, ValueAndEmailOfNameTexts) {
    struct Case {
        const char* text;
        const char* name;
        const char* email;
    } cases[] = {
        {"C=US, O=Org, CN=Ann Lee, E=ann.lee", "Ann Lee", "ann.lee"},
        {"E=ann.lee, CN=Ann Lee, O=Org", "Ann Lee", "ann.lee"},
        {"CN=Ann Lee, O=Org", "Ann Lee", "Not available"},
        {"O=Org, CN=Ann Lee", "Ann Lee", "Not available"},
        // The comma right after the key: the rest of the text, comma and all.
        {"CN=, O=Org", ", O=Org", "Not available"},
        {"C=US, CN=Root CA", "Root CA", "Not available"},
        // A quoted value keeps its opening quote and ends before its comma.
        {"CN=\"Lee, Ann\", E=ann@x", "\"Lee", "ann@x"},
        // "E=" inside an earlier value is the one found; the first CN wins.
        {"OU=SALE=1, CN=A, CN=B, E=b@x", "A", "1"},
        // Keys are case-sensitive.
        {"cn=lower, e=low@x", "cn=lower, e=low@x", "Not available"},
        // Without a common name the whole text stands for the certificate.
        {"O=Org, OU=Unit", "O=Org, OU=Unit", "Not available"},
        {"", "", "Not available"},
        {"CN=Trailing,", "Trailing", "Not available"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(CertNameValue(CString(c.text), "CN="), c.name) << c.text;
        EXPECT_EQ(CertEmailValue(CString(c.text)), c.email) << c.text;
    }
}

TEST(CertTextTable, KeepsTheModuleWideSlotsAndGrowsPastThem) {
    CertTextTable table;
    EXPECT_EQ(table.SlotCount(), CertTextTable::kSlots);
    const int a = 0, b = 0;
    table.BeginListing(&a);
    for (int i = 0; i < 102; ++i) table.Write(&a, i, CString(("a" + std::to_string(i)).c_str()));
    EXPECT_EQ(table.SlotCount(), 102);
    EXPECT_EQ(table.Read(&a, 101), "a101");
    EXPECT_EQ(table.Read(&a, 102), "") << "nothing past the last row";
    EXPECT_EQ(table.Read(&a, -1), "");
    table.Write(&a, -5, "ignored");

    // A shorter listing overwrites its rows only; slot 0 of an empty one is
    // what the one before left.
    table.BeginListing(&b);
    table.Write(&b, 0, "b0");
    EXPECT_EQ(table.SlotCount(), CertTextTable::kSlots);
    EXPECT_EQ(table.Slot(0), "b0");
    EXPECT_EQ(table.Slot(1), "a1");
    EXPECT_EQ(table.Slot(99), "a99");
    EXPECT_EQ(table.Slot(100), "");

    // The earlier lister, still open, reads its own rows.
    EXPECT_EQ(table.Read(&a, 0), "a0");
    EXPECT_EQ(table.Read(&a, 101), "a101");
    EXPECT_EQ(table.Read(&b, 0), "b0");
    table.EndListing(&a);
    EXPECT_EQ(table.Read(&a, 0), "b0") << "gone: it sees what everybody sees";
    table.EndListing(&b);
    EXPECT_EQ(table.Slot(0), "b0") << "nothing clears the slots";
}

TEST(CertTextTable, ListersOnTwoThreadsEachReadTheirOwnRows) {
    CertTextTable table;
    std::atomic<int> wrong{0};
    auto lister = [&](char tag) {
        const char self = tag;
        for (int round = 0; round < 300; ++round) {
            table.BeginListing(&self);
            for (int i = 0; i < 20; ++i)
                table.Write(
                    &self, i,
                    CString((std::string(1, tag) + std::to_string(round * 100 + i)).c_str()));
            for (int i = 0; i < 20; ++i)
                if (table.Read(&self, i) !=
                    CString((std::string(1, tag) + std::to_string(round * 100 + i)).c_str()))
                    ++wrong;
        }
        table.EndListing(&self);
    };
    std::thread t1(lister, 'x'), t2(lister, 'y');
    t1.join();
    t2.join();
    EXPECT_EQ(wrong, 0);
}

}  // namespace
