#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "signing/SignerOptions.h"

namespace {

using ::testing::HasSubstr;

SignerOptions Parsed(const std::string& json) {
    const auto result = ParseSignerOptions(json);
    if (const auto* refusal = std::get_if<std::string>(&result)) {
        ADD_FAILURE() << json << ": " << *refusal;
        return {};
    }
    return std::get<SignerOptions>(result);
}

std::string Refusal(const std::string& json) {
    const auto result = ParseSignerOptions(json);
    if (const auto* refusal = std::get_if<std::string>(&result)) return *refusal;
    ADD_FAILURE() << json << " was accepted";
    return {};
}

TEST(SignerOptions, NoOptionsMeanEveryDefault) {
    for (const char* json : {"", "  \r\n", "{}"}) {
        const SignerOptions o = Parsed(json);
        EXPECT_FALSE(o.position);  // the user chooses
        EXPECT_EQ(o.digest, SignerDigest::Sha256);
        EXPECT_EQ(o.padding, SignerPadding::Pkcs1);
        EXPECT_FALSE(o.paddingGiven);
        EXPECT_EQ(o.format, SignerFormat::Cms);
        EXPECT_TRUE(o.detached);
        EXPECT_FALSE(o.tsa);
        EXPECT_TRUE(o.filter.Empty());
    }
}

TEST(SignerOptions, EveryKeyIsRead) {
    const SignerOptions o = Parsed(
        R"({"certificate": 3, "digest": "SHA-512", "padding": "PSS", "format": "CAdES-T",
            "detached": false, "tsa": "https://tsa.example/stamp",
            "filter": {"validNow": true, "keyUsage": ["nonRepudiation", "digitalSignature"],
                       "issuer": "Root CA"}})");
    EXPECT_EQ(o.position, 3);
    EXPECT_EQ(o.digest, SignerDigest::Sha512);
    EXPECT_EQ(o.padding, SignerPadding::Pss);
    EXPECT_TRUE(o.paddingGiven);
    EXPECT_EQ(o.format, SignerFormat::CadesT);
    EXPECT_FALSE(o.detached);
    EXPECT_EQ(o.tsa, "https://tsa.example/stamp");
    EXPECT_TRUE(o.filter.validNow);
    EXPECT_EQ(o.filter.keyUsage, (std::vector<KeyUsageBit>{KeyUsageBit::NonRepudiation,
                                                           KeyUsageBit::DigitalSignature}));
    EXPECT_EQ(o.filter.issuer, "Root CA");

    EXPECT_FALSE(Parsed(R"({"certificate": "choose"})").position);
    EXPECT_EQ(Parsed(R"({"certificate": 0})").position, 0);
    EXPECT_EQ(Parsed(R"({"certificate": 2.0})").position, 2);
    EXPECT_EQ(Parsed(R"({"digest": "SHA-384"})").digest, SignerDigest::Sha384);
    EXPECT_EQ(Parsed(R"({"format": "CAdES-B"})").format, SignerFormat::CadesB);
    EXPECT_EQ(Parsed(R"({"padding": "PKCS1"})").padding, SignerPadding::Pkcs1);
}

TEST(SignerOptions, RefusalsNameTheKeyTheTypeOrTheValue) {
    struct Case {
        const char* json;
        const char* says;
    };
    for (const Case& c : {
             Case{"not json", "not JSON"},
             Case{"[1, 2]", "must be a JSON object, not an array"},
             Case{R"({"certificate": 0, "colour": "red"})", "\"colour\" is unknown"},
             Case{R"({"filter": {"subject": "x"}})", "\"filter.subject\" is unknown"},
             Case{R"({"digest": 256})", "\"digest\" must be a string, not a number"},
             Case{R"({"digest": "SHA-3"})", "not \"SHA-3\""},
             Case{R"({"detached": "yes"})", "\"detached\" must be true or false, not a string"},
             Case{R"({"certificate": true})", "\"certificate\" must be a position or \"choose\""},
             Case{R"({"certificate": "first"})", "not \"first\""},
             Case{R"({"certificate": -1})", "must not be negative"},
             Case{R"({"certificate": 1.5})", "whole position"},
             Case{R"({"certificate": 4294967296})", "too large"},
             Case{R"({"padding": "OAEP"})", "\"padding\" must be \"PKCS1\" or \"PSS\""},
             Case{R"({"format": "XAdES"})", "\"format\" must be"},
             Case{R"({"tsa": "ftp://tsa.example/"})", "http or https"},
             Case{R"({"tsa": null})", "\"tsa\" must be a string, not null"},
             Case{R"({"filter": []})", "\"filter\" must be an object"},
             Case{R"({"filter": {"keyUsage": "nonRepudiation"}})", "must be an array"},
             Case{R"({"filter": {"keyUsage": ["signing"]}})", "\"signing\""},
             Case{R"({"filter": {"validNow": 1}})", "\"filter.validNow\" must be true or false"},
         }) {
        EXPECT_THAT(Refusal(c.json), HasSubstr(c.says)) << c.json;
    }
}

TEST(SignerOptions, MD5AndSHA1AreNotOffered) {
    for (const char* name : {"MD5", "SHA-1", "SHA1"}) {
        const std::string refusal = Refusal(std::string(R"({"digest": ")") + name + "\"}");
        EXPECT_THAT(refusal, HasSubstr(std::string("\"") + name + "\" is not offered"));
        EXPECT_THAT(refusal, HasSubstr("SHA-256"));
    }
}

}  // namespace
