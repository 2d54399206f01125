// ostrel-bridge: the program a browser starts for the ostrel extension. It
// speaks the browser's framing on standard input and output, serves one
// extension for as long as the browser keeps the pipe open, and calls the
// control by name as any other host does.

#include <openssl/crypto.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <deque>
#include <iostream>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "hosts/bridge/Caller.h"
#include "hosts/bridge/Consent.h"
#include "hosts/bridge/ConsentDialogs.h"
#include "hosts/bridge/Framing.h"
#include "hosts/bridge/LiveControl.h"
#include "hosts/bridge/Protocol.h"
#include "hosts/bridge/Session.h"
#include "platform/crypt/Store.h"

#ifndef OSTREL_VERSION
#error "OSTREL_VERSION must be defined by the build"
#endif

namespace {

using namespace ostrel::bridge;
using Clock = std::chrono::steady_clock;

constexpr int kExitRefused = 2;
constexpr int kExitBroken = 3;

// Frames waiting for the main thread: a few, so that a flood of requests
// while a dialog is open does not grow without end.
constexpr std::size_t kMaxWaiting = 32;
constexpr std::size_t kMaxWaitingBytes = std::size_t(kMaxMessage);
// How long a call may go on once the browser has gone away: long enough to
// finish any computation, far shorter than a person's answer.
constexpr auto kGrace = std::chrono::seconds(3);
constexpr auto kPoll = std::chrono::milliseconds(50);

// Whether the other end of a pipe is closed: the browser closed our input
// (whatever is still in the pipe aside), or stopped reading our replies.
bool Closed(int fd) {
    pollfd p{fd, 0, 0};
    return ::poll(&p, 1, 0) == 1 && (p.revents & (POLLERR | POLLHUP)) != 0;
}

// The frames of standard input, read on a thread of their own while the main
// thread answers them. The reader also sees the browser go away in the middle
// of a call: a call that is waiting for a person (a question, the chooser, a
// box) would wait for ever, so the process ends at once when the browser
// stopped reading, else when the call has not ended within kGrace.
class Inbox {
public:
    Inbox(int in, int out) : m_in(in), m_out(out) {}

    void Read() {
        FdSource source(m_in);
        for (;;) {
            Frame frame;
            try {
                frame = ReadFrame(source);
            } catch (const std::system_error& e) {
                std::lock_guard lock(m_mutex);
                m_failure = e.what();
            }
            std::unique_lock lock(m_mutex);
            if (frame.kind == Frame::Kind::End) break;
            bool gone = false;
            while (!gone && (m_waiting.size() >= kMaxWaiting || m_bytes >= kMaxWaitingBytes)) {
                m_changed.wait_for(lock, kPoll);
                gone = Closed(m_in);
            }
            if (gone) break;
            m_bytes += frame.body.size();
            m_waiting.push_back(std::move(frame));
            m_changed.notify_all();
        }
        std::unique_lock lock(m_mutex);
        m_ended = true;
        m_changed.notify_all();
        Watch(lock);
    }

    // The next frame to answer, or nothing once the input has ended.
    std::optional<Frame> Next() {
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, [&] { return !m_waiting.empty() || m_ended; });
        if (m_waiting.empty()) return std::nullopt;
        Frame frame = std::move(m_waiting.front());
        m_waiting.pop_front();
        m_bytes -= frame.body.size();
        m_busy = true;
        m_callStarted = Clock::now();
        m_changed.notify_all();
        return frame;
    }

    // The frame from Next has been answered.
    void Answered() {
        std::lock_guard lock(m_mutex);
        m_busy = false;
        m_changed.notify_all();
    }

    std::string Failure() const {
        std::lock_guard lock(m_mutex);
        return m_failure;
    }

private:
    // After the end of the input: until the main thread has answered what
    // was left, ends the process when a call outlasts the browser.
    void Watch(std::unique_lock<std::mutex>& lock) {
        const Clock::time_point ended = Clock::now();
        while (m_busy || !m_waiting.empty()) {
            if (m_busy && (Closed(m_out) || Clock::now() - std::max(ended, m_callStarted) > kGrace))
                Abandon();
            m_changed.wait_for(lock, kPoll);
        }
    }

    [[noreturn]] static void Abandon() {
        // Never in the middle of replacing the grants file: that is quick,
        // and its temporary file would stay behind.
        ConsentWriteMutex().lock();
        ::_exit(0);
    }

