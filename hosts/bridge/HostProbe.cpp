#include "hosts/bridge/HostProbe.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <optional>
#include <thread>

#include <nlohmann/json.hpp>

namespace ostrel::bridge {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kMaxReply = std::size_t(1) << 20;
constexpr std::size_t kMaxErrorText = 2048;

class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : m_fd(fd) {}
    ~Fd() { Close(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int Get() const { return m_fd; }
    void Close() {
        if (m_fd >= 0) ::close(m_fd);
        m_fd = -1;
    }

private:
    int m_fd = -1;
};

// SIGPIPE ignored while the host is written to: a host that ended early is a
// failed write, not the end of this program.
class NoSigpipe {
public:
    NoSigpipe() {
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        ::sigaction(SIGPIPE, &ignore, &m_old);
    }
    ~NoSigpipe() { ::sigaction(SIGPIPE, &m_old, nullptr); }

private:
    struct sigaction m_old {};
};

int RemainingMs(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() < 0 ? 0 : int(left.count());
}

std::string Trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
        text.pop_back();
    return text;
}

// Waits for the child until the deadline, then kills it. Returns the wait
// status, or nothing when it had to be killed.
std::optional<int> Reap(pid_t pid, Clock::time_point deadline) {
    int status = 0;
    for (;;) {
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) return status;
        if (done < 0 && errno != EINTR) return std::nullopt;
        if (Clock::now() >= deadline) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(pid, SIGKILL);
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return std::nullopt;
}

}  // namespace

ProbeResult ProbeHost(const std::filesystem::path& program, const std::vector<std::string>& args,
                      std::chrono::milliseconds timeout) {
    ProbeResult result;
    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) != 0) {
        result.problem = std::string("cannot make a pipe: ") + std::strerror(errno);
        return result;
    }
    Fd inRead(in[0]), inWrite(in[1]);
    if (::pipe2(out, O_CLOEXEC) != 0) {
        result.problem = std::string("cannot make a pipe: ") + std::strerror(errno);
        return result;
    }
    Fd outRead(out[0]), outWrite(out[1]);
    if (::pipe2(err, O_CLOEXEC) != 0) {
        result.problem = std::string("cannot make a pipe: ") + std::strerror(errno);
        return result;
    }
    Fd errRead(err[0]), errWrite(err[1]);

    std::vector<std::string> argvText{program.string()};
    argvText.insert(argvText.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argvText) argv.push_back(a.data());
    argv.push_back(nullptr);

    NoSigpipe noSigpipe;
    const pid_t pid = ::fork();
    if (pid < 0) {
        result.problem = std::string("cannot start it: ") + std::strerror(errno);
        return result;
    }
    if (pid == 0) {
        // Only async-signal-safe calls from here on.
        ::dup2(in[0], 0);
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        ::signal(SIGPIPE, SIG_DFL);
        ::execv(argv[0], argv.data());
        const char message[] = "cannot run the program\n";
        [[maybe_unused]] const auto n = ::write(2, message, sizeof message - 1);
        ::_exit(127);
    }
    inRead.Close();
    outWrite.Close();
    errWrite.Close();
    const auto deadline = Clock::now() + timeout;

    const std::string body = R"({"v":1,"id":1,"method":"hello","args":[]})";
    std::string frame(4, '\0');
    const std::uint32_t size = std::uint32_t(body.size());
    std::memcpy(frame.data(), &size, 4);  // the machine's own byte order
    frame += body;
    // Far less than a pipe holds, so this does not block.
    bool wrote = true;
    for (std::size_t at = 0; at < frame.size();) {
        const ssize_t n = ::write(inWrite.Get(), frame.data() + at, frame.size() - at);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            wrote = false;
            break;
        }
        at += std::size_t(n);
    }

    std::string reply, errors;
    bool outOpen = true, errOpen = true, complete = false, timedOut = false;
    std::uint32_t length = 0;
    while ((outOpen || errOpen) && !complete) {
        pollfd fds[2] = {{outOpen ? outRead.Get() : -1, POLLIN, 0},
                         {errOpen ? errRead.Get() : -1, POLLIN, 0}};
        const int ready = ::poll(fds, 2, RemainingMs(deadline));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) {
            timedOut = ready == 0;
            break;
        }
        char buf[4096];
        if (fds[0].revents != 0) {
            const ssize_t n = ::read(outRead.Get(), buf, sizeof buf);
            if (n > 0) reply.append(buf, std::size_t(n));
            if (n == 0 || (n < 0 && errno != EINTR)) outOpen = false;
            if (reply.size() >= 4) {
                std::memcpy(&length, reply.data(), 4);
                if (length > kMaxReply || reply.size() - 4 >= length) complete = true;
            }
        }
        if (fds[1].revents != 0) {
            const ssize_t n = ::read(errRead.Get(), buf, sizeof buf);
            if (n > 0 && errors.size() < kMaxErrorText)
                errors.append(buf, std::min(std::size_t(n), kMaxErrorText - errors.size()));
            if (n == 0 || (n < 0 && errno != EINTR)) errOpen = false;
        }
    }
    // The browser closes the pipe when it is done with the host; so does
    // this check, and gives the host a moment to end by itself.
    inWrite.Close();
    const auto status = Reap(pid, Clock::now() + std::chrono::seconds(1));
    errors = Trimmed(errors);
    const std::string said = errors.empty() ? "" : " (it said: " + errors + ")";

    if (!complete) {
        if (timedOut)
            result.problem = "it did not answer within " + std::to_string(timeout.count()) + " ms";
        else if (status && WIFEXITED(*status))
            result.problem = "it ended with exit code " + std::to_string(WEXITSTATUS(*status)) +
                             " without answering" + said;
        else if (status && WIFSIGNALED(*status))
            result.problem = "it was ended by signal " + std::to_string(WTERMSIG(*status)) +
                             " without answering" + said;
        else
            result.problem = std::string("it did not answer") + (wrote ? "" : " or read") + said;
        return result;
    }
    if (length > kMaxReply) {
        result.problem = "it answered with a frame of " + std::to_string(length) + " bytes";
        return result;
    }
    const nlohmann::json answer = nlohmann::json::parse(reply.substr(4, length), nullptr, false);
    if (!answer.is_object()) {
        result.problem = "its answer is not a JSON object";
        return result;
    }
    if (const auto error = answer.find("error"); error != answer.end() && error->is_object()) {
        const std::string code = error->value("code", std::string("?"));
        const std::string message = error->value("message", std::string());
        result.problem = "it refused the greeting with " + code + ": " + message;
        return result;
    }
    const auto body_result = answer.find("result");
    if (answer.value("id", nlohmann::json()) != 1 || body_result == answer.end() ||
        !body_result->is_object() || !body_result->contains("host") ||
        !body_result->at("host").is_string() || !body_result->contains("protocol") ||
        !body_result->at("protocol").is_number_integer()) {
        result.problem = "its answer is not a greeting: " +
                         answer.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
        return result;
    }
    result.answered = true;
    result.hostVersion = body_result->at("host").get<std::string>();
    result.protocol = body_result->at("protocol").get<int>();
    return result;
}

}  // namespace ostrel::bridge
