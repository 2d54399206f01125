#include <gtest/gtest.h>

#include "tests/support/TestSupport.h"

namespace {

using namespace ostrel::test;

std::string Ostrel() {
    return std::string(std::getenv("OSTREL_BIN")) + "/ostrel";
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

}  // namespace
