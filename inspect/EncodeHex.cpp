#include "control/OstrelCtrl.h"

void COstrelCtrl::EncodeHex(const BYTE* data, int count, char* out) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    for (int i = 0; i < count; ++i) {
        out[2 * i] = kDigits[data[i] >> 4];
        out[2 * i + 1] = kDigits[data[i] & 0x0F];
    }
    out[count < 0 ? 0 : 2 * count] = '\0';
}
