#include "platform/win/Crt.h"

#include <cstdint>
#include <cstdlib>

#include "platform/seams/Seams.h"

namespace crt {

void* malloc(std::size_t size) {
    std::uint32_t injected = 0;
    if (platform::seams::Injected("malloc", injected)) return nullptr;
    // A zero-byte request still yields a block of its own, as the runtime's does.
    void* block = std::malloc(size == 0 ? 1 : size);
    if (block != nullptr) platform::seams::CountLive(platform::seams::Live::Buffer, +1);
    platform::seams::Trace("malloc");
    return block;
}

void free(void* block) {
    if (block == nullptr) return;
    std::free(block);
    platform::seams::CountLive(platform::seams::Live::Buffer, -1);
    platform::seams::Trace("free");
}

}  // namespace crt
