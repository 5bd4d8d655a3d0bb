// A server's answer to a heartbeat, through the whole response path with
// every callback registered: sorting, typed handlers, group settings,
// unknown requests answered.
#include <cstddef>
#include <cstdint>

#include "FuzzSession.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0 || size > 1u << 20) return 0;
    ovxFuzz::Session()->HelperProcessHeartbeatResponse(data, static_cast<uint32_t>(size));
    return 0;
}
