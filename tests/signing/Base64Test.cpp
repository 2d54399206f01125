#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <string>
#include <vector>

#include "control/OstrelCtrl.h"

struct OstrelCtrlTestAccess {
    static std::string Encode(const std::vector<BYTE>& data) {
        COstrelCtrl ctrl;
        return ctrl.EncodeBase64(data.data(), static_cast<int>(data.size())).Str();
    }
    static std::string EncodeRaw(const BYTE* data, int count) {
        COstrelCtrl ctrl;
        return ctrl.EncodeBase64(data, count).Str();
    }
    static char Char(BYTE v) {
        COstrelCtrl ctrl;
        return ctrl.Base64Char(v);
    }
};

namespace {

using Access = OstrelCtrlTestAccess;

std::vector<BYTE> Bytes(const std::string& s) {
    return std::vector<BYTE>(s.begin(), s.end());
}

std::string Reference(const std::vector<BYTE>& data) {
    std::string out(4 * ((data.size() + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), data.data(),
                                  static_cast<int>(data.size()));
    out.resize(std::size_t(n));
    return out;
}

std::string WithoutBreaks(std::string s) {
    std::erase(s, '\r');
    std::erase(s, '\n');
    return s;
}

TEST(Base64, MapsEverySextetToTheStandardAlphabet) {
    const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (int v = 0; v < 64; ++v) EXPECT_EQ(Access::Char(BYTE(v)), alphabet[std::size_t(v)]) << v;
}

TEST(Base64, SmallInputsAndPadding) {
    EXPECT_EQ(Access::Encode({}), "");
    EXPECT_EQ(Access::EncodeRaw(nullptr, 5), "");
    const BYTE one = 'a';
    EXPECT_EQ(Access::EncodeRaw(&one, -1), "");
    EXPECT_EQ(Access::Encode(Bytes("a")), "YQ==\r\n");
    EXPECT_EQ(Access::Encode(Bytes("ab")), "YWI=\r\n");
    EXPECT_EQ(Access::Encode(Bytes("abc")), "YWJj\r\n");
    EXPECT_EQ(Access::Encode(Bytes("abcd")), "YWJj\r\nZA==");
    EXPECT_EQ(Access::Encode({0xFF, 0xFF, 0xFF}), "////\r\n");  // bytes are unsigned
}

TEST(Base64, LineBreaksFollowTheFirstGroupThenEveryNineteen) {
    struct Case {
        std::size_t bytes, chars;
        bool endsWithBreak;
    };
    for (const Case c : {Case{4, 10, false}, Case{57, 78, false}, Case{58, 84, true},
                         Case{59, 84, true}, Case{60, 84, true}, Case{61, 88, false},
                         Case{115, 162, true}, Case{116, 162, true}, Case{117, 162, true}}) {
        const std::string text = Access::Encode(std::vector<BYTE>(c.bytes, 0x5A));
        EXPECT_EQ(text.size(), c.chars) << c.bytes;
        EXPECT_EQ(text.ends_with("\r\n"), c.endsWithBreak) << c.bytes;
        EXPECT_EQ(text.substr(4, 2), "\r\n") << c.bytes;
    }
    // 115 bytes: lines of 4, 76 and 76 characters.
    const std::string text = Access::Encode(std::vector<BYTE>(115, 1));
    EXPECT_EQ(text.find("\r\n", 6), 6u + 76u);
    EXPECT_EQ(text.find("\r\n", 84), 84u + 76u);
}

TEST(Base64, EverySizeUpTo2000MatchesTheStandardEncodingAndTheLengthFormula) {
    std::vector<BYTE> data;
    for (std::size_t n = 0; n <= 2000; ++n) {
        const std::string text = Access::Encode(data);
        ASSERT_EQ(WithoutBreaks(text), Reference(data)) << n;
        if (n > 0) {
            const std::size_t g = (n + 2) / 3;
            ASSERT_EQ(text.size(), 4 * g + 2 * ((g - 1) / 19 + 1)) << n;
            ASSERT_EQ(text.ends_with("\r\n"), (g - 1) % 19 == 0) << n;
        }
        // Every line but the last is whole: 4 characters first, then 76.
        std::size_t start = 0, line = 0;
        for (std::size_t at; (at = text.find("\r\n", start)) != std::string::npos; ++line) {
            ASSERT_EQ(at - start, line == 0 ? 4u : 76u) << n;
            start = at + 2;
        }
        ASSERT_LE(text.size() - start, 76u) << n;
        data.push_back(static_cast<BYTE>(n * 131 + 7));
    }
}

}  // namespace
