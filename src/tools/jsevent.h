// Events with manual or automatic reset and timed waits. Deadlines are
// absolute times on the monotonic clock, so a change of the time of day
// neither shortens nor stretches a wait.
#ifndef OVX_TOOLS_JSEVENT_H
#define OVX_TOOLS_JSEVENT_H

#include <pthread.h>

#include <memory>

#include "jsbase.h"

namespace ovxToolsLib {

class jsEventImpl : public jsBase {
public:
    jsEventImpl(bool initiallyReset, bool manualReset);
    ~jsEventImpl() override;
    bool set();
    bool reset();
    uint32_t wait(uint32_t timeoutMs);

private:
    pthread_cond_t m_condition;
    pthread_mutex_t m_mutex;
    bool m_signalled;
    bool m_manualReset;
    bool m_mutexReady = false;
    bool m_conditionReady = false;
};

// initiallyReset false: the event starts signalled. A manual-reset event stays
// signalled until reset() and releases every waiter; an auto-reset event
// releases one waiter and clears itself.
class jsEvent : public jsBase {
public:
    explicit jsEvent(bool initiallyReset = true, bool manualReset = false);
    ~jsEvent() override;
    bool isValid() const override;
    bool set();
    bool reset();
    uint32_t wait(uint32_t timeoutMs = kJsInfinite);

private:
    std::unique_ptr<jsEventImpl> m_impl;
};

using ovxEvent = jsEvent;

// Absolute deadline `timeoutMs` from now on the monotonic clock, nanoseconds
// carried into the seconds.
struct timespec jsDeadlineAfter(uint32_t timeoutMs);

}  // namespace ovxToolsLib

#endif  // OVX_TOOLS_JSEVENT_H
