#include "tools/ovxAgentGate.h"

#include <chrono>

#include "tools/ovxTrace.h"
#include "tools/ovxForkHold.h"

namespace ovxToolsLib {
namespace {

// The passes this thread holds, per gate: a gate closed from inside one of
// its own callbacks must not wait for that callback. Plain data, so nothing
// about it is torn down while the thread runs.
struct HeldPasses {
    const ovxAgentGate* gate;
    int count;
};
constexpr int kHeldSlots = 4;
thread_local HeldPasses t_held[kHeldSlots];

void Hold(const ovxAgentGate* gate, int change) {
    HeldPasses* free = nullptr;
    for (HeldPasses& slot : t_held) {
        if (slot.gate == gate) {
            slot.count += change;
            if (slot.count == 0) slot.gate = nullptr;
            return;
        }
        if (slot.gate == nullptr && free == nullptr) free = &slot;
    }
    // More gates nested on one thread than slots: the pass goes unrecorded,
    // and a Close() from inside it waits for its time-out instead.
    if (change > 0 && free != nullptr) *free = HeldPasses{gate, change};
}

int HeldBy(const ovxAgentGate* gate) {
    for (const HeldPasses& slot : t_held) {
        if (slot.gate == gate) return slot.count;
    }
    return 0;
}

// Never destroyed: threads of a session that outlived its shut-down may
// write through it while the process exits.
struct Router {
    std::mutex lock;
    std::shared_ptr<ovxAgentGate> gate;
};
Router& TheRouter() {
    static Router* router = new Router();
    return *router;
}
// Every routed line takes the route's lock for an instant, on any thread.
const ovxForkHold g_routeForkHold(TheRouter().lock, ovxForkRank::kTraceRoute);

uint32_t RoutedWrite(uint32_t, uint32_t level, const char* text, const char* where) {
    std::shared_ptr<ovxAgentGate> gate;
    {
        Router& router = TheRouter();
        std::lock_guard<std::mutex> hold(router.lock);
        gate = router.gate;
    }
    if (gate) gate->Trace(level, text, where);
    return 0;
}

SS_TraceSink g_routedSink = {0, 0xFFFFFFFFu, &RoutedWrite};

}  // namespace

ovxAgentGate::Pass::Pass(ovxAgentGate* gate) : m_gate(gate) {
    if (m_gate == nullptr) return;
    m_gate->m_passing.fetch_add(1);
    if (!m_gate->m_open.load()) {
        m_gate->Leave();
        return;
    }
    m_open = true;
    Hold(m_gate, 1);
}

ovxAgentGate::Pass::~Pass() {
    if (!m_open) return;
    Hold(m_gate, -1);
    m_gate->Leave();
}

void ovxAgentGate::Leave() {
    m_passing.fetch_sub(1);
    if (!m_open.load()) {
        std::lock_guard<std::mutex> hold(m_lock);
        m_left.notify_all();
    }
}

// The sink is read only inside a pass: once the gate is closed the agent
// may have freed it.
bool ovxAgentGate::Wants(uint32_t level) {
    Pass pass(this);
    return pass.Open() && TraceWanted(m_sink, level);
}

void ovxAgentGate::Trace(uint32_t level, const char* text, const char* where) {
    Pass pass(this);
    if (pass.Open() && TraceWanted(m_sink, level)) m_sink->write(m_sink->context, level, text, where);
}

bool ovxAgentGate::Close(uint32_t timeoutMs) {
    std::unique_lock<std::mutex> hold(m_lock);
    m_open.store(false);
    const int own = HeldBy(this);
    return m_left.wait_for(hold, std::chrono::milliseconds(timeoutMs), [&] { return m_passing.load() <= own; });
}

SS_TraceSink* ovxRoutedTraceSink() { return &g_routedSink; }

void ovxRouteTraceTo(const std::shared_ptr<ovxAgentGate>& gate) {
    Router& router = TheRouter();
    std::lock_guard<std::mutex> hold(router.lock);
    router.gate = gate;
}

void ovxStopRoutingTo(const ovxAgentGate* gate) {
    Router& router = TheRouter();
    std::lock_guard<std::mutex> hold(router.lock);
    if (router.gate.get() == gate) router.gate.reset();
}

}  // namespace ovxToolsLib
