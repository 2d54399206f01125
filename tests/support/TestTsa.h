#pragma once
// A time-stamping authority for tests on 127.0.0.1: tests/support/tsa/
// tsa_server.py (how it answers, and how to start it from elsewhere, is
// written at its top) run as a child of the test process.

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace ostrel::test {

class TestTsa {
public:
    // This process's authority, started on first use: its CA and TSA keys are
    // made then, once, in a temporary folder. It is stopped, and the folder
    // removed, as the process ends. Throws when it cannot be started.
    static const TestTsa& Shared();

    // The URL of one of the authority's modes ("good", "wrong-imprint",
    // "wrong-nonce", "reject", "garbage", "huge", "huge-stream", "silent",
    // "error500").
    std::string Url(std::string_view mode) const { return m_base + std::string(mode); }
    std::wstring WideUrl(std::string_view mode) const;
    const std::string& BaseUrl() const { return m_base; }
    // PEM files: the CA that issued the TSA certificate, and that certificate.
    std::filesystem::path CaCert() const { return m_folder / "ca.pem"; }
    std::filesystem::path TsaCert() const { return m_folder / "tsa.pem"; }
    // The policy its tokens are issued under.
    static constexpr const char* kPolicy = "1.3.6.1.4.1.55555.1.1";
    // How long the "silent" mode holds a request before it lets it go.
    static constexpr int kSilentSeconds = 20;

    struct Query {
        std::string contentType;
        std::vector<unsigned char> body;
    };
    // The last request the authority was sent.
    Query LastQuery() const;

    ~TestTsa();
    TestTsa(const TestTsa&) = delete;
    TestTsa& operator=(const TestTsa&) = delete;

private:
    TestTsa();
    std::filesystem::path m_folder;
    std::string m_base;
    int m_pid = -1;
};

}  // namespace ostrel::test
