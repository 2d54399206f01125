#include "control/OstrelCtrl.h"
#include "inspect/Intake.h"

BOOL COstrelCtrl::VerifyMessage(LPCTSTR SignedMessage) {
    const auto result = inspect::VerifyHexText(
        SignedMessage, nullptr,
        [this](const char* text, int length, BYTE* out) { DecodeHex(text, length, out); });
    return result == inspect::IntakeResult::Verified ? TRUE : FALSE;
}
