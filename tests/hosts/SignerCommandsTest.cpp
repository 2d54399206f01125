// The `ostrel` command with the signer (OSTREL.Signer.1): `sign` with its
// choices, `verify --signature --json` reporting what a signature is, and
// `call --progid OSTREL.Signer.1`. Each signature is held to OpenSSL.

#include <gtest/gtest.h>
#include <openssl/cms.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include <cstdio>
#include <ctime>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>

#include "tests/support/TestSupport.h"
#include "tests/support/TestTsa.h"

namespace {

using namespace ostrel::test;
using nlohmann::json;

std::string Ostrel() {
    return std::string(std::getenv("OSTREL_BIN")) + "/ostrel";
}

// The time-stamp token a CAdES-T signature carries as its signer's unsigned
// attribute, and the signature value it stamps, as OpenSSL reads them.
struct Stamp {
    std::string token;
    std::string signatureValue;
};
std::optional<Stamp> StampOf(const std::vector<unsigned char>& der) {
    const unsigned char* p = der.data();
    const std::unique_ptr<CMS_ContentInfo, decltype(&CMS_ContentInfo_free)> cms(
        d2i_CMS_ContentInfo(nullptr, &p, long(der.size())), CMS_ContentInfo_free);
    if (!cms) return std::nullopt;
    STACK_OF(CMS_SignerInfo)* signers = CMS_get0_SignerInfos(cms.get());
    if (sk_CMS_SignerInfo_num(signers) != 1) return std::nullopt;
    CMS_SignerInfo* signer = sk_CMS_SignerInfo_value(signers, 0);
    const std::unique_ptr<ASN1_OBJECT, decltype(&ASN1_OBJECT_free)> oid(
        OBJ_txt2obj("1.2.840.113549.1.9.16.2.14", 1), ASN1_OBJECT_free);
    const int at = CMS_unsigned_get_attr_by_OBJ(signer, oid.get(), -1);
    if (at < 0) return std::nullopt;
    X509_ATTRIBUTE* attribute = CMS_unsigned_get_attr(signer, at);
    if (X509_ATTRIBUTE_count(attribute) != 1) return std::nullopt;
    const ASN1_TYPE* value = X509_ATTRIBUTE_get0_type(attribute, 0);
    if (value == nullptr || value->type != V_ASN1_SEQUENCE) return std::nullopt;
    const ASN1_OCTET_STRING* signature = CMS_SignerInfo_get0_signature(signer);
    return Stamp{std::string(reinterpret_cast<const char*>(value->value.sequence->data),
                             std::size_t(value->value.sequence->length)),
                 std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(signature)),
                             std::size_t(ASN1_STRING_length(signature)))};
}

// Seconds since 1970 of an ISO 8601 time in UTC as verify writes it; -1 when
// it is not one.
std::time_t UtcSeconds(const std::string& iso) {
    std::tm tm{};
    if (!iso.ends_with('Z') ||
        std::sscanf(iso.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d", &tm.tm_year, &tm.tm_mon, &tm.tm_mday,
                    &tm.tm_hour, &tm.tm_min, &tm.tm_sec) != 6)
        return -1;
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    return timegm(&tm);
}

class SignerCommands : public ::testing::Test {
protected:
    void SetUp() override {
        AddToStore(MakeCert());
        m_in = m_home.Path() / "in.txt";
        m_sig = m_home.Path() / "in.sig";
        WriteFile(m_in, "I agree to pay 100 crowns.\nSigned, Ann\n");
    }
    CommandResult Run(const std::string& args) {
        return RunCommand(Ostrel() + " " + args + " 2>'" + (m_home.Path() / "err").string() + "'");
    }
    std::string Err() { return ReadFile(m_home.Path() / "err"); }
    std::string Quoted(const std::filesystem::path& path) { return "'" + path.string() + "'"; }

