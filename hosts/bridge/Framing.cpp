#include "hosts/bridge/Framing.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

namespace ostrel::bridge {

std::size_t FdSource::Read(char* into, std::size_t room) {
    for (;;) {
        const ssize_t n = ::read(m_fd, into, room);
        if (n >= 0) return std::size_t(n);
        if (errno != EINTR)
            throw std::system_error(errno, std::generic_category(), "cannot read standard input");
    }
}

void FdSink::Write(const char* bytes, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(m_fd, bytes, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw std::system_error(errno, std::generic_category(), "cannot write standard output");
        }
        bytes += n;
        size -= std::size_t(n);
    }
}

namespace {

// Fills `into` with exactly `size` bytes; how many there were before the end.
std::size_t ReadExactly(ByteSource& in, char* into, std::size_t size) {
    std::size_t got = 0;
    while (got < size) {
        const std::size_t n = in.Read(into + got, size - got);
        if (n == 0) break;
        got += n;
    }
    return got;
}

}  // namespace

Frame ReadFrame(ByteSource& in) {
    Frame frame;
    char header[4];
    if (ReadExactly(in, header, sizeof header) != sizeof header) return frame;
    std::uint32_t length = 0;
    std::memcpy(&length, header, sizeof length);
    frame.size = length;
    if (length == 0) {
        frame.kind = Frame::Kind::Empty;
        return frame;
    }
    char piece[kReadPiece];
    if (length > kMaxMessage) {
        for (std::uint64_t left = length; left > 0;) {
            const std::size_t want = std::size_t(std::min<std::uint64_t>(left, sizeof piece));
            if (ReadExactly(in, piece, want) != want) return Frame{};
            left -= want;
        }
        frame.kind = Frame::Kind::TooLarge;
        return frame;
    }
    // The body grows with what arrives, not with what the length promises.
    for (std::size_t left = length; left > 0;) {
        const std::size_t want = std::min(left, sizeof piece);
        if (ReadExactly(in, piece, want) != want) return Frame{};
        frame.body.append(piece, want);
        left -= want;
    }
    frame.kind = Frame::Kind::Message;
    return frame;
}

void WriteFrame(ByteSink& out, std::string_view body) {
    if (body.size() > UINT32_MAX)
        throw std::system_error(std::make_error_code(std::errc::message_size),
                                "a reply too long for one frame");
    const std::uint32_t length = std::uint32_t(body.size());
    std::string frame(sizeof length, '\0');
    std::memcpy(frame.data(), &length, sizeof length);
    frame.append(body);
    out.Write(frame.data(), frame.size());
}

}  // namespace ostrel::bridge
