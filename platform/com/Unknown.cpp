#include "platform/com/Unknown.h"

namespace platform::com {
namespace {
std::atomic<long> g_liveObjects{0};
}  // namespace

long LiveObjects() {
    return g_liveObjects.load();
}
void CountLiveObject(int delta) {
    g_liveObjects += delta;
}

}  // namespace platform::com
