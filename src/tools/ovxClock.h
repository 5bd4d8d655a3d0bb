// The one clock seam of the library: everything that schedules by time reads
// the time here, so tests can drive it instead of sleeping.
#ifndef OVX_TOOLS_OVXCLOCK_H
#define OVX_TOOLS_OVXCLOCK_H

#include <cstdint>

namespace ovxToolsLib {

typedef int64_t (*ovxTimeSource)();

class ovxClock {
public:
    // Seconds since the epoch.
    static int64_t NowSeconds();
    // Replaces the source; null restores the system clock. Returns the old one.
    static ovxTimeSource SetSourceForTesting(ovxTimeSource source);
};

}  // namespace ovxToolsLib

#endif  // OVX_TOOLS_OVXCLOCK_H
