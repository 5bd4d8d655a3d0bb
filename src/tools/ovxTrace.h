// Lines for the agent's trace sink. Every layer writes through these, so a
// sink without a write function, or a level outside its mask, is never called.
#ifndef OVX_TOOLS_OVXTRACE_H
#define OVX_TOOLS_OVXTRACE_H

#include <cstdint>

#include "ovxTraceSink.h"

namespace ovxToolsLib {

inline bool TraceWanted(const SS_TraceSink* sink, uint32_t level) {
    return sink != nullptr && sink->write != nullptr && (sink->levelMask & level) != 0;
}

inline void TraceLine(const SS_TraceSink* sink, uint32_t level, const char* text, const char* where) {
    if (TraceWanted(sink, level)) sink->write(sink->context, level, text, where);
}

}  // namespace ovxToolsLib

#endif  // OVX_TOOLS_OVXTRACE_H
