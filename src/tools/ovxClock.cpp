#include "tools/ovxClock.h"

#include <atomic>
#include <ctime>

namespace ovxToolsLib {
namespace {
std::atomic<ovxTimeSource> g_source{nullptr};
}

int64_t ovxClock::NowSeconds() {
    ovxTimeSource source = g_source.load(std::memory_order_acquire);
    return source != nullptr ? source() : static_cast<int64_t>(std::time(nullptr));
}

ovxTimeSource ovxClock::SetSourceForTesting(ovxTimeSource source) { return g_source.exchange(source); }

}  // namespace ovxToolsLib
