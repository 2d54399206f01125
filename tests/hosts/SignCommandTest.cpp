#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <fstream>

#include "tests/support/TestSupport.h"

extern char** environ;

namespace {

using namespace ostrel::test;

std::string Ostrel() {
    return std::string(std::getenv("OSTREL_BIN")) + "/ostrel";
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif

// Runs a shell command line and measures the largest resident size any of its
// processes reached, in bytes.
struct Measured {
    int status = -1;
    long long peakBytes = 0;
};
Measured RunMeasured(const std::string& commandLine) {
    const char* argv[] = {"/bin/sh", "-c", commandLine.c_str(), nullptr};
    pid_t pid = 0;
    Measured m;
    if (posix_spawn(&pid, "/bin/sh", nullptr, nullptr, const_cast<char**>(argv), environ) != 0)
        return m;
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid) return m;
    m.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    m.peakBytes = static_cast<long long>(usage.ru_maxrss) * 1024;
    return m;
}

// Lines of plain text, `bytes` long in all.
void WriteAsciiText(const std::filesystem::path& path, std::size_t bytes) {
    const std::string line = "The quick brown fox jumps over the lazy dog 0123456789.\n";
    std::ofstream out(path, std::ios::binary);
    for (std::size_t done = 0; done < bytes; done += line.size())
        out.write(line.data(), static_cast<std::streamsize>(std::min(line.size(), bytes - done)));
}

bool Verifies(const std::filesystem::path& signature, const std::filesystem::path& content,
              const std::filesystem::path& work) {
    const auto der = DecodeBase64Text(ReadFile(signature));
    if (der.empty()) return false;
    WriteFile(work / "sig.der", std::string(der.begin(), der.end()));
    return RunCommand("openssl cms -verify -binary -noverify -inform DER -in '" +
                      (work / "sig.der").string() + "' -content '" + content.string() +
                      "' -out /dev/null 2>/dev/null")
               .status == 0;
}

class SignCommand : public ::testing::Test {
protected:
    void SetUp() override {
        AddToStore(MakeCert());
        m_in = m_home.Path() / "in.txt";
        m_out = m_home.Path() / "out.txt";
    }
    CommandResult Run(const std::string& args) {
        return RunCommand(Ostrel() + " " + args + " 2>" + (m_home.Path() / "err").string());
    }
    std::string Err() { return ReadFile(m_home.Path() / "err"); }