    // Whether OpenSSL accepts the signature in m_sig for `content` (the
    // message's own content when empty). CAdES checks need the signer's
    // certificate trusted: the one the message carries is, once its
    // signature holds.
    bool OpensslAccepts(bool cades, const std::filesystem::path& content = {}) {
        const auto der = DecodeBase64Text(ReadFile(m_sig));
        if (der.empty()) return false;
        const auto file = m_home.Path() / "sig.der";
        const auto signer = m_home.Path() / "signer.pem";
        WriteFile(file, std::string(der.begin(), der.end()));
        std::filesystem::remove(signer);
        const std::string common =
            "-binary -inform DER -in " + Quoted(file) +
            (content.empty() ? std::string() : " -content " + Quoted(content)) +
            " -out /dev/null 2>/dev/null";
        if (RunCommand("openssl cms -verify -noverify -signer " + Quoted(signer) + " " + common)
                .status != 0)
            return false;
        return !cades || RunCommand("openssl cms -verify -cades -CAfile " + Quoted(signer) +
                                    " -partial_chain -purpose any " + common)
                                 .status == 0;
    }
    json Verify(const std::string& extra) {
        const auto r = Run("verify --json --signature " + Quoted(m_sig) + " " + extra);
        return json::parse(r.out, nullptr, false);
    }

    TempHome m_home;
    std::filesystem::path m_in, m_sig;
};

TEST_F(SignerCommands, ChoicesMakeSignaturesOpensslAcceptsAndVerifyTellsThem) {
    const struct {
        const char* options;
        const char* digest;
        const char* algorithm;
        const char* format;
        bool attached;
    } cases[] = {
        {"--digest SHA-256", "SHA-256", "RSA-PKCS1", "CMS", false},
        {"--digest sha-384 --format cades-b", "SHA-384", "RSA-PKCS1", "CAdES-B", false},
        {"--digest SHA-512 --padding PSS --format CAdES-B --attached", "SHA-512", "RSA-PSS",
         "CAdES-B", true},
        {"--attached", "SHA-256", "RSA-PKCS1", "CMS", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.options);
        const auto r = Run("sign --index 0 " + std::string(c.options) + " --in " + Quoted(m_in) +
                           " --out " + Quoted(m_sig));
        ASSERT_EQ(r.status, 0) << Err();
        const bool cades = std::string(c.format) != "CMS";
        EXPECT_TRUE(OpensslAccepts(cades, c.attached ? std::filesystem::path() : m_in));
        const json report = Verify(c.attached ? "" : "--content " + Quoted(m_in));
        ASSERT_TRUE(report.is_object()) << Err();
        EXPECT_EQ(report["verified"], true) << report;
        EXPECT_EQ(report["detached"], !c.attached);
        EXPECT_EQ(report["digest"], c.digest);
        EXPECT_EQ(report["signatureAlgorithm"], c.algorithm);
        EXPECT_EQ(report["format"], c.format);
        EXPECT_TRUE(report["signingTime"].is_string()) << report;
        EXPECT_FALSE(report.contains("timestamp"));
        EXPECT_EQ(report["subject"], "C=US, O=Org, CN=Ann Lee, E=ann.lee@example.org");
        // Another content is refused, by OpenSSL and by ostrel.
        if (!c.attached) {
            const auto other = m_home.Path() / "other.txt";
            WriteFile(other, "I agree to pay 900 crowns.\nSigned, Ann\n");
            EXPECT_FALSE(OpensslAccepts(cades, other));
            EXPECT_EQ(Verify("--content " + Quoted(other)), json({{"verified", false}}));
        }
    }
}

TEST_F(SignerCommands, EcKeysSignWithEcdsaOnEachCurveAndRefusePss) {
    const struct {
        const char* kind;
        const char* digest;
    } keys[] = {{"ec-p256", "SHA-256"}, {"ec-p384", "SHA-384"}, {"ec-p521", "SHA-512"}};
    const auto other = m_home.Path() / "other.txt";
    WriteFile(other, "I agree to pay 900 crowns.\nSigned, Ann\n");
    for (const auto& k : keys) {
        SCOPED_TRACE(k.kind);
        const auto made =
            Run(std::string("store new-test-cert --subject /CN=") + k.kind + " --key " + k.kind);
        ASSERT_EQ(made.status, 0) << Err();
        const std::string index = std::to_string(std::stoi(made.out));
        for (const bool attached : {false, true}) {
            SCOPED_TRACE(attached ? "attached" : "detached");
            const auto r = Run("sign --index " + index + " --digest " + k.digest +
                               " --format CAdES-B" + (attached ? " --attached" : "") + " --in " +
                               Quoted(m_in) + " --out " + Quoted(m_sig));
            ASSERT_EQ(r.status, 0) << Err();
            EXPECT_TRUE(OpensslAccepts(true, attached ? std::filesystem::path() : m_in));
            const json report = Verify(attached ? "" : "--content " + Quoted(m_in));
            EXPECT_EQ(report["verified"], true) << report;
            EXPECT_EQ(report["digest"], k.digest);
            EXPECT_EQ(report["signatureAlgorithm"], "ECDSA");
            EXPECT_EQ(report["format"], "CAdES-B");
            EXPECT_EQ(report["subject"], std::string("CN=") + k.kind);
            if (!attached) {
                EXPECT_FALSE(OpensslAccepts(true, other));
                EXPECT_EQ(Verify("--content " + Quoted(other)), json({{"verified", false}}));
            }
        }
    }
    // PSS is RSA's: the signer says so for an EC key, and nothing is written.
    std::filesystem::remove(m_sig);
    const auto r =
        Run("sign --index 1 --padding PSS --in " + Quoted(m_in) + " --out " + Quoted(m_sig));
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(Err().find("PSS"), std::string::npos) << Err();
    EXPECT_FALSE(std::filesystem::exists(m_sig));
}

