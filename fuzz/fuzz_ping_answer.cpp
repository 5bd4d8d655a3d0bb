// A server's answer to a ping, with the ping callback registered so that it
// is read.
#include <cstddef>
#include <cstdint>

#include "FuzzSession.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0 || size > 1u << 20) return 0;
    ovxFuzz::Session()->HelperProcessPingResponse(data, static_cast<uint32_t>(size));
    return 0;
}
