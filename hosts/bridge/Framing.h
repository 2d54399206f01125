#pragma once
// The browser's framing on a pipe: each message is a 4-byte length in the
// machine's own byte order, then that many bytes of UTF-8 JSON.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace ostrel::bridge {

// The longest message taken in; a longer one is read past and refused.
inline constexpr std::uint32_t kMaxMessage = std::uint32_t(64) << 20;
// What is read of a message at a time; a refused one is passed over in
// pieces of this size, so it never occupies more memory than one piece.
inline constexpr std::size_t kReadPiece = std::size_t(64) << 10;

// Where frames come from. Read gives up to `room` bytes, 0 at the end of the
// input; a failure of the input is thrown as std::system_error.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    virtual std::size_t Read(char* into, std::size_t room) = 0;
};

// Where replies go. Write takes all the bytes or throws std::system_error.
class ByteSink {
public:
    virtual ~ByteSink() = default;
    virtual void Write(const char* bytes, std::size_t size) = 0;
};

// A file descriptor (standard input or output), retried on interruption.
class FdSource : public ByteSource {
public:
    explicit FdSource(int fd) : m_fd(fd) {}
    std::size_t Read(char* into, std::size_t room) override;

private:
    int m_fd;
};

class FdSink : public ByteSink {
public:
    explicit FdSink(int fd) : m_fd(fd) {}
    void Write(const char* bytes, std::size_t size) override;

private:
    int m_fd;
};

struct Frame {
    enum class Kind {
        Message,   // `body` holds the message
        Empty,     // a length of zero
        TooLarge,  // longer than kMaxMessage; `size` says how long, and it was read past
        End,       // the input ended, between frames or inside one
    };
    Kind kind = Kind::End;
    std::string body;
    std::uint64_t size = 0;
};

// The next frame of `in`. A message that ends early is the end of the input.
Frame ReadFrame(ByteSource& in);

// One frame holding `body`, written whole.
void WriteFrame(ByteSink& out, std::string_view body);

}  // namespace ostrel::bridge
