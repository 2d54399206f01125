#include <gtest/gtest.h>

#include <set>

#include "common/Messages.h"
#include "platform/seams/Seams.h"
#include "platform/win/LastError.h"
#include "platform/win/WinError.h"
#include "tests/support/TestSupport.h"

namespace {

using platform::seams::ScopedTrace;

TEST(Messages, TheCatalogueHoldsSeventeenDistinctTextsInTwoStyles) {
    std::set<std::string> texts;
    for (const OstrelMessage* m : msg::kCatalogue) {
        texts.insert(m->text);
        EXPECT_TRUE(m->style == 0 || m->style == 16) << m->text;
        // Only the failure reports, all in the error style, carry system text.
        if (m->withSystemText) {
            EXPECT_EQ(m->style, 16u) << m->text;
        }
    }
    EXPECT_EQ(texts.size(), 17u);
}

TEST(Messages, AFailureReportJoinsTheSystemTextDirectly) {
    ::setenv("OSTREL_UI", "none", 1);
    const auto before = ostrel::test::LiveCounts::Now();
    ScopedTrace trace;
    SetLastError(ERROR_ACCESS_DENIED);
    ShowMessage(msg::kStoreHandle);
    SetLastError(0);
    ShowMessage(msg::kGettingSignature);
    SetLastError(0x12345678);  // no description: the fixed text stands alone
    ShowMessage(msg::kAcquireContextFailed);
    ShowMessage(msg::kNotSelected);
    const auto boxes = trace.Filtered({"AfxMessageBox"});
    ASSERT_EQ(boxes.size(), 4u);
    EXPECT_EQ(boxes[0],
              "AfxMessageBox 16 Error Getting Store HandleAccess is denied. A store folder must "
              "have mode 0700 and its files mode 0600, owned by the user.\r\n");
    EXPECT_EQ(boxes[1],
              "AfxMessageBox 16 Error Getting SignatureThe operation completed successfully.\r\n");
    EXPECT_EQ(boxes[2], "AfxMessageBox 16 Acquire Crypt Context Failed");
    EXPECT_EQ(boxes[3], "AfxMessageBox 16 Certificate is not selected.");
    EXPECT_EQ(ostrel::test::LiveCounts::Now(), before);
}

}  // namespace
