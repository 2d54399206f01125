// Memory that crosses an interface as an out-parameter: allocated by the
// callee, freed by the caller. Counted, so that tests can prove every block a
// caller received was given back.

#include <atomic>
#include <cstdlib>

#include "platform/ctl/OleInterfaces.h"
#include "platform/seams/Seams.h"

namespace {

std::atomic<long> g_live{0};

constexpr std::size_t kMaxBlock = std::size_t(1) << 30;

}  // namespace

LPVOID CoTaskMemAlloc(std::size_t cb) {
    std::uint32_t code = 0;
    if (platform::seams::Injected("CoTaskMemAlloc", code)) return nullptr;
    if (cb > kMaxBlock) return nullptr;
    void* block = std::malloc(cb == 0 ? 1 : cb);
    if (block != nullptr) ++g_live;
    return block;
}

void CoTaskMemFree(LPVOID pv) {
    if (pv == nullptr) return;
    --g_live;
    std::free(pv);
}

namespace platform::ctl {

long LiveTaskMemory() {
    return g_live.load();
}

}  // namespace platform::ctl
