// Small formatting helpers of the session's trace lines.
#ifndef OVX_SENSOR_SERVICES_SESSIONTEXT_H
#define OVX_SENSOR_SERVICES_SESSIONTEXT_H

#include <cstdint>
#include <string>

#include "tools/xsnprintf.h"

namespace ovxSensorServices {

// A status as trace lines write it: "0x" and eight lower-case hex digits.
inline std::string StatusHex(uint32_t code) {
    char text[16];
    ovxToolsLib::xsnprintf(text, sizeof text, "0x%08x", code);
    return text;
}

}  // namespace ovxSensorServices

#endif  // OVX_SENSOR_SERVICES_SESSIONTEXT_H
