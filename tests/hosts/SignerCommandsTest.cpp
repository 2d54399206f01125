// The `ostrel` command with the signer (OSTREL.Signer.1): `sign` with its
// choices, `verify --signature --json` reporting what a signature is, and
// `call --progid OSTREL.Signer.1`. Each signature is held to OpenSSL.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "tests/support/TestSupport.h"

namespace {

using namespace ostrel::test;
using nlohmann::json;

std::string Ostrel() {
    return std::string(std::getenv("OSTREL_BIN")) + "/ostrel";
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
    // message's own content when empty).
    bool OpensslAccepts(bool cades, const std::filesystem::path& content = {}) {
        const auto der = DecodeBase64Text(ReadFile(m_sig));
        if (der.empty()) return false;
        const auto file = m_home.Path() / "sig.der";
        WriteFile(file, std::string(der.begin(), der.end()));
        return RunCommand("openssl cms -verify -binary -noverify -inform DER " +
                          std::string(cades ? "-cades " : "") + "-in " + Quoted(file) +
                          (content.empty() ? std::string() : " -content " + Quoted(content)) +
                          " -out /dev/null 2>/dev/null")
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

TEST_F(SignerCommands, WithoutChoicesTheControlSignsAsEverAndVerifyReportsIt) {
    ASSERT_EQ(Run("sign --index 0 --in " + Quoted(m_in) + " --out " + Quoted(m_sig)).status, 0)
        << Err();
    const json report = Verify("--content " + Quoted(m_in));
    EXPECT_EQ(report["digest"], "MD5") << report;
    EXPECT_EQ(report["signatureAlgorithm"], "RSA-PKCS1");
    EXPECT_EQ(report["format"], "CMS");
    // A detached signature checked without its content holds nothing.
    EXPECT_EQ(Verify(""), json({{"verified", false}}));
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
        {"--index 0 --format CAdES-T --tsa ftp://127.0.0.1/", 3, "Sign"},
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
