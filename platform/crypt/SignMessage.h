#pragma once
// What CryptSignMessage shows of its work. A size query (no output buffer)
// builds the message with stand-ins for the digest and the signature and
// keeps it on the calling thread; the call that follows with the same inputs
// writes the real values over the stand-ins instead of building the message
// again. The bytes are the same either way.

#include <cstdint>

namespace platform::crypt {

// How many times the calling thread has built a signed message from its
// parts (a size query, or a call no size query prepared).
std::uint64_t SignedMessageBuilds();

}  // namespace platform::crypt
