#pragma once
// Where the crypt layer asks the user for a token's PIN. The crypt layer may
// not use the user interface, so the interface registers its prompt here (the
// dialog with a password field), and tests may put their own in its place for
// a while. Without a prompt, nobody can be asked: the PIN is not entered.

#include <cstddef>
#include <string>

namespace platform::seams {

struct PinRequest {
    std::string tokenLabel;
    std::string tokenSerial;
    std::string subject;  // of the certificate whose key needs the PIN
    std::size_t minLength = 0;
    std::size_t maxLength = 0;  // 0: the token sets no limit
    bool wrongPin = false;      // the PIN entered before was refused
    bool fewTriesLeft = false;
    bool lastTry = false;
    bool keyOnly = false;  // a PIN for this one signature, asked again for the next
};

// Room for a PIN that its owner wipes after use; a prompt writes at most
// `capacity - 1` bytes and a NUL after them.
struct PinBuffer {
    char* data = nullptr;
    std::size_t capacity = 0;
    std::size_t length = 0;
};

class TokenPrompt {
public:
    virtual ~TokenPrompt() = default;
    // True when the user entered a PIN into `pin`; false when the user
    // cancelled or could not be asked.
    virtual bool AskPin(const PinRequest& request, PinBuffer& pin) noexcept = 0;
    // The token reads the PIN on its own reader: the user is told so from
    // Begin until End, while the token waits for it.
    virtual void BeginPinPadNotice(const PinRequest& request) noexcept = 0;
    virtual void EndPinPadNotice() noexcept = 0;
};

// The process's prompt (the user interface registers its own when it is
// linked in); null for none.
TokenPrompt* CurrentTokenPrompt();
void RegisterTokenPrompt(TokenPrompt* prompt);

// Puts another prompt in place while it lives (tests).
class ScopedTokenPrompt {
public:
    explicit ScopedTokenPrompt(TokenPrompt* prompt);
    ~ScopedTokenPrompt();
    ScopedTokenPrompt(const ScopedTokenPrompt&) = delete;
    ScopedTokenPrompt& operator=(const ScopedTokenPrompt&) = delete;

private:
    TokenPrompt* m_previous;
};

}  // namespace platform::seams
