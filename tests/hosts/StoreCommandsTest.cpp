// `ostrel store` as a user runs it: the built program against a private home.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
namespace ossl = platform::crypt::ossl;
using nlohmann::json;
using ostrel::test::CertOptions;
using ostrel::test::MakeCert;
using ostrel::test::TestCert;

std::string Quote(const std::string& text) {
    std::string out = "'";
    for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

std::string Binary() {
    if (const char* dir = std::getenv("OSTREL_BIN"); dir != nullptr && *dir != '\0')
        return std::string(dir) + "/ostrel";
    // Every program of the build lands in one folder.
    return (fs::read_symlink("/proc/self/exe").parent_path() / "ostrel").string();
}

struct Outcome {
    int status;
    std::string out, err;
};

TestCert Cert(const std::string& serialHex, int bits = 2048) {
    CertOptions options;
    options.serialHex = serialHex;
    options.bits = bits;
    return MakeCert(options);
}

std::string Pkcs12(const TestCert& cert, const char* password) {
    ossl::Pkcs12Ptr p12(
        PKCS12_create(password, "test", cert.key.get(), cert.cert.get(), nullptr, 0, 0, 0, 0, 0));
    if (!p12) return {};
    const auto der = ossl::ToDer(p12.get(), i2d_PKCS12);
    return std::string(der.begin(), der.end());
}

class StoreCommands : public ::testing::Test {
protected:
    // `env`: assignments the program runs with, as the shell takes them.
    Outcome Run(const std::vector<std::string>& args, const std::string& env = {}) {
        std::string line = env + Quote(Binary());
        for (const auto& a : args) line += " " + Quote(a);
        const fs::path err = home.Path() / "stderr.txt";
        const auto r = ostrel::test::RunCommand(line + " </dev/null 2>" + Quote(err.string()));
        return {r.status, r.out, ostrel::test::ReadFile(err)};
    }

    json List() {
        const Outcome r = Run({"store", "list", "--json"});
        EXPECT_EQ(r.status, 0) << r.err;
        return json::parse(r.out);
    }

    std::vector<std::string> Serials() {
        std::vector<std::string> out;
        for (const auto& row : List()) out.push_back(row.value("serial", "?"));
        return out;
    }

    std::string Input(const std::string& name, const std::string& bytes) {
        const fs::path path = home.Path() / "in" / name;
        ostrel::test::WriteFile(path, bytes);
        return path.string();
    }

    fs::path Entry(std::size_t position) {
        return home.StoreFolder() / List().at(position)["file"].get<std::string>();
    }

    ostrel::test::TempHome home;
};

TEST_F(StoreCommands, NewTestCertificatesAreListedWithTheirDetails) {
    Outcome r =
        Run({"store", "new-test-cert", "--subject", "/C=US/O=Org/CN=Ann Lee/emailAddress=ann.lee",
             "--not-before", "2024-02-29", "--not-after", "2030-06-30", "--serial", "00A1B2"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "0\n");
    r = Run({"store", "new-test-cert", "--subject", "/CN=Bob\\/Smith", "--issuer-subject",
             "/CN=Root CA", "--no-key", "--bits", "1024"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "1\n");

    const json rows = List();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0]["email"], "ann.lee");
    EXPECT_EQ(rows[0]["notBefore"], "2024-02-29T00:00:00Z");
    EXPECT_EQ(rows[0]["notAfter"], "2030-06-30T23:59:59Z");
    // As encoded: the sign octet a leading A1 needs is shown.
    EXPECT_EQ(rows[0]["serial"], "00A1B2");
    EXPECT_EQ(rows[0]["hasKey"], true);
    EXPECT_NE(rows[0]["subject"].get<std::string>().find("CN=Ann Lee"), std::string::npos);
    EXPECT_EQ(rows[0]["issuer"], rows[0]["subject"]);
    EXPECT_EQ(rows[1]["hasKey"], false);
    EXPECT_EQ(rows[1]["email"], "");
    EXPECT_NE(rows[1]["subject"].get<std::string>().find("Bob/Smith"), std::string::npos);
    EXPECT_NE(rows[1]["issuer"].get<std::string>().find("Root CA"), std::string::npos);
    EXPECT_EQ(rows[1]["serial"].get<std::string>().size(), 32u);

    // The first signs itself with the key stored beside it; the second was
    // signed by a CA that is gone.
    const std::string first = ostrel::test::ReadFile(Entry(0));
    ossl::BioPtr bio(BIO_new_mem_buf(first.data(), int(first.size())));
    ossl::X509Ptr cert(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
    ossl::PkeyPtr key(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
    ASSERT_TRUE(cert && key);
    EXPECT_EQ(X509_verify(cert.get(), key.get()), 1);
    EXPECT_EQ(EVP_PKEY_get_bits(key.get()), 2048);
    const std::string second = ostrel::test::ReadFile(Entry(1));
    EXPECT_EQ(second.find("PRIVATE KEY"), std::string::npos);
    ossl::BioPtr bio2(BIO_new_mem_buf(second.data(), int(second.size())));
    ossl::X509Ptr issued(PEM_read_bio_X509(bio2.get(), nullptr, nullptr, nullptr));
    ASSERT_TRUE(issued);
    EXPECT_EQ(EVP_PKEY_get_bits(X509_get0_pubkey(issued.get())), 1024);
    EXPECT_NE(X509_verify(issued.get(), X509_get0_pubkey(issued.get())), 1);

    r = Run({"store", "list"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("ann.lee"), std::string::npos);
    EXPECT_NE(r.out.find("2 entries"), std::string::npos);
}

TEST_F(StoreCommands, NewTestCertRefusesBadArgumentsAndAddsNothing) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--subject", "/C=US/XX=1"}, "unknown key \"XX\""},
        {{"--subject", "CN=Ann"}, "expected \"/\""},
        {{"--subject", "/CN"}, "no \"=value\""},
        {{"--subject", "/CN="}, "empty value"},
        {{"--subject", "/C=USA"}, "USA"},
        {{"--subject", "/CN=a\\"}, "lone"},
        {{"--subject", "/CN=a", "--not-before", "2023-02-29"}, "2023-02-29"},
        {{"--subject", "/CN=a", "--not-after", "2024-13-01"}, "month 13"},
        {{"--subject", "/CN=a", "--not-after", "24-01-01"}, "YYYY-MM-DD"},
        {{"--subject", "/CN=a", "--not-before", "2023-0----"}, "YYYY-MM-DD"},
        {{"--subject", "/CN=a", "--not-after", "-024-01-01"}, "YYYY-MM-DD"},
        {{"--subject", "/CN=a", "--not-before", "2024-05-02", "--not-after", "2024-05-01"},
         "before it begins"},
        {{"--subject", "/CN=a", "--not-after", "2020-01-01"}, "give --not-before"},
        {{"--subject", "/CN=a", "--serial", "12G4"}, "12G4"},
        {{"--subject", "/CN=a", "--bits", "512"}, "1024"},
        {{"--issuer-subject", "/CN=a"}, "--subject"},
    };
    for (const auto& [args, said] : cases) {
        std::vector<std::string> line = {"store", "new-test-cert"};
        line.insert(line.end(), args.begin(), args.end());
        const Outcome r = Run(line);
        EXPECT_EQ(r.status, 2) << args.back();
        EXPECT_NE(r.err.find(said), std::string::npos) << r.err;
    }
    EXPECT_TRUE(List().empty());
}

TEST_F(StoreCommands, ImportsPkcs12AndPemFiles) {
    const TestCert a = Cert("0A"), b = Cert("0B"), c = Cert("0C"), d = Cert("0D"), e = Cert("0E"),
                   f = Cert("0F");
    const std::string passFile = Input("pass.txt", "s3cret\r\nsecond line\n");

    Outcome r =
        Run({"store", "import", Input("a.p12", Pkcs12(a, "s3cret")), "--password-file", passFile});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "0\n");
    r = Run({"store", "import", Input("b.p12", Pkcs12(b, ""))});
    ASSERT_EQ(r.status, 0) << r.err;
    r = Run({"store", "import", Input("c.pem", c.CertPem() + c.KeyPem())});
    ASSERT_EQ(r.status, 0) << r.err;
    r = Run({"store", "import", Input("d.pem", d.CertPem())});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("no private key"), std::string::npos);

    // An encrypted PEM key, and a PKCS#12 file with the older ciphers.
    ossl::BioPtr keyBio(BIO_new(BIO_s_mem()));
    PEM_write_bio_PrivateKey(keyBio.get(), e.key.get(), EVP_aes_256_cbc(), nullptr, 0, nullptr,
                             const_cast<char*>("s3cret"));
    char* keyPem = nullptr;
    const long keyLen = BIO_get_mem_data(keyBio.get(), &keyPem);
    const std::string encrypted = Input("e.pem", e.CertPem() + std::string(keyPem, keyLen));
    r = Run({"store", "import", encrypted});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("encrypted"), std::string::npos) << r.err;
    r = Run({"store", "import", encrypted, "--password-file", passFile});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string fPem = Input("f.pem", f.CertPem() + f.KeyPem());
    const std::string legacy = (home.Path() / "in" / "f.p12").string();
    ASSERT_EQ(ostrel::test::RunCommand("openssl pkcs12 -export -legacy -in " + Quote(fPem) +
                                       " -passout pass:s3cret -out " + Quote(legacy))
                  .status,
              0);
    r = Run({"store", "import", legacy, "--password-file", passFile});
    ASSERT_EQ(r.status, 0) << r.err;

    const json rows = List();
    ASSERT_EQ(rows.size(), 6u);
    const std::vector<std::string> serials = {"0A", "0B", "0C", "0D", "0E", "0F"};
    const std::vector<bool> keys = {true, true, true, false, true, true};
    for (std::size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(rows[i]["serial"], serials[i]);
        EXPECT_EQ(rows[i]["hasKey"], keys[i]);
    }
}