// CAdES-T from the test authority: OpenSSL accepts the signature and, over
// its signature value, the token it carries; verify reports the stamp. The
// authority comes from --tsa or, without it, OSTREL_TSA. Until the signer
// takes time stamps it says so, and the test is skipped.
TEST_F(SignerCommands, CadesTCarriesATimeStampThatOpensslAndVerifyAccept) {
    const auto& tsa = TestTsa::Shared();
    const std::time_t before = std::time(nullptr);
    auto r = Run("sign --index 0 --digest SHA-384 --format CAdES-T --tsa " + tsa.Url("good") +
                 " --in " + Quoted(m_in) + " --out " + Quoted(m_sig));
    if (r.status != 0 && Err().find("Time stamps cannot be had yet.") != std::string::npos)
        GTEST_SKIP() << "the signer takes no time stamps yet: " << Err();
    ASSERT_EQ(r.status, 0) << Err();
    const std::time_t after = std::time(nullptr);
    EXPECT_TRUE(OpensslAccepts(true, m_in));

    const auto stamp = StampOf(DecodeBase64Text(ReadFile(m_sig)));
    ASSERT_TRUE(stamp) << "no single time-stamp token in the signature";
    WriteFile(m_home.Path() / "token.der", stamp->token);
    WriteFile(m_home.Path() / "value.bin", stamp->signatureValue);
    const auto checked = RunCommand(
        "openssl ts -verify -token_in -in " + Quoted(m_home.Path() / "token.der") + " -data " +
        Quoted(m_home.Path() / "value.bin") + " -CAfile " + Quoted(tsa.CaCert()) + " 2>&1");
    EXPECT_EQ(checked.status, 0) << checked.out;
    EXPECT_NE(checked.out.find("Verification: OK"), std::string::npos) << checked.out;

    json report = Verify("--content " + Quoted(m_in));
    EXPECT_EQ(report["verified"], true) << report;
    EXPECT_EQ(report["format"], "CAdES-T");
    EXPECT_EQ(report["digest"], "SHA-384");
    const json& timestamp = report["timestamp"];
    ASSERT_TRUE(timestamp.is_object()) << report;
    EXPECT_EQ(timestamp["verified"], true) << timestamp;
    EXPECT_EQ(timestamp["imprintMatches"], true);
    EXPECT_EQ(timestamp["authority"], "O=ostrel tests, CN=Test Time-Stamping Authority");
    const std::time_t stamped = UtcSeconds(timestamp.value("time", std::string()));
    EXPECT_GE(stamped, before - 60) << timestamp;
    EXPECT_LE(stamped, after + 60) << timestamp;
    // Another content is refused whatever the stamp says.
    const auto other = m_home.Path() / "other.txt";
    WriteFile(other, "I agree to pay 900 crowns.\nSigned, Ann\n");
    EXPECT_EQ(Verify("--content " + Quoted(other)), json({{"verified", false}}));

    // Attached, the authority named by OSTREL_TSA.
    std::filesystem::remove(m_sig);
    r = RunCommand("OSTREL_TSA='" + tsa.Url("good") + "' " + Ostrel() +
                   " sign --index 0 --format CAdES-T --attached --in " + Quoted(m_in) + " --out " +
                   Quoted(m_sig) + " 2>" + Quoted(m_home.Path() / "err"));
    ASSERT_EQ(r.status, 0) << Err();
    EXPECT_TRUE(OpensslAccepts(true));
    report = Verify("");
    EXPECT_EQ(report["format"], "CAdES-T") << report;
    EXPECT_EQ(report["timestamp"]["verified"], true) << report;

    // An authority whose answer does not hold gives no signature at all.
    for (const char* mode : {"wrong-imprint", "wrong-nonce", "reject", "garbage", "error500"}) {
        SCOPED_TRACE(mode);
        std::filesystem::remove(m_sig);
        r = Run("sign --index 0 --format CAdES-T --tsa " + tsa.Url(mode) + " --in " + Quoted(m_in) +
                " --out " + Quoted(m_sig));
        EXPECT_EQ(r.status, 3) << Err();
        EXPECT_FALSE(Err().empty());
        EXPECT_FALSE(std::filesystem::exists(m_sig));
    }
}

