#include "tests/support/TestTsa.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <thread>

#include "tests/support/TestSupport.h"

extern char** environ;

namespace ostrel::test {

TestTsa::TestTsa() {
    std::string pattern = (std::filesystem::temp_directory_path() / "ostrel-tsa-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    m_folder = pattern;
    const std::string keys = (m_folder / "keys").string();
    const std::string urlFile = (m_folder / "url").string();
    const std::string silent = std::to_string(kSilentSeconds);
    std::vector<std::string> args = {"python3", OSTREL_TSA_SERVER,  "--dir", keys, "--url-file",
                                     urlFile,   "--silent-seconds", silent};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    // It tells its URL through the file; its standard output stays out of
    // the test's.
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int spawned = ::posix_spawnp(&pid, "python3", &actions, nullptr, argv.data(), environ);
    ::posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        throw std::runtime_error("the test time-stamping authority could not be started");
    m_pid = pid;
    // The keys live beside the server's own files.
    m_folder = keys;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    std::error_code ec;
    while (!std::filesystem::exists(urlFile, ec)) {
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid) {
            m_pid = -1;
            throw std::runtime_error("the test time-stamping authority ended at its start");
        }
        if (std::chrono::steady_clock::now() > deadline)
            throw std::runtime_error("the test time-stamping authority did not start");
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    m_base = ReadFile(urlFile);
    // The authority is reached directly even where the environment names a
    // proxy for everything else.
    for (const char* name : {"no_proxy", "NO_PROXY"}) {
        const char* now = std::getenv(name);
        const std::string list = now != nullptr && *now != '\0' ? std::string(now) + "," : "";
        ::setenv(name, (list + "127.0.0.1,localhost").c_str(), 1);
    }
}

TestTsa::~TestTsa() {
    if (m_pid > 0) {
        ::kill(m_pid, SIGTERM);
        int status = 0;
        ::waitpid(m_pid, &status, 0);
    }
    std::error_code ec;
    std::filesystem::remove_all(m_folder.parent_path(), ec);
}

const TestTsa& TestTsa::Shared() {
    static TestTsa tsa;
    return tsa;
}

std::wstring TestTsa::WideUrl(std::string_view mode) const {
    const std::string url = Url(mode);
    return std::wstring(url.begin(), url.end());
}

TestTsa::Query TestTsa::LastQuery() const {
    const auto headers = m_folder.parent_path() / "last.headers";
    const auto body = m_folder.parent_path() / "last.body";
    RunCommand("curl -s --noproxy '*' -D '" + headers.string() + "' -o '" + body.string() + "' '" +
               m_base + "last'");
    Query query;
    const std::string text = ReadFile(headers);
    const std::string name = "X-Query-Content-Type: ";
    if (const auto at = text.find(name); at != std::string::npos)
        query.contentType = text.substr(at + name.size(), text.find('\r', at) - at - name.size());
    const std::string bytes = ReadFile(body);
    query.body.assign(bytes.begin(), bytes.end());
    return query;
}

}  // namespace ostrel::test
