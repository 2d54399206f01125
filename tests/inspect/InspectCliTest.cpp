#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "tests/platform/crypt/SignedMessages.h"
#include "tests/support/TestSupport.h"

namespace ostrel::test {
namespace {

// `ostrel verify|subject|serial` on messages made by the openssl command.
class InspectCli : public ::testing::Test {
protected:
    void SetUp() override {
        // The command sits beside the test programs unless OSTREL_BIN says otherwise.
        const char* bin = std::getenv("OSTREL_BIN");
        const std::filesystem::path folder =
            bin != nullptr ? std::filesystem::path(bin)
                           : std::filesystem::read_symlink("/proc/self/exe").parent_path();
        m_ostrel = (folder / "ostrel").string();
        ASSERT_TRUE(std::filesystem::exists(m_ostrel)) << m_ostrel;
        if (RunCommand("command -v openssl >/dev/null 2>&1").status != 0)
            GTEST_SKIP() << "no openssl command";
    }

    std::string In(const std::string& name) const { return (m_home.Path() / name).string(); }

    // Signs `content` with the openssl command; returns the message's bytes.
    Bytes OpensslSign(const TestCert& cert, const std::string& digest) {
        WriteFile(In("cert.pem"), cert.CertPem());
        WriteFile(In("key.pem"), cert.KeyPem());
        WriteFile(In("content.txt"), "Pay Ann Lee 100 crowns.\n");
        const CommandResult r =
            RunCommand("openssl cms -sign -nodetach -binary -md " + digest + " -in '" +
                       In("content.txt") + "' -signer '" + In("cert.pem") + "' -inkey '" +
                       In("key.pem") + "' -outform DER -out '" + In("msg.der") + "' 2>&1");
        EXPECT_EQ(r.status, 0) << r.out;
        const std::string der = ReadFile(In("msg.der"));
        return Bytes(der.begin(), der.end());
    }

    CommandResult Ostrel(const std::string& args) {
        return RunCommand("'" + m_ostrel + "' " + args + " 2>/dev/null");
    }

    TempHome m_home;
    std::string m_ostrel;
};

TEST_F(InspectCli, VerifiesAndReportsTheSignerOfAnOpensslMessage) {
    const TestCert rsa = MakeCert();
    CertOptions ecSpec;
    ecSpec.ec = true;
    ecSpec.subject = "/CN=Zoë Ω/O=Acme, Inc.";
    ecSpec.serialHex = "0A";
    const TestCert ec = MakeCert(ecSpec);
    const struct {
        const TestCert* cert;
        const char* digest;
        const char* subject;
        const char* serial;
    } cases[] = {
        {&rsa, "md5", "C=US, O=Org, CN=Ann Lee, E=ann.lee@example.org", "CDAB2301"},
        {&rsa, "sha1", "C=US, O=Org, CN=Ann Lee, E=ann.lee@example.org", "CDAB2301"},
        {&ec, "sha256", "CN=Zoë Ω, O=\"Acme, Inc.\"", "0A"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.digest);
        WriteFile(In("msg.hex"), Hex(OpensslSign(*c.cert, c.digest)) + "\n");
        CommandResult r = Ostrel("verify --in '" + In("msg.hex") + "'");
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, "true\n");
        r = Ostrel("subject < '" + In("msg.hex") + "'");
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, std::string(c.subject) + "\n");
        r = Ostrel("serial --in '" + In("msg.hex") + "'");
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, std::string(c.serial) + "\n");
    }
}

TEST_F(InspectCli, ExitCodesTellFalseEmptyAndNullApart) {
    const TestCert rsa = MakeCert();
    const Bytes message = OpensslSign(rsa, "sha256");
    const std::string hex = Hex(message);
    const auto run = [&](const std::string& input, const std::string& command,
                         const std::string& options = "") {
        WriteFile(In("input"), input);
        return Ostrel(command + " " + options + " --in '" + In("input") + "'");
    };

    // One trailing line break is removed, CR LF included; --exact keeps it.
    EXPECT_EQ(run(hex + "\r\n", "verify").status, 0);
    EXPECT_EQ(run(hex, "verify").status, 0);
    CommandResult r = run(hex + "\n", "subject", "--exact");
    EXPECT_EQ(r.status, 4);
    EXPECT_EQ(r.out, "");
    r = run(hex + "\n\n", "verify");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "false\n");

    // A changed message: false, and the empty string.
    const std::string changed = Hex(Flipped(message, SignatureOf(message), 3));
    r = run(changed, "verify");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "false\n");
    r = run(changed, "serial");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "\n");
    r = run("", "subject");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "\n");
    r = run("ABC", "serial");
    EXPECT_EQ(r.status, 4);
    EXPECT_EQ(r.out, "");

    // Input the control could not be handed whole is refused.
    EXPECT_EQ(run(hex.substr(0, 10) + std::string(1, '\0') + hex.substr(10), "verify").status, 2);
    EXPECT_EQ(Ostrel("verify --in '" + In("no-such-file") + "'").status, 2);
}

