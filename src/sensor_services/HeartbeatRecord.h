// A heartbeat or ping on the wire: a private copy of its bytes, made before
// the post so that the pending slot is free for the agent while it is sent.
#ifndef OVX_SENSOR_SERVICES_HEARTBEATRECORD_H
#define OVX_SENSOR_SERVICES_HEARTBEATRECORD_H

#include <cstdint>
#include <cstring>
#include <string>

namespace ovxSensorServices {

class CHeartbeatRecord {
public:
    explicit CHeartbeatRecord(const std::string& text)
        : m_data(new uint8_t[text.empty() ? 1 : text.size()]), m_size(static_cast<uint32_t>(text.size())) {
        std::memcpy(m_data, text.data(), text.size());
    }
    CHeartbeatRecord(const CHeartbeatRecord&) = delete;
    CHeartbeatRecord& operator=(const CHeartbeatRecord&) = delete;
    virtual ~CHeartbeatRecord() { delete[] m_data; }
    const uint8_t* Data() const { return m_data; }
    uint32_t Size() const { return m_size; }

private:
    uint8_t* m_data;
    uint32_t m_size;
};

}  // namespace ovxSensorServices

#endif  // OVX_SENSOR_SERVICES_HEARTBEATRECORD_H
