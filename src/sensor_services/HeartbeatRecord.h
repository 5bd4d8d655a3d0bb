// A heartbeat or ping on the wire: a private copy of its bytes, made before
// the post so that the pending slot is free for the agent while it is sent.
#ifndef OVX_SENSOR_SERVICES_HEARTBEATRECORD_H
#define OVX_SENSOR_SERVICES_HEARTBEATRECORD_H

#include <cstdint>
#include <string>
#include <utility>

namespace ovxSensorServices {

class CHeartbeatRecord {
public:
    // The bytes are taken over, not copied, when the text is handed in.
    explicit CHeartbeatRecord(std::string text) : m_text(std::move(text)) {}
    CHeartbeatRecord(const CHeartbeatRecord&) = delete;
    CHeartbeatRecord& operator=(const CHeartbeatRecord&) = delete;
    virtual ~CHeartbeatRecord() = default;
    const uint8_t* Data() const { return reinterpret_cast<const uint8_t*>(m_text.data()); }
    uint32_t Size() const { return static_cast<uint32_t>(m_text.size()); }

private:
    std::string m_text;
};

}  // namespace ovxSensorServices

#endif  // OVX_SENSOR_SERVICES_HEARTBEATRECORD_H
