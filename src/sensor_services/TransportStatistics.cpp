#include "sensor_services/TransportStatistics.h"

#include "ovxStatus.h"
#include "tools/ovxClock.h"

namespace ovxSensorServices {

uint64_t SS_PostCounts::*CTransportStatistics::Outcome(uint32_t status) {
    switch (status) {
        case 0: return &SS_PostCounts::success;
        case OVX_E_SCS_CONNECTION_REFUSED: return &SS_PostCounts::refused;
        case OVX_E_SCS_TLS_FAILURE:
        case OVX_E_SCS_CERTIFICATE_REJECTED:
        case OVX_E_SCS_CLIENT_CERTIFICATE: return &SS_PostCounts::tls;
        case OVX_E_SCS_CONNECT_TIMEOUT:
        case OVX_E_SCS_TRANSFER_TIMEOUT: return &SS_PostCounts::timeout;
        case OVX_E_SCS_HTTP_STATUS: return &SS_PostCounts::httpError;
        case OVX_E_SCS_SERVER_BUSY:
        case OVX_I_SCS_BACK_OFF: return &SS_PostCounts::busy;
        default: return &SS_PostCounts::other;
    }
}

void CTransportStatistics::Record(PostKind kind, uint32_t status, uint64_t sent, uint64_t received) {
    const int64_t now = ovxToolsLib::ovxClock::NowSeconds();
    std::lock_guard<std::mutex> hold(m_lock);
    ++(m_counts[static_cast<int>(kind)].*Outcome(status));
    m_bytesSent += sent;
    m_bytesReceived += received;
    if (status == 0) {
        m_lastSuccess = now;
    } else {
        m_lastFailure = status;
    }
}

void CTransportStatistics::Fill(SS_Statistics& out) const {
    std::lock_guard<std::mutex> hold(m_lock);
    out.heartbeat = m_counts[static_cast<int>(PostKind::kHeartbeat)];
    out.ping = m_counts[static_cast<int>(PostKind::kPing)];
    out.alive = m_counts[static_cast<int>(PostKind::kAlive)];
    out.exchange = m_counts[static_cast<int>(PostKind::kExchange)];
    out.bytesSent = m_bytesSent;
    out.bytesReceived = m_bytesReceived;
    out.lastSuccessTime = m_lastSuccess;
    out.lastFailureStatus = m_lastFailure;
}

}  // namespace ovxSensorServices
