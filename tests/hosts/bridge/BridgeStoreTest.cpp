// A long-lived host signs with the store as it is at each call: a home moved
// away and replaced, or a certificate added while the host runs, is seen by
// the next call, exactly as a new process would see it.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>

#include "hosts/bridge/Caller.h"
#include "hosts/bridge/Consent.h"
#include "hosts/bridge/Extension.h"
#include "tests/platform/ui/UiTestSupport.h"
#include "tests/support/TestSupport.h"

namespace ostrel::test {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

constexpr const char* kExtension = "abcdefghijklmnopabcdefghijklmnop";
constexpr const char* kOrigin = "https://bank.example";

// The serial number (hex, most significant first) of the certificate that
// a base64 signature text carries.
std::string SignerSerial(const std::string& text) {
    const auto der = DecodeBase64Text(text);
    const unsigned char* p = der.data();
    std::unique_ptr<PKCS7, decltype(&PKCS7_free)> message(d2i_PKCS7(nullptr, &p, long(der.size())),
                                                          &PKCS7_free);
    if (!message || !PKCS7_type_is_signed(message.get()) || sk_X509_num(message->d.sign->cert) < 1)
        return "?";
    const ASN1_INTEGER* serial = X509_get0_serialNumber(sk_X509_value(message->d.sign->cert, 0));
    std::string hex;
    for (int i = 0; i < serial->length; ++i) {
        char b[3];
        std::snprintf(b, sizeof b, "%02X", serial->data[i]);
        hex += b;
    }
    return hex;
}

// A home a site may sign from without asking, as the bridge reads it.
void MakeHome(const fs::path& home, std::initializer_list<const char*> serials) {
    ScopedEnv env;
    env.Set("OSTREL_HOME", home.string());
    for (const char* serial : serials) AddToStore(MakeCert({.serialHex = serial}));
    const auto extensions = home / bridge::kExtensionsFile;
    WriteFile(extensions, json({{"chromium", {kExtension}}}).dump());
    ::chmod(extensions.c_str(), 0600);
    bridge::ConsentStore(home).Set(kOrigin, bridge::Grant{.always = true, .withoutPrompt = true},
                                   false);
}

class Host {
public:
    explicit Host(const fs::path& home) {
        std::signal(SIGPIPE, SIG_IGN);
        const std::string bridge = std::string(std::getenv("OSTREL_BIN")) + "/ostrel-bridge";
        const std::string caller = "chrome-extension://" + std::string(kExtension) + "/";
        int in[2], out[2];
        if (::pipe(in) != 0 || ::pipe(out) != 0) return;
        m_pid = ::fork();
        if (m_pid == 0) {
            ::setenv("OSTREL_HOME", home.c_str(), 1);
            ::dup2(in[0], 0);
            ::dup2(out[1], 1);
            for (int fd : {in[0], in[1], out[0], out[1]}) ::close(fd);
            ::execl(bridge.c_str(), bridge.c_str(), caller.c_str(), nullptr);
            ::_exit(127);
        }
        ::close(in[0]);
        ::close(out[1]);
        m_in = in[1];
        m_out = out[0];
        Ask({{"v", 1}, {"id", 0}, {"method", "hello"}});
    }
    ~Host() {
        ::close(m_in);
        ::close(m_out);
        int status = 0;
        if (m_pid > 0) ::waitpid(m_pid, &status, 0);
    }
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    json Ask(const json& request) {
        const std::string body = request.dump();
        const std::uint32_t n = std::uint32_t(body.size());
        std::string frame(4, '\0');
        std::memcpy(frame.data(), &n, 4);
        frame += body;
        if (::write(m_in, frame.data(), frame.size()) != ssize_t(frame.size())) return {};
        std::uint32_t size = 0;
        if (!ReadExactly(&size, 4)) return {};
        std::string reply(size, '\0');
        if (!ReadExactly(reply.data(), size)) return {};
        return json::parse(reply, nullptr, false);
    }
    // The serial of the certificate at `index` that signed, "none" for the
    // empty result of a failure the control showed, or the error reply.
    std::string SignWith(long index) {
        const json reply = Ask({{"v", 1},
                                {"id", ++m_id},
                                {"origin", kOrigin},
                                {"method", "SignMessageNoPrompt"},
                                {"args", {"Pay 100", index}}});
        if (!reply.contains("result") || !reply["result"].is_string()) return reply.dump();
        if (reply["result"].get_ref<const std::string&>().empty()) return "none";
        return SignerSerial(reply["result"].get<std::string>());
    }

private:
    bool ReadExactly(void* into, std::size_t size) {
        auto* at = static_cast<char*>(into);
        while (size > 0) {
            const ssize_t n = ::read(m_out, at, size);
            if (n <= 0) return false;
            at += n;
            size -= std::size_t(n);
        }
        return true;
    }
    pid_t m_pid = -1;
    int m_in = -1, m_out = -1;
    int m_id = 0;
};

TEST(BridgeStore, AHostSignsFromTheHomeAsItIsNowNotAsItWasWhenItStarted) {
    TempHome scratch;
    const fs::path home = scratch.Path() / "home";
    MakeHome(home, {"0A"});
    MakeHome(scratch.Path() / "home.new", {"0B"});
    Host host(home);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(host.SignWith(0), "0A");

    // The user moves the home away and another into its place.
    fs::rename(home, scratch.Path() / "home.old");
    fs::rename(scratch.Path() / "home.new", home);
    EXPECT_EQ(host.SignWith(0), "0B");
    EXPECT_EQ(host.SignWith(0), "0B");
    // A certificate added afterwards, by another process.
    ASSERT_EQ(RunCommand("OSTREL_HOME='" + home.string() + "' '" + std::getenv("OSTREL_BIN") +
                         "/ostrel' store new-test-cert --subject /CN=Late --serial 0C >/dev/null")
                  .status,
              0);
    EXPECT_EQ(host.SignWith(1), "0C");

    // The personal store's folder swapped with another by renames.
    MakeHome(scratch.Path() / "other", {"0D"});
    const fs::path mine = home / "stores";
    fs::rename(mine, scratch.Path() / "stores.tmp");
    fs::rename(scratch.Path() / "other" / "stores", mine);
    EXPECT_EQ(host.SignWith(0), "0D");
    EXPECT_EQ(host.SignWith(1), "none");
}

TEST(BridgeStore, AHostReachingItsHomeThroughALinkFollowsTheLink) {
    TempHome scratch;
    MakeHome(scratch.Path() / "a", {"0A"});
    MakeHome(scratch.Path() / "b", {"0B"});
    const fs::path link = scratch.Path() / "home";
    fs::create_directory_symlink(scratch.Path() / "a", link);
    Host host(link);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(host.SignWith(0), "0A");
    fs::create_directory_symlink(scratch.Path() / "b", scratch.Path() / "home.tmp");
    fs::rename(scratch.Path() / "home.tmp", link);
    EXPECT_EQ(host.SignWith(0), "0B");

    // An entry written over in place is seen at once.
    const auto names = [&] {
        std::vector<std::string> out;
        for (const auto& e : fs::directory_iterator(link / "stores" / "MY"))
            if (e.path().extension() == ".pem") out.push_back(e.path().filename());
        return out;
    }();
    ASSERT_EQ(names.size(), 1u);
    const auto changed = MakeCert({.serialHex = "1B"});
    WriteFile(link / "stores" / "MY" / names[0], changed.CertPem() + changed.KeyPem());
    EXPECT_EQ(host.SignWith(0), "1B");
}

}  // namespace
}  // namespace ostrel::test