    int m_in;
    int m_out;
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<Frame> m_waiting;
    std::size_t m_bytes = 0;
    bool m_ended = false;
    bool m_busy = false;
    Clock::time_point m_callStarted;
    std::string m_failure;
};

int Serve(ByteSink& out) {
    // Kept to the end of the process, never destroyed: the reader may still
    // be blocked on the input when a failed write ends it. A static pointer
    // keeps it reachable, as the leak checker wants.
    static Inbox* const inbox = new Inbox(0, 1);
    std::thread reader([] { inbox->Read(); });
    reader.detach();

    LiveControl control;
    ConsentStore consent(platform::crypt::OstrelHome());
    DialogUser user;
    Session session(control, OSTREL_VERSION, consent, user);
    while (std::optional<Frame> frame = inbox->Next()) {
        std::string reply;
        switch (frame->kind) {
            case Frame::Kind::End:  // never queued
            case Frame::Kind::Empty:
                reply = SerializeForBrowser(session.Empty());
                break;
            case Frame::Kind::TooLarge:
                reply = SerializeForBrowser(session.TooLarge(frame->size));
                break;
            case Frame::Kind::Message:
                reply = SerializeForBrowser(session.Handle(std::move(frame->body)));
                break;
        }
        WriteFrame(out, reply);
        inbox->Answered();
    }
    if (const std::string failure = inbox->Failure(); !failure.empty()) {
        std::cerr << "ostrel-bridge: " << failure << "\n";
        return kExitBroken;
    }
    return 0;
}

// The id of the browser's first request, read within a few seconds, so that
// a refusal answers it: a browser may drop what a host writes when the host
// ends before reading anything. Null when none came or it had no id.
nlohmann::json FirstRequestId() {
    pollfd ready{0, POLLIN, 0};
    if (::poll(&ready, 1, 5000) != 1 || (ready.revents & POLLIN) == 0) return nullptr;
    FdSource in(0);
    Frame frame = ReadFrame(in);
    if (frame.kind != Frame::Kind::Message) return nullptr;
    return ParseRequest(frame.body).id;
}

// A person who runs the host by hand, rather than a browser, asks what it is.
std::optional<int> AnswerPerson(const std::vector<std::string>& args) {
    if (args.size() != 1) return std::nullopt;
    if (args[0] == "--version") {
        std::cout << "ostrel-bridge " << OSTREL_VERSION << "\n";
        return 0;
    }
    if (args[0] == "--help" || args[0] == "-h") {
        std::cout
            << "ostrel-bridge: the native messaging host of the ostrel browser extension\n"
               "Usage: ostrel-bridge chrome-extension://ID/     (as Chromium starts it)\n"
               "       ostrel-bridge MANIFEST ADD-ON-ID          (as Firefox starts it)\n"
               "\n"
               "Browsers start it for the ostrel extension and speak to it on standard input\n"
               "and output; it is not run by hand. `ostrel bridge install` tells the browsers\n"
               "where it is, `ostrel bridge status` checks it.\n"
               "\n"
               "Options:\n"
               "  -h,--help                   Print this help message and exit\n"
               "  --version                   Print the version and exit\n";
        return 0;
    }
    return std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
#if !defined(__SANITIZE_ADDRESS__)
    OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr);
#endif
    // A browser that went away shows as a failed write, not a signal.
    std::signal(SIGPIPE, SIG_IGN);
    FdSink out(1);
    try {
        const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
        if (const std::optional<int> answered = AnswerPerson(args)) return *answered;
        CallerCheck check;
        try {
            check = CheckCaller(args, platform::crypt::OstrelHome());
        } catch (const std::exception& e) {
            const std::string advice = "; run `ostrel bridge install` to allow the extension";
            check.message = "cannot find the ostrel home" + advice;
            check.detail = std::string("cannot find the ostrel home: ") + e.what() + advice;
        }
        if (!check.allowed) {
            std::cerr << "ostrel-bridge: " << check.detail << "\n";
            WriteFrame(out, Serialize(ErrorReply(FirstRequestId(),
                                                 {ErrorCode::Origin, check.message, {}})));
            return kExitRefused;
        }
        return Serve(out);
    } catch (const std::system_error& e) {
        std::cerr << "ostrel-bridge: " << e.what() << "\n";
        return kExitBroken;
    } catch (const std::exception& e) {
        std::cerr << "ostrel-bridge: " << e.what() << "\n";
        return kExitBroken;
    }
}
