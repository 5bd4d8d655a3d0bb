// What the transport half of a session uses besides its own state: the
// settings section of a server role, settings numbers, and the process and
// thread text of the session threads' entry and exit lines.
#ifndef OVX_TRANSPORT_BASESUPPORT_H
#define OVX_TRANSPORT_BASESUPPORT_H

#include <cstdint>
#include <string>

namespace BaseSupport {

// The settings section of a server role; "" for a role not in the table.
std::string SectionForRole(const std::string& role);

// A settings value read as base 10 the way strtol does: leading digits
// count, text that does not start with a number gives 0, and values beyond
// 32 bits stay at the largest one.
uint32_t ParseDecimal(const char* text);

// "ProcessId = %d, ThreadId = %d" of the calling thread.
std::string ProcessThreadText();

// The text of a possibly null argument in a trace line.
inline const char* OrNull(const char* text) { return text != nullptr ? text : "NULL"; }

}  // namespace BaseSupport

#endif  // OVX_TRANSPORT_BASESUPPORT_H
