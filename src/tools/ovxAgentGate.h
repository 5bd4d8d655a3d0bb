// The one way a session reaches its agent. Trace lines and callbacks pass
// through a gate that the shut-down closes: once it is closed nothing passes,
// and Close() waits for what was already passing on other threads. So once
// SS_ShutDown has returned the agent may free its trace sink and whatever its
// callbacks use, even while a thread of the old session is still finishing a
// post that hung.
#ifndef OVX_TOOLS_OVXAGENTGATE_H
#define OVX_TOOLS_OVXAGENTGATE_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

#include "ovxTraceSink.h"

namespace ovxToolsLib {

class ovxAgentGate {
public:
    // The sink is the agent's: not copied, used only while the gate is open.
    explicit ovxAgentGate(SS_TraceSink* sink) : m_sink(sink) {}
    ovxAgentGate(const ovxAgentGate&) = delete;
    ovxAgentGate& operator=(const ovxAgentGate&) = delete;

    // One passage through the gate for a scope: Open() tells whether it was
    // let through. Everything that reaches the agent (a trace line, a
    // callback, work whose end the agent waits for) holds a pass meanwhile.
    class Pass {
    public:
        explicit Pass(ovxAgentGate* gate);
        ~Pass();
        Pass(const Pass&) = delete;
        Pass& operator=(const Pass&) = delete;
        bool Open() const { return m_open; }

    private:
        ovxAgentGate* m_gate;
        bool m_open = false;
    };

    bool IsOpen() const { return m_open.load(); }
    // Open and the sink takes `level`: worth formatting a line for.
    bool Wants(uint32_t level);
    void Trace(uint32_t level, const char* text, const char* where);
    SS_TraceSink* Sink() const { return m_sink; }

    // Closes the gate for good and waits up to `timeoutMs` for the passes
    // other threads hold (a pass the calling thread holds itself, when an
    // agent callback shuts the session down, is not waited for). Returns
    // whether none is left.
    bool Close(uint32_t timeoutMs);

private:
    void Leave();

    SS_TraceSink* const m_sink;
    std::atomic<bool> m_open{true};
    std::atomic<int> m_passing{0};
    std::mutex m_lock;
    std::condition_variable m_left;
};

// The sink given to code that is not a session object and keeps a sink of
// its own (the service library, its loader, the signature check): its lines
// go to the gate of the session that routed them last, and stop with it.
// The sink itself lives for the whole process.
SS_TraceSink* ovxRoutedTraceSink();
void ovxRouteTraceTo(const std::shared_ptr<ovxAgentGate>& gate);
// Routes nowhere if the route still leads to `gate`.
void ovxStopRoutingTo(const ovxAgentGate* gate);

}  // namespace ovxToolsLib

#endif  // OVX_TOOLS_OVXAGENTGATE_H
