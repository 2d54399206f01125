#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <string>
#include <vector>

#include "control/OstrelCtrl.h"

struct OstrelCtrlTestAccess {
    static std::vector<BYTE> Decode(const std::string& text) {
        COstrelCtrl control;
        // One byte past the end shows a write beyond n/2.
        std::vector<BYTE> out(text.size() / 2 + 1, 0xEE);
        control.DecodeHex(text.data(), static_cast<int>(text.size()), out.data());
        EXPECT_EQ(out.back(), 0xEE) << "wrote past n/2 bytes";
        out.pop_back();
        return out;
    }
    static std::string Encode(const std::vector<BYTE>& bytes) {
        COstrelCtrl control;
        std::string out(2 * bytes.size() + 2, '\x7F');
        control.EncodeHex(bytes.data(), static_cast<int>(bytes.size()), out.data());
        EXPECT_EQ(out[2 * bytes.size()], '\0');
        EXPECT_EQ(out[2 * bytes.size() + 1], '\x7F') << "wrote past the terminator";
        return out.substr(0, 2 * bytes.size());
    }
};

namespace {

BYTE Pair(char a, char b) {
    return OstrelCtrlTestAccess::Decode(std::string{a, b}).at(0);
}

TEST(DecodeHex, PairRule) {
    EXPECT_EQ(Pair('3', 'F'), 0x3F);
    EXPECT_EQ(Pair('3', 'f'), 0x3F);
    EXPECT_EQ(Pair('a', 'B'), 0xAB);
    EXPECT_EQ(Pair('1', 'z'), 0x01);
    EXPECT_EQ(Pair('z', 'z'), 0x00);
    EXPECT_EQ(Pair('0', 'x'), 0x00);
    EXPECT_EQ(Pair('-', '1'), 0xFF);
    EXPECT_EQ(Pair('-', 'f'), 0xF1);
    EXPECT_EQ(Pair('-', '0'), 0x00);
    EXPECT_EQ(Pair('+', 'c'), 0x0C);
    EXPECT_EQ(Pair(' ', 'f'), 0x0F);
    EXPECT_EQ(Pair('\t', '7'), 0x07);
    EXPECT_EQ(Pair('\v', '7'), 0x07);
    EXPECT_EQ(Pair(' ', '-'), 0x00);
    EXPECT_EQ(Pair('9', '\0'), 0x09);
    EXPECT_EQ(Pair('\xA0', '5'), 0x00);  // no byte above 0x7F is white space
    EXPECT_EQ(Pair('\xC3', '\xA9'), 0x00);
}

// The table agrees with the C library over every pair, each read on its own:
// strtol, base 16, C locale.
TEST(DecodeHex, AgreesWithStrtolOnEveryPair) {
    ASSERT_NE(std::setlocale(LC_ALL, "C"), nullptr);
    std::string text;
    text.reserve(2 * 65536);
    for (int a = 0; a < 256; ++a)
        for (int b = 0; b < 256; ++b) {
            text += static_cast<char>(a);
            text += static_cast<char>(b);
        }
    const std::vector<BYTE> decoded = OstrelCtrlTestAccess::Decode(text);
    int mismatches = 0;
    for (int i = 0; i < 65536; ++i) {
        const char pair[3] = {static_cast<char>(i >> 8), static_cast<char>(i & 0xFF), '\0'};
        const BYTE expected = static_cast<BYTE>(std::strtol(pair, nullptr, 16));
        if (decoded[std::size_t(i)] != expected && ++mismatches <= 10)
            ADD_FAILURE() << "pair " << std::hex << i << ": " << int(decoded[std::size_t(i)])
                          << " vs strtol " << int(expected);
    }
    EXPECT_EQ(mismatches, 0);
}

TEST(DecodeHex, PairsAreReadOneByOneWithoutSkipping) {
    using Bytes = std::vector<BYTE>;
    EXPECT_EQ(OstrelCtrlTestAccess::Decode(""), Bytes{});
    EXPECT_EQ(OstrelCtrlTestAccess::Decode("0123abCDEF"), (Bytes{0x01, 0x23, 0xAB, 0xCD, 0xEF}));
    // A separator shifts the pairing: "0 " "12" -> 0x00 0x12; "1 " "2-" -> 0x01 0x02.
    EXPECT_EQ(OstrelCtrlTestAccess::Decode("0 12"), (Bytes{0x00, 0x12}));
    EXPECT_EQ(OstrelCtrlTestAccess::Decode("1 2-"), (Bytes{0x01, 0x02}));
    // Nothing carries from one pair to the next: "-1" is 0xFF on its own.
    EXPECT_EQ(OstrelCtrlTestAccess::Decode("0-1F"), (Bytes{0x00, 0x1F}));
    EXPECT_EQ(OstrelCtrlTestAccess::Decode("-10x"), (Bytes{0xFF, 0x00}));
}

TEST(EncodeHex, UpperCaseTwoDigitsPerByteInArrayOrder) {
    EXPECT_EQ(OstrelCtrlTestAccess::Encode({}), "");
    EXPECT_EQ(OstrelCtrlTestAccess::Encode({0x0A}), "0A");
    EXPECT_EQ(OstrelCtrlTestAccess::Encode({0x00}), "00");
    EXPECT_EQ(OstrelCtrlTestAccess::Encode({0xCD, 0xAB, 0x23, 0x01}), "CDAB2301");
    std::vector<BYTE> all(256);
    for (int i = 0; i < 256; ++i) all[std::size_t(i)] = static_cast<BYTE>(i);
    const std::string text = OstrelCtrlTestAccess::Encode(all);
    EXPECT_EQ(text.substr(0, 8), "00010203");
    EXPECT_EQ(text.substr(2 * 0xA9, 2), "A9");
    // The codecs undo each other.
    EXPECT_EQ(OstrelCtrlTestAccess::Decode(text), all);
}

}  // namespace