TEST_F(SignerCommands, WithoutChoicesTheControlSignsAsEverAndVerifyReportsIt) {
    ASSERT_EQ(Run("sign --index 0 --in " + Quoted(m_in) + " --out " + Quoted(m_sig)).status, 0)
        << Err();
    const json report = Verify("--content " + Quoted(m_in));
    EXPECT_EQ(report["digest"], "MD5") << report;
    EXPECT_EQ(report["signatureAlgorithm"], "RSA-PKCS1");
    EXPECT_EQ(report["format"], "CMS");
    // A detached signature asked about without its content is a usage error.
    EXPECT_EQ(Run("verify --json --signature " + Quoted(m_sig)).status, 2);
    EXPECT_NE(Err().find("--content"), std::string::npos) << Err();
}

TEST_F(SignerCommands, RefusedChoicesSayWhatIsWrongAndWriteNothing) {
    const struct {
        const char* options;
        int status;
        const char* said;  // a part of the message
    } cases[] = {
        {"--index 0 --digest MD5", 2, "--digest"},
        {"--index 0 --format PAdES", 2, "--format"},
        {"--index 0 --padding OAEP", 2, "--padding"},
        {"--index 7 --digest SHA-256", 2, "7"},  // past the end: the signer's words
        // No authority answers there: no CAdES-B in its place.
        {"--index 0 --format CAdES-T --tsa http://127.0.0.1:9/", 3, "Sign"},
        // An authority the signer cannot ask at all is an option it refuses.
        {"--index 0 --format CAdES-T --tsa ftp://127.0.0.1/", 2, "tsa"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.options);
        std::filesystem::remove(m_sig);
        const auto r = Run("sign " + std::string(c.options) + " --in " + Quoted(m_in) + " --out " +
                           Quoted(m_sig));
        EXPECT_EQ(r.status, c.status) << Err();
        EXPECT_NE(Err().find(c.said), std::string::npos) << Err();
        EXPECT_FALSE(std::filesystem::exists(m_sig));
    }
}

TEST_F(SignerCommands, CallReachesTheSignerByItsProgramIdentifier) {
    ASSERT_EQ(Run("register").status, 0) << Err();
    const auto signed_ = Run("call --progid OSTREL.Signer.1 Sign @" + Quoted(m_in) +
                             R"( '{"certificate": 0, "format": "CAdES-B"}')");
    ASSERT_EQ(signed_.status, 0) << Err();
    WriteFile(m_sig, signed_.out);
    EXPECT_TRUE(OpensslAccepts(true, m_in));

    // What the signer says of options it refuses is shown, and exits 2.
    auto r = Run(R"(call --json --progid OSTREL.Signer.1 Sign text '{"digest": "MD5"}')");
    EXPECT_EQ(r.status, 2);
    const json out = json::parse(r.out, nullptr, false);
    ASSERT_TRUE(out.is_object()) << r.out;
    EXPECT_EQ(out["hresult"], "0x80020009");
    EXPECT_EQ(out["scode"], "0x80070057");
    EXPECT_NE(out["description"].get<std::string>().find("MD5"), std::string::npos) << out;
    r = Run(R"(call --progid OSTREL.Signer.1 Sign text '{"colour": "blue"}')");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(Err().find("colour"), std::string::npos) << Err();
    r = Run("call --progid OSTREL.Signer.1 SignMessage text");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(Err().find("no method SignMessage"), std::string::npos) << Err();
}

}  // namespace
