// What the session's posts did: counts by kind and outcome, bytes on the
// wire, the last success and the last failure. Filled by every post, read by
// SS_GetStatistics from any thread.
#ifndef OVX_SENSOR_SERVICES_TRANSPORTSTATISTICS_H
#define OVX_SENSOR_SERVICES_TRANSPORTSTATISTICS_H

#include <cstdint>
#include <mutex>

#include "ovxSensorSvcs.h"

namespace ovxSensorServices {

enum class PostKind { kHeartbeat, kPing, kAlive, kExchange };

class CTransportStatistics {
public:
    // One post's outcome; `sent` and `received` are the bytes on the wire.
    void Record(PostKind kind, uint32_t status, uint64_t sent, uint64_t received);
    // The counters, totals and last outcomes into `out`, which has room for
    // a whole SS_Statistics. Server index and retry delay are the caller's.
    void Fill(SS_Statistics& out) const;

    // The outcome column a status counts in.
    static uint64_t SS_PostCounts::*Outcome(uint32_t status);

private:
    mutable std::mutex m_lock;
    SS_PostCounts m_counts[4] = {};
    uint64_t m_bytesSent = 0;
    uint64_t m_bytesReceived = 0;
    int64_t m_lastSuccess = 0;
    uint32_t m_lastFailure = 0;
};

}  // namespace ovxSensorServices

#endif  // OVX_SENSOR_SERVICES_TRANSPORTSTATISTICS_H