    TempHome m_home;
    std::filesystem::path m_in, m_out;
};

TEST_F(SignCommand, SignsTheExactBytesAndWritesTheTextExactly) {
    WriteFile(m_in, "line one\nline two\n");  // the trailing line break is signed too
    const auto r =
        Run("sign --index 0 --in '" + m_in.string() + "' --out '" + m_out.string() + "'");
    ASSERT_EQ(r.status, 0) << Err();
    const std::string text = ReadFile(m_out);
    EXPECT_EQ(text.substr(4, 2), "\r\n");
    const auto der = DecodeBase64Text(text);
    ASSERT_FALSE(der.empty());
    WriteFile(m_home.Path() / "sig.der", std::string(der.begin(), der.end()));
    EXPECT_EQ(RunCommand("openssl cms -verify -binary -noverify -inform DER -in '" +
                         (m_home.Path() / "sig.der").string() + "' -content '" + m_in.string() +
                         "' -out /dev/null 2>/dev/null")
                  .status,
              0);
    // Standard input and output work alike.
    const auto piped = RunCommand("printf 'abc' | " + Ostrel() + " sign --index 0");
    EXPECT_EQ(piped.status, 0);
    EXPECT_FALSE(piped.out.empty());
    EXPECT_FALSE(piped.out.ends_with("\n") && !piped.out.ends_with("\r\n"));
}

TEST_F(SignCommand, AnEmptyResultExitsWithOneAndWritesNothing) {
    WriteFile(m_in, "text");
    const auto r =
        Run("sign --index 5 --in '" + m_in.string() + "' --out '" + m_out.string() + "'");
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(std::filesystem::exists(m_out));
}

TEST_F(SignCommand, InputThatIsNotTextIsRefusedRatherThanSignedShortened) {
    WriteFile(m_in, std::string("abc\0def", 7));
    auto r = Run("sign --index 0 --in '" + m_in.string() + "'");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(Err().find("NUL byte at offset 3"), std::string::npos) << Err();
    WriteFile(m_in, "caf\xE9");
    r = Run("sign --index 0 --in '" + m_in.string() + "'");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(Err().find("UTF-8"), std::string::npos) << Err();
    r = Run("sign --index 0 --in '" + (m_home.Path() / "missing").string() + "'");
    EXPECT_EQ(r.status, 2);
    r = Run("sign --index zero");
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(r.out.empty());
}

TEST_F(SignCommand, ALargeTextIsSignedInLittleMoreThanThreeTimesItsSize) {
    if (kAddressSanitizer) GTEST_SKIP() << "the address sanitizer keeps freed memory resident";
    // The string the control is called with holds the text in UTF-16 (twice
    // its size) and the control signs its 8-bit form (once more): nothing else
    // may grow with the text, whether it comes from a file or a pipe.
    const std::size_t size = 64u << 20;
    WriteAsciiText(m_in, size);
    const long long bound = 3LL * size + (32LL << 20);
    for (const std::string& command :
         {Ostrel() + " sign --index 0 --in '" + m_in.string() + "' --out '" + m_out.string() + "'",
          "cat '" + m_in.string() + "' | " + Ostrel() + " sign --index 0 --out '" + m_out.string() +
              "'"}) {
        SCOPED_TRACE(command);
        std::filesystem::remove(m_out);
        const Measured m = RunMeasured(command);
        ASSERT_EQ(m.status, 0);
        EXPECT_LT(m.peakBytes, bound)
            << "peak " << (m.peakBytes >> 20) << " MiB for a text of " << (size >> 20) << " MiB";
        EXPECT_TRUE(Verifies(m_out, m_in, m_home.Path()));
    }
}

TEST_F(SignCommand, TextReadInPiecesIsSignedExactlyAndRefusedWhereverItGoesWrong) {
    // Characters of two, three and four bytes, so that some of them straddle
    // every boundary between the pieces the input is read in.
    std::string text;
    while (text.size() < 700 * 1024) text += "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80 ";
    WriteFile(m_in, text);
    auto r = Run("sign --index 0 --in '" + m_in.string() + "' --out '" + m_out.string() + "'");
    ASSERT_EQ(r.status, 0) << Err();
    EXPECT_TRUE(Verifies(m_out, m_in, m_home.Path()));
    std::filesystem::remove(m_out);
    r = Run("sign --index 0 --out '" + m_out.string() + "' < '" + m_in.string() + "'");
    ASSERT_EQ(r.status, 0) << Err();
    EXPECT_TRUE(Verifies(m_out, m_in, m_home.Path()));
    r = RunCommand("cat '" + m_in.string() + "' | " + Ostrel() + " sign --index 0 >'" +
                   m_out.string() + "'");
    ASSERT_EQ(r.status, 0);
    EXPECT_TRUE(Verifies(m_out, m_in, m_home.Path()));

    // A NUL far into the text is found where it is; a malformed byte anywhere
    // refuses the text, and a NUL after it is still the one reported.
    std::string withNul = text;
    withNul[600001] = '\0';
    WriteFile(m_in, withNul);
    r = Run("sign --index 0 --in '" + m_in.string() + "'");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(Err().find("NUL byte at offset 600001;"), std::string::npos) << Err();
    std::string bad = withNul;
    bad[10] = '\xFF';
    WriteFile(m_in, bad);
    r = Run("sign --index 0 --in '" + m_in.string() + "'");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(Err().find("NUL byte at offset 600001;"), std::string::npos) << Err();
    WriteFile(m_in, text + "\xE2\x82");  // cut short at the very end
    r = Run("sign --index 0 --in '" + m_in.string() + "'");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(Err().find("not valid UTF-8"), std::string::npos) << Err();
    EXPECT_TRUE(r.out.empty());
}

TEST_F(SignCommand, SigningWithAFileEntryLoadsNoTokenLibrary) {
    // Tokens are looked at only past the store's file entries: a signature
    // with the first entry leaves p11-kit unloaded, as the cheapest process
    // that signs has to, whatever modules the system registers.
    WriteFile(m_in, "text");
    const auto r = RunCommand("env -u OSTREL_PKCS11_MODULES LD_DEBUG=files " + Ostrel() +
                              " sign --index 0 --in '" + m_in.string() + "' 2>&1 >/dev/null");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("OSTREL.OCX"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("p11-kit"), std::string::npos) << r.out;
}

TEST_F(SignCommand, AConfigurationNamedInOpensslConfIsReadAndNoOtherIs) {
    // The program reads no system-wide OpenSSL configuration, but one the
    // user names is theirs to have: here one that allows only FIPS
    // implementations, which leaves no MD5 to sign with.
    WriteFile(m_in, "text");
    const auto conf = m_home.Path() / "fips-only.cnf";
    WriteFile(conf,
              "openssl_conf = init\n[init]\nalg_section = algorithms\n"
              "[algorithms]\ndefault_properties = fips=yes\n");
    const std::string sign = Ostrel() + " sign --index 0 --in '" + m_in.string() + "'";
    auto r = RunCommand("OPENSSL_CONF='" + conf.string() + "' " + sign + " 2>/dev/null");
    EXPECT_NE(r.status, 0);
    EXPECT_TRUE(r.out.empty());
    r = RunCommand("OPENSSL_CONF= " + sign + " 2>/dev/null");
    ASSERT_EQ(r.status, 0);
    EXPECT_FALSE(r.out.empty());
}

}  // namespace
