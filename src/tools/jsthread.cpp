#include "ovxStatus.h"
#include "jsthread.h"

#include <stdexcept>
#include <cxxabi.h>
#include <sched.h>
#include <syslog.h>

#include <cstdarg>
#include <cstdio>
#include <mutex>

#include "jssync.h"
#include "ovxForkHold.h"

namespace ovxToolsLib {

namespace {

std::mutex g_systemLogLock;
const ovxForkHold g_systemLogForkHold(g_systemLogLock, ovxForkRank::kLeaf);

}  // namespace

void jsSystemLog(const char* format, ...) {
    std::lock_guard<std::mutex> hold(g_systemLogLock);
    va_list arguments;
    va_start(arguments, format);
    vsyslog(LOG_DEBUG, format, arguments);
    va_end(arguments);
}

namespace {

struct Hold {
    explicit Hold(pthread_mutex_t* mutex) : m_mutex(mutex) { pthread_mutex_lock(m_mutex); }
    ~Hold() { pthread_mutex_unlock(m_mutex); }
    pthread_mutex_t* m_mutex;
};

// Marks the end of a thread: exit code, id cleared, exit event signalled.
void FinishThread(jsThreadImpl& impl, uint32_t code, bool log) {
    unsigned long id;
    {
        Hold hold(&impl.m_mutex);
        if (!impl.m_killed) impl.m_exitCode = code;
        code = impl.m_exitCode;
        id = impl.m_threadId;
        impl.m_threadId = 0;
        impl.m_running = false;
    }
    if (log) {
        jsSystemLog("Thread '%s' with ID %lu exited with code %lu", impl.m_name.c_str(), id,
                    static_cast<unsigned long>(code));
    }
    impl.m_exitEvent.set();
}

constexpr int kMaxSlots = 16;
pthread_key_t g_slotKeys[kMaxSlots];
bool g_slotUsed[kMaxSlots];

}  // namespace

jsThreadImpl::jsThreadImpl(jsThread* owner, const std::string& name, int priority)
    : m_owner(owner), m_stopEvent(false, false), m_exitEvent(true, true), m_name(name), m_priority(priority) {
    m_valid = pthread_mutex_init(&m_mutex, nullptr) == 0 && m_stopEvent.isValid() && m_exitEvent.isValid();
}

jsThreadImpl::~jsThreadImpl() { pthread_mutex_destroy(&m_mutex); }

int jsThread::mapPriority(int level) {
    static const int kLevels[] = {31, 47, 63, 79, 126};
    return (level >= 0 && level <= 4) ? kLevels[level] : 63;
}

int jsThread::priorityLevel(int schedulingPriority) {
    if (schedulingPriority <= 31) return 0;
    if (schedulingPriority <= 47) return 1;
    if (schedulingPriority <= 63) return 2;
    if (schedulingPriority <= 79) return 3;
    return 4;
}

jsThread::jsThread(const char* name, int priority) : m_name(name ? name : ""), m_priority(mapPriority(priority)) {
    m_impl = std::make_shared<jsThreadImpl>(this, m_name, m_priority);
    m_valid = m_impl->isValid();
}

jsThread::~jsThread() {
    if (!m_impl) return;
    bool running;
    {
        Hold hold(&m_impl->m_mutex);
        running = m_impl->m_threadId != 0 && m_impl->m_exitCode == kJsThreadStillActive;
        m_impl->m_stopRequested = true;
    }
    if (running) {
        m_impl->m_stopEvent.set();
        kill();
        // A cancelled thread unwinds at its next cancellation point; give it a
        // bounded time so its body is not still inside run() of a freed object.
        m_impl->m_exitEvent.wait(5000);
    }
}

unsigned long jsThread::currentThreadId() { return static_cast<unsigned long>(pthread_self()); }

void jsThread::sleep(uint32_t ms) {
    jsEvent never(true, true);
    never.wait(ms);
}

// glibc throws its cancellation unwind object by a null reference; the
// sanitizer's null check would stop a thread being cancelled or exiting.
__attribute__((no_sanitize("null"))) void* jsThread::ThreadBody(void* argument) {
    std::shared_ptr<jsThreadImpl> impl(*static_cast<std::shared_ptr<jsThreadImpl>*>(argument));
    delete static_cast<std::shared_ptr<jsThreadImpl>*>(argument);
    unsigned long id;
    {
        Hold hold(&impl->m_mutex);  // waits until start() has recorded the id
        impl->m_running = true;
        id = impl->m_threadId;
    }
    jsSystemLog("Started thread '%s' with ID %lu", impl->m_name.c_str(), id);
    uint32_t code = 0;
    try {
        try {
            code = impl->m_owner->run();
        } catch (abi::__forced_unwind&) {
            throw;
        } catch (const std::exception& exception) {
            impl->m_owner->onException(exception);
            code = OVX_E_UNEXPECTED;
        } catch (...) {
            std::runtime_error unhandled("Unhandled Exception");
            impl->m_owner->onException(unhandled);
            code = OVX_E_UNEXPECTED;
        }
    } catch (abi::__forced_unwind&) {
        // Cancelled or pthread_exit: record the end, then let the unwinding go on.
        FinishThread(*impl, kJsThreadKilled, true);
        throw;
    } catch (...) {
        code = OVX_E_UNEXPECTED;  // onException rethrew: contain it here
    }
    FinishThread(*impl, code, true);
    return reinterpret_cast<void*>(static_cast<uintptr_t>(code));
}

bool jsThread::start() {
    if (!m_valid) return false;
    {
        Hold hold(&m_impl->m_mutex);
        if (m_impl->m_threadId != 0 && m_impl->m_exitCode == kJsThreadStillActive) return true;
    }
    reset();
    Hold hold(&m_impl->m_mutex);
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0) return false;
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_attr_setscope(&attributes, PTHREAD_SCOPE_SYSTEM);
    auto* argument = new std::shared_ptr<jsThreadImpl>(m_impl);
    pthread_t thread;
    int result = pthread_create(&thread, &attributes, &jsThread::ThreadBody, argument);
    pthread_attr_destroy(&attributes);
    if (result != 0) {
        delete argument;
        return false;
    }
    m_impl->m_threadId = static_cast<unsigned long>(thread);
    m_impl->m_exitCode = kJsThreadStillActive;
    return true;
}

