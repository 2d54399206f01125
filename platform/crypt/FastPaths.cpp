#include "platform/crypt/FastPaths.h"

#include <cstdlib>
#include <cstring>

namespace platform::crypt {

bool FastPaths() {
    // Read once: a shortcut's state must never change under a walk or
    // between a size query and the call it prepares.
    static const bool on = [] {
        const char* value = std::getenv("OSTREL_FAST_PATHS");
        return value == nullptr || std::strcmp(value, "0") != 0;
    }();
    return on;
}

}  // namespace platform::crypt
