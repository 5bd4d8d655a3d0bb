// CPulseThread calls one function at a fixed period: the alive heartbeats.
#ifndef OVX_SENSOR_SERVICES_PULSETHREAD_H
#define OVX_SENSOR_SERVICES_PULSETHREAD_H

#include <cstdint>

#include "sensor_services/ServiceThread.h"

namespace ovxSensorServices {

typedef uint32_t (*PulseFunction)(void* argument);

class CPulseThread : public CServiceThread {
public:
    ~CPulseThread() override;
    virtual uint32_t Init(const ovxThreadingFunctions* threading, std::shared_ptr<ovxToolsLib::ovxAgentGate> gate,
                          PulseFunction pulse, uint32_t periodSeconds, void* argument);
    // Takes effect from the next wait on.
    virtual void SetPeriod(uint32_t periodSeconds);
    uint32_t GetPeriod() const;
    virtual uint32_t Pulse();

protected:
    uint32_t Loop() override;
    const char* Name() const override { return "pulse"; }
    const char* Where() const override { return "CPulseThread::_PulseThread()"; }

private:
    PulseFunction m_pulse = nullptr;
    void* m_argument = nullptr;
    uint32_t m_periodSeconds = 0;
};

}  // namespace ovxSensorServices

#endif  // OVX_SENSOR_SERVICES_PULSETHREAD_H