bool jsThread::stop(uint32_t timeoutMs, bool killIfTimedOut) {
    bool running;
    bool begun;
    {
        Hold hold(&m_impl->m_mutex);
        m_impl->m_stopRequested = true;
        running = m_impl->m_threadId != 0;
        begun = m_impl->m_running;
    }
    m_impl->m_stopEvent.set();
    if (!running) return false;
    if (timeoutMs != 0 && begun) {
        if (waitForExit(timeoutMs)) return false;
        if (!killIfTimedOut) return false;
    } else if (!killIfTimedOut) {
        return false;
    }
    return kill();
}

void jsThread::onException(const std::exception& exception) {
    fprintf(stderr, "%s\n", exception.what());
    throw;
}

bool jsThread::kill() {
    unsigned long target;
    {
        Hold hold(&m_impl->m_mutex);
        target = m_impl->m_threadId;
    }
    if (target == 0) return false;
    unsigned long self = currentThreadId();
    if (target == self) {
        {
            Hold hold(&m_impl->m_mutex);
            m_impl->m_exitCode = kJsThreadKilled;
            m_impl->m_killed = true;
        }
        m_impl->m_exitEvent.set();
        pthread_exit(reinterpret_cast<void*>(static_cast<uintptr_t>(kJsThreadKilled)));
    }
    jsSystemLog("Killing thread %lu from %lu", target, self);
    {
        Hold hold(&m_impl->m_mutex);
        m_impl->m_killed = true;
        m_impl->m_exitCode = kJsThreadKilled;
    }
    return pthread_cancel(static_cast<pthread_t>(target)) == 0;
}