// What `sign` writes, `verify --signature --content` accepts; a changed text
// or signature it refuses.
TEST_F(InspectCli, ChecksTheSignaturesSignMakes) {
    CertOptions options;
    options.subject = "/CN=Zoë Signer/O=Acme, Inc.";
    options.serialHex = "0A0B0C";
    AddToStore(MakeCert(options));
    const std::string texts[] = {
        "Pay Ann Lee 100 crowns.",
        "",
        "Z\xC3\xBCrich \xE2\x82\xAC 5, \xE6\x9D\x8E \xF0\x9F\x98\x80",
        "line one\r\nline two\r\n",
        std::string(70000, 'x') + "\n",
    };
    int n = 0;
    for (const auto& text : texts) {
        SCOPED_TRACE(n);
        const std::string content = In("text" + std::to_string(n) + ".txt");
        const std::string sig = In("sig" + std::to_string(n) + ".txt");
        ++n;
        WriteFile(content, text);
        ASSERT_EQ(Ostrel("sign --index 0 --in '" + content + "' --out '" + sig + "'").status, 0);
        const std::string args = "verify --signature '" + sig + "' --content '" + content + "'";
        CommandResult r = Ostrel(args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, "true\n");

        r = Ostrel(args + " --json");
        EXPECT_EQ(r.status, 0);
        EXPECT_THAT(r.out, ::testing::HasSubstr("\"verified\": true"));
        EXPECT_THAT(r.out,
                    ::testing::HasSubstr("\"subject\": \"CN=Zoë Signer, O=\\\"Acme, Inc.\\\"\""));
        EXPECT_THAT(r.out, ::testing::HasSubstr("\"serial\": \"0C0B0A\""));
        EXPECT_THAT(r.out,
                    ::testing::ContainsRegex(
                        "\"signingTime\": \"20[0-9][0-9]-[01][0-9]-[0-3][0-9]T[0-9:]{8}Z\""));

        // The same signature as DER, and with its line breaks gone.
        const auto der = DecodeBase64Text(ReadFile(sig));
        WriteFile(In("sig.der"), std::string(der.begin(), der.end()));
        EXPECT_EQ(
            Ostrel("verify --signature '" + In("sig.der") + "' --content '" + content + "'").out,
            "true\n");
        std::string oneLine = ReadFile(sig);
        std::erase(oneLine, '\n');
        std::erase(oneLine, '\r');
        WriteFile(In("sig-one-line.txt"), oneLine);
        EXPECT_EQ(Ostrel("verify --signature '" + In("sig-one-line.txt") + "' --content '" +
                         content + "'")
                      .status,
                  0);

        // A changed text, a text cut or grown, a changed signature.
        WriteFile(In("changed.txt"), text.empty() ? std::string("x") : "Q" + text.substr(1));
        r = Ostrel("verify --signature '" + sig + "' --content '" + In("changed.txt") + "'");
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "false\n");
        WriteFile(In("grown.txt"), text + "\n");
        EXPECT_EQ(
            Ostrel("verify --signature '" + sig + "' --content '" + In("grown.txt") + "'").status,
            1);
        Bytes bad = der;
        bad[bad.size() - 10] ^= 0x01;  // inside the signature value
        WriteFile(In("bad.der"), std::string(bad.begin(), bad.end()));
        r = Ostrel("verify --json --signature '" + In("bad.der") + "' --content '" + content + "'");
        EXPECT_EQ(r.status, 1);
        EXPECT_THAT(r.out, ::testing::HasSubstr("\"verified\": false"));
    }

    // Input that is neither base64 nor DER, and options that do not go together.
    WriteFile(In("junk.txt"), "this is * not base64");
    EXPECT_EQ(
        Ostrel("verify --signature '" + In("junk.txt") + "' --content '" + In("text0.txt") + "'")
            .status,
        2);
    EXPECT_EQ(Ostrel("verify --signature '" + In("sig0.txt") + "'").status, 2);
    EXPECT_EQ(Ostrel("verify --json --in '" + In("sig0.txt") + "'").status, 2);
    EXPECT_EQ(
        Ostrel("verify --signature '" + In("missing") + "' --content '" + In("text0.txt") + "'")
            .status,
        2);
}

// OSTREL_DEBUG=1 tells why a platform call failed, on one line of standard
// error with OpenSSL's own errors; without it standard error stays as it was.
TEST_F(InspectCli, DebugTellsTheCauseOfAFailureOnOneLine) {
    const Bytes message = OpensslSign(MakeCert(), "sha256");
    WriteFile(In("changed.hex"), Hex(Flipped(message, SignatureOf(message), 3)));
    WriteFile(In("cut.hex"), Hex(Bytes(message.begin(), message.begin() + 40)));
    const auto run = [&](const std::string& env, const std::string& file) {
        return RunCommand(env + " '" + m_ostrel + "' verify --in '" + In(file) +
                          "' 2>&1 >/dev/null");
    };

    CommandResult r = run("OSTREL_DEBUG=1", "changed.hex");
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.out, ::testing::ContainsRegex(
                           "ostrel debug: CryptVerifyMessageSignature failed: 0x8009[0-9A-F]+ "
                           "[^\n]*; openssl: [^\n]+ at [^\n]+:[0-9]+[^\n]*\n"));

    r = run("OSTREL_DEBUG=1", "cut.hex");
    EXPECT_EQ(r.status, 1);
    // A cut message is told by the platform's own reader, with its cause.
    EXPECT_THAT(r.out, ::testing::ContainsRegex(
                           "ostrel debug: CryptVerifyMessageSignature failed: 0x80093102 "
                           "[^\n]*; message: [^\n]+\n"));

    for (const char* env : {"OSTREL_DEBUG=", "OSTREL_DEBUG=0", "OSTREL_DEBUG=yes"}) {
        SCOPED_TRACE(env);
        EXPECT_EQ(run(env, "changed.hex").out, "");
    }
}

}  // namespace
}  // namespace ostrel::test
