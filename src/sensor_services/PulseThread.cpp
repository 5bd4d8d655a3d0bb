#include "sensor_services/PulseThread.h"

#include <string>

namespace ovxSensorServices {

CPulseThread::~CPulseThread() { Stop(); }

uint32_t CPulseThread::Init(const ovxThreadingFunctions* threading, std::shared_ptr<ovxToolsLib::ovxAgentGate> gate,
                            PulseFunction pulse, uint32_t periodSeconds, void* argument) {
    m_periodSeconds = periodSeconds;
    m_pulse = pulse;
    m_argument = argument;
    return Start(threading, std::move(gate), "Unexpected failure in pulse thread initialization",
                 "CPulseThread::Init()");
}

void CPulseThread::SetPeriod(uint32_t periodSeconds) {
    LockGuard hold(*this);
    m_periodSeconds = periodSeconds;
}

uint32_t CPulseThread::GetPeriod() const {
    LockGuard hold(*this);
    return m_periodSeconds;
}

uint32_t CPulseThread::Pulse() { return m_pulse != nullptr ? m_pulse(m_argument) : 0; }

uint32_t CPulseThread::Loop() {
    // A period too long for the wait's milliseconds waits as long as it can.
    auto timeout = [this] {
        uint64_t ms = static_cast<uint64_t>(GetPeriod()) * 1000u;
        return static_cast<uint32_t>(ms > 0xFFFFFFFEu ? 0xFFFFFFFEu : ms);
    };
    uint32_t wait = timeout();
    while (!m_stop.load()) {
        Trace(8, Where(), ("Waiting on pulse event with timeout = " + std::to_string(wait)).c_str());
        WaitForWake(wait);
        if (m_stop.load()) break;
        (void)Pulse();
        wait = timeout();
    }
    return 0;
}

}  // namespace ovxSensorServices