bool jsThread::isRunning() const {
    Hold hold(&m_impl->m_mutex);
    return m_impl->m_exitCode == kJsThreadStillActive;
}

uint32_t jsThread::getExitCode() const {
    Hold hold(&m_impl->m_mutex);
    return m_impl->m_exitCode;
}

unsigned long jsThread::getThreadId() const {
    Hold hold(&m_impl->m_mutex);
    return m_impl->m_threadId;
}

bool jsThread::setPriority(int level) {
    unsigned long id = getThreadId();
    if (id == 0) return false;
    struct sched_param parameter;
    parameter.sched_priority = mapPriority(level);
    return pthread_setschedparam(static_cast<pthread_t>(id), SCHED_OTHER, &parameter) == 0;
}

int jsThread::getPriority() const {
    unsigned long id = getThreadId();
    if (id == 0) return priorityLevel(m_priority);
    int policy;
    struct sched_param parameter;
    if (pthread_getschedparam(static_cast<pthread_t>(id), &policy, &parameter) != 0) {
        return priorityLevel(m_priority);
    }
    return priorityLevel(parameter.sched_priority);
}

bool jsThread::waitForStop(uint32_t ms) {
    {
        Hold hold(&m_impl->m_mutex);
        if (m_impl->m_stopRequested) return true;
    }
    m_impl->m_stopEvent.reset();
    m_impl->m_stopEvent.wait(ms);
    Hold hold(&m_impl->m_mutex);
    return m_impl->m_stopRequested;
}

bool jsThread::shouldContinue() {
    Hold hold(&m_impl->m_mutex);
    return !m_impl->m_stopRequested;
}

bool jsThread::waitForExit(uint32_t ms) {
    if (m_impl->m_exitEvent.wait(ms) != kJsWaitSuccess) return false;
    Hold hold(&m_impl->m_mutex);
    m_impl->m_threadId = 0;
    return true;
}

void jsThread::reset() {
    bool running;
    {
        Hold hold(&m_impl->m_mutex);
        running = m_impl->m_threadId != 0 && m_impl->m_exitCode == kJsThreadStillActive;
    }
    if (running) {
        kill();
        m_impl->m_exitEvent.wait(5000);
        // A thread that did not end in time keeps the old implementation.
        m_impl = std::make_shared<jsThreadImpl>(this, m_name, m_priority);
    }
    Hold hold(&m_impl->m_mutex);
    m_impl->m_priority = 63;
    m_impl->m_threadId = 0;
    m_impl->m_stopRequested = false;
    m_impl->m_running = false;
    m_impl->m_secondFlag = false;
    m_impl->m_killed = false;
    m_impl->m_exitCode = kJsThreadStillActive;
    m_impl->m_exitEvent.reset();
    m_impl->m_stopEvent.reset();
}

int jsThread::allocSlot() {
    jsFastHold global(jsGlobalLock());
    int slot = -1;
    for (int i = 0; i < kMaxSlots; ++i) {
        if (!g_slotUsed[i]) {
            if (pthread_key_create(&g_slotKeys[i], nullptr) == 0) {
                g_slotUsed[i] = true;
                slot = i;
            }
            break;
        }
    }
    return slot;
}

bool jsThread::setSlot(int slot, void* value) {
    if (slot < 0 || slot >= kMaxSlots) return false;
    return pthread_setspecific(g_slotKeys[slot], value) == 0;
}

void* jsThread::getSlot(int slot) {
    if (slot < 0 || slot >= kMaxSlots) return nullptr;
    return pthread_getspecific(g_slotKeys[slot]);
}

bool jsThread::freeSlot(int slot) {
    if (slot < 0 || slot >= kMaxSlots) return false;
    jsFastHold global(jsGlobalLock());
    bool freed = false;
    if (g_slotUsed[slot]) {
        pthread_key_delete(g_slotKeys[slot]);
        g_slotUsed[slot] = false;
        freed = true;
    }
    return freed;
}

}  // namespace ovxToolsLib