TEST_F(StoreCommands, EcKeysAreMadeAndImportedOnEachCurve) {
    const std::vector<std::pair<std::string, int>> curves = {
        {"ec-p256", NID_X9_62_prime256v1}, {"ec-p384", NID_secp384r1}, {"ec-p521", NID_secp521r1}};
    for (const auto& [kind, nid] : curves) {
        const Outcome r =
            Run({"store", "new-test-cert", "--subject", "/CN=" + kind, "--key", kind});
        ASSERT_EQ(r.status, 0) << r.err;
        // The entry holds the key, readable as what it is.
        const std::string text = ostrel::test::ReadFile(Entry(std::stoul(r.out)));
        ossl::BioPtr bio(BIO_new_mem_buf(text.data(), int(text.size())));
        ossl::PkeyPtr key(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
        ASSERT_TRUE(key) << kind;
        char group[64] = {};
        std::size_t length = 0;
        EXPECT_EQ(EVP_PKEY_get_group_name(key.get(), group, sizeof group, &length), 1);
        EXPECT_EQ(OBJ_sn2nid(group), nid) << group;
    }
    // Imported from PEM and from PKCS#12, with no note that they cannot sign.
    const TestCert p384 = MakeCert(
        {.subject = "/CN=P-384 import", .serialHex = "3840", .ec = true, .curve = "P-384"});
    const TestCert p521 = MakeCert(
        {.subject = "/CN=P-521 import", .serialHex = "5210", .ec = true, .curve = "P-521"});
    Outcome r = Run({"store", "import", Input("p384.pem", p384.CertPem() + p384.KeyPem())});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err.find("note"), std::string::npos) << r.err;
    r = Run({"store", "import", Input("p521.p12", Pkcs12(p521, ""))});
    ASSERT_EQ(r.status, 0) << r.err;
    const json rows = List();
    ASSERT_EQ(rows.size(), 5u);
    for (const auto& row : rows) EXPECT_TRUE(row["hasKey"].get<bool>()) << row.dump();

    // An unknown kind, and a size for a key that has none to choose.
    r = Run({"store", "new-test-cert", "--subject", "/CN=x", "--key", "dsa"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("dsa"), std::string::npos) << r.err;
    r = Run({"store", "new-test-cert", "--subject", "/CN=x", "--key", "ec-p256", "--bits", "3072"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("--bits"), std::string::npos) << r.err;
    EXPECT_EQ(List().size(), 5u);
}

TEST_F(StoreCommands, ImportRefusesWrongPasswordsMismatchedKeysDuplicatesAndJunk) {
    const TestCert a = Cert("0A");
    const TestCert otherKey = Cert("01", 1024);
    const std::string locked = Input("a.p12", Pkcs12(a, "right"));
    const std::vector<std::pair<std::vector<std::string>, std::string>> refused = {
        {{locked, "--password-file", Input("wrong.txt", "wrong\n")}, "password"},
        {{locked}, "--password-file"},
        {{Input("mix.pem", a.CertPem() + otherKey.KeyPem())}, "does not belong"},
        {{Input("key.pem", a.KeyPem())}, "no certificate"},
        {{Input("junk.bin", std::string(300, '\x30'))}, "neither"},
        {{Input("empty.pem", "")}, "empty"},
        {{Input("cut.pem", a.CertPem().substr(0, 200))}, "not readable PEM"},
        {{(home.Path() / "missing.pem").string()}, "cannot read"},
    };
    for (const auto& [args, said] : refused) {
        std::vector<std::string> line = {"store", "import"};
        line.insert(line.end(), args.begin(), args.end());
        const Outcome r = Run(line);
        EXPECT_EQ(r.status, 2) << args.front();
        EXPECT_NE(r.err.find(said), std::string::npos) << r.err;
    }

    ASSERT_EQ(Run({"store", "import", Input("a.pem", a.CertPem() + a.KeyPem())}).status, 0);
    const Outcome again =
        Run({"store", "import", locked, "--password-file", Input("right.txt", "right")});
    EXPECT_EQ(again.status, 3);
    EXPECT_NE(again.err.find("already holds this certificate, at position 0"), std::string::npos)
        << again.err;
    EXPECT_EQ(List().size(), 1u);
}

TEST_F(StoreCommands, AsksForThePasswordOnTheTerminalWithoutEchoingIt) {
    if (ostrel::test::RunCommand("command -v script >/dev/null").status != 0)
        GTEST_SKIP() << "no `script` to give the program a terminal";
    const std::string file = Input("a.p12", Pkcs12(Cert("0A"), "typed-secret"));
    // `script` runs the program on a terminal; the password is typed once the
    // prompt is up.
    const auto r = ostrel::test::RunCommand(
        "(sleep 2; printf 'typed-secret\\n') | script -qec " +
        Quote(Quote(Binary()) + " store import " + Quote(file)) + " /dev/null");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("Password for"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("typed-secret"), std::string::npos) << r.out;
    EXPECT_EQ(Serials(), std::vector<std::string>{"0A"});
}

TEST_F(StoreCommands, RemoveTakesOutOnePositionAndKeepsTheOrder) {
    for (const char* serial : {"01", "02", "03"}) ostrel::test::AddToStore(Cert(serial));
    Outcome r = Run({"store", "remove", "1"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Removed position 1"), std::string::npos);
    EXPECT_NE(r.out.find("serial 02"), std::string::npos) << r.out;
    EXPECT_EQ(Serials(), (std::vector<std::string>{"01", "03"}));

    for (const char* bad : {"2", "-1", "x", "1x", ""}) {
        r = Run({"store", "remove", bad});
        EXPECT_EQ(r.status, 2) << bad;
    }
    EXPECT_NE(Run({"store", "remove", "2"}).err.find("holds 2 entries"), std::string::npos);
    EXPECT_EQ(Serials(), (std::vector<std::string>{"01", "03"}));
}

TEST_F(StoreCommands, DamagedEntriesAreListedAtTheirPositionsAndCanBeRemoved) {
    for (const char* serial : {"01", "02", "03", "04", "05"})
        ostrel::test::AddToStore(Cert(serial));
    const fs::path truncated = Entry(1), garbage = Entry(2), emptied = Entry(3);
    const std::string whole = ostrel::test::ReadFile(truncated);
    ostrel::test::WriteFile(truncated, whole.substr(0, whole.size() / 2));
    ostrel::test::WriteFile(garbage, std::string("\x00\xff garbage \x1b[2J", 15));
    fs::resize_file(emptied, 0);

    const json rows = List();
    ASSERT_EQ(rows.size(), 5u);
    EXPECT_EQ(rows[0]["serial"], "01");
    EXPECT_EQ(rows[4]["serial"], "05");
    for (int i : {1, 2, 3}) {
        EXPECT_EQ(rows[i]["errorCode"], "0x80092003") << i;
        EXPECT_NE(rows[i]["error"].get<std::string>().find("damaged"), std::string::npos);
        EXPECT_FALSE(rows[i].contains("serial"));
        EXPECT_TRUE(rows[i].value("damaged", false)) << i;
    }
    EXPECT_FALSE(rows[0].value("damaged", true));
    EXPECT_EQ(rows[2].value("damage", ""), "it holds no readable certificate");
    const Outcome plain = Run({"store", "list"});
    EXPECT_EQ(plain.status, 0);
    EXPECT_NE(plain.out.find("3 of them unreadable"), std::string::npos) << plain.out;
    EXPECT_NE(plain.out.find("ostrel store remove 2"), std::string::npos);

    // Signing by position agrees with the listing: the entries after the
    // damaged ones sign, the damaged positions give nothing.
    const std::string text = Input("text.txt", "text");
    EXPECT_EQ(Run({"sign", "--index", "4", "--in", text}).status, 0);
    const Outcome damaged = Run({"sign", "--index", "2", "--in", text});
    EXPECT_EQ(damaged.status, 1);
    EXPECT_EQ(damaged.out, "");

    ASSERT_EQ(Run({"store", "remove", "2"}).status, 0);
    EXPECT_EQ(List().size(), 4u);
    EXPECT_EQ(Serials().back(), "05");
}

// With OSTREL_DEBUG=1 a failure says why, on one line of standard error:
// signing at a damaged entry's position names what OpenSSL found wrong with
// the entry, while the normal way to the control (no registration, so the
// module beside the program) says nothing at all.
TEST_F(StoreCommands, DebugSaysWhyADamagedEntryCannotSignAndNothingOfTheNormalWay) {
    const TestCert signer = Cert("0A");
    ostrel::test::AddToStore(signer);
    ostrel::test::AddToStore(Cert("0B"));
    const std::string text = Input("text.txt", "text");

    Outcome r = Run({"sign", "--index", "0", "--in", text}, "OSTREL_DEBUG=1 ");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err.find("failed"), std::string::npos) << r.err;

    // The first entry's key belongs to another certificate.
    ostrel::test::WriteFile(Entry(0), signer.CertPem() + Cert("0C", 1024).KeyPem());
    r = Run({"sign", "--index", "0", "--in", text}, "OSTREL_DEBUG=1 ");
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, ::testing::ContainsRegex(
                           "ostrel debug: [A-Za-z]+ failed: 0x80092003 [^\n]*does not belong "
                           "to its certificate[^\n]*; openssl: [^\n]*key values mismatch"));
    EXPECT_EQ(r.err.find("CLSIDFromProgID"), std::string::npos) << r.err;
    // Without it, nothing but the failure itself.
    r = Run({"sign", "--index", "0", "--in", text});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.find("ostrel debug"), std::string::npos) << r.err;
}

TEST_F(StoreCommands, AnEncryptedKeyInAnEntryIsReportedWithoutAPrompt) {
    if (ostrel::test::RunCommand("command -v script >/dev/null").status != 0)
        GTEST_SKIP() << "no `script` to give the program a terminal";
    const TestCert a = Cert("0A");
    ostrel::test::AddToStore(a);
    ostrel::test::AddToStore(Cert("0B"));
    ossl::BioPtr keyBio(BIO_new(BIO_s_mem()));
    PEM_write_bio_PrivateKey(keyBio.get(), a.key.get(), EVP_aes_256_cbc(), nullptr, 0, nullptr,
                             const_cast<char*>("s3cret"));
    char* keyPem = nullptr;
    const long keyLen = BIO_get_mem_data(keyBio.get(), &keyPem);
    ostrel::test::WriteFile(Entry(0), a.CertPem() + std::string(keyPem, keyLen));

    // On a terminal, with the password typed a little later: nothing may ask
    // for it, and nothing may wait.
    const std::string text = Input("text.txt", "text");
    for (const std::string& command :
         {Quote(Binary()) + " store list", Quote(Binary()) + " sign --index 0 --in " + Quote(text),
          Quote(Binary()) + " sign --index 1 --in " + Quote(text)}) {
        const auto r =
            ostrel::test::RunCommand("(sleep 2; printf 's3cret\\n') | timeout 60 script -qec " +
                                     Quote(command) + " /dev/null");
        EXPECT_NE(r.status, 124) << command << " waited";
        EXPECT_EQ(r.out.find("pass phrase"), std::string::npos) << r.out;
    }
    const json rows = List();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_TRUE(rows[0].value("damaged", false));
    EXPECT_NE(rows[0].value("error", "").find("private key is encrypted"), std::string::npos)
        << rows[0];
    EXPECT_EQ(rows[1]["serial"], "0B");
}

TEST_F(StoreCommands, LooseModesAreRefusedWithTheirRemedy) {
    for (const char* serial : {"01", "02"}) ostrel::test::AddToStore(Cert(serial));
    const fs::path entry = Entry(1);
    ASSERT_EQ(::chmod(entry.c_str(), 0644), 0);
    json rows = List();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0]["serial"], "01");
    EXPECT_EQ(rows[1]["errorCode"], "0x00000005");
    EXPECT_NE(rows[1]["error"].get<std::string>().find("mode 0644"), std::string::npos);
    EXPECT_NE(rows[1]["error"].get<std::string>().find("chmod 600"), std::string::npos);

    ASSERT_EQ(::chmod(home.StoreFolder().c_str(), 0755), 0);
    const TestCert c = Cert("03");
    const std::vector<std::vector<std::string>> commands = {
        {"store", "list"},
        {"store", "remove", "0"},
        {"store", "import", Input("c.pem", c.CertPem() + c.KeyPem())},
        {"store", "new-test-cert", "--subject", "/CN=x", "--bits", "1024"},
    };
    for (const auto& command : commands) {
        const Outcome r = Run(command);
        EXPECT_EQ(r.status, 3) << command[1];
        EXPECT_NE(r.err.find("mode 0755"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("chmod 700"), std::string::npos) << r.err;
    }
    ASSERT_EQ(::chmod(home.StoreFolder().c_str(), 0700), 0);
    EXPECT_EQ(List().size(), 2u);
}

TEST_F(StoreCommands, ConcurrentImportsLoseNoEntry) {
    constexpr int kProcesses = 8;
    std::string script;
    std::set<std::string> expected;
    for (int i = 0; i < kProcesses; ++i) {
        const std::string serial = "7" + std::to_string(i);
        expected.insert(serial);
        const TestCert cert = Cert(serial);
        const std::string file =
            Input("c" + std::to_string(i) + ".pem", cert.CertPem() + cert.KeyPem());
        // The store does not exist yet: the processes also race to make it.
        script += "(" + Quote(Binary()) + " store import " + Quote(file) +
                  " 2>/dev/null || echo FAIL) & ";
    }
    const auto r = ostrel::test::RunCommand(script + "wait");
    std::vector<std::string> printed;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) printed.push_back(line);
    std::sort(printed.begin(), printed.end());
    EXPECT_EQ(printed, (std::vector<std::string>{"0", "1", "2", "3", "4", "5", "6", "7"}));

    const auto serials = Serials();
    EXPECT_EQ(std::set<std::string>(serials.begin(), serials.end()), expected);
    EXPECT_EQ(serials.size(), std::size_t(kProcesses));
}

}  // namespace
