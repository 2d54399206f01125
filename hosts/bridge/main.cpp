// ostrel-bridge: the program a browser starts for the ostrel extension. It
// speaks the browser's framing on standard input and output, serves one
// extension for as long as the browser keeps the pipe open, and calls the
// control by name as any other host does.

#include <openssl/crypto.h>

#include <csignal>
#include <iostream>
#include <string>
#include <system_error>
#include <vector>

#include "hosts/bridge/Caller.h"
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

constexpr int kExitRefused = 2;
constexpr int kExitBroken = 3;

int Serve(ByteSource& in, ByteSink& out) {
    LiveControl control;
    Session session(control, OSTREL_VERSION);
    for (;;) {
        Frame frame = ReadFrame(in);
        switch (frame.kind) {
            case Frame::Kind::End:
                return 0;
            case Frame::Kind::Empty:
                WriteFrame(out, Serialize(session.Empty()));
                break;
            case Frame::Kind::TooLarge:
                WriteFrame(out, Serialize(session.TooLarge(frame.size)));
                break;
            case Frame::Kind::Message:
                WriteFrame(out, Serialize(session.Handle(frame.body)));
                break;
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
#if !defined(__SANITIZE_ADDRESS__)
    OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr);
#endif
    // A browser that went away shows as a failed write, not a signal.
    std::signal(SIGPIPE, SIG_IGN);
    FdSource in(0);
    FdSink out(1);
    try {
        const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
        CallerCheck check;
        try {
            check = CheckCaller(args, platform::crypt::OstrelHome());
        } catch (const std::exception& e) {
            check.message = std::string("cannot find the ostrel home: ") + e.what() +
                            "; run `ostrel bridge install` to allow the extension";
        }
        if (!check.allowed) {
            std::cerr << "ostrel-bridge: " << check.message << "\n";
            WriteFrame(out, Serialize(ErrorReply(nullptr, {ErrorCode::Origin, check.message, {}})));
            return kExitRefused;
        }
        return Serve(in, out);
    } catch (const std::system_error& e) {
        std::cerr << "ostrel-bridge: " << e.what() << "\n";
        return kExitBroken;
    } catch (const std::exception& e) {
        std::cerr << "ostrel-bridge: " << e.what() << "\n";
        return kExitBroken;
    }
}
