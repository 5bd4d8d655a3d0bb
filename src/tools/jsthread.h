// Threads with a named worker, a stop request and an exit code.
//
// The implementation object is shared between the front and the running
// thread, so a thread that outlives its front (after a kill, or a stop that
// timed out) never touches freed memory.
#ifndef OVX_TOOLS_JSTHREAD_H
#define OVX_TOOLS_JSTHREAD_H

#include <pthread.h>

#include <exception>
#include <memory>
#include <string>

#include "jsbase.h"
#include "jsevent.h"

namespace ovxToolsLib {

constexpr uint32_t kJsThreadStillActive = 8193;  // 0x2001: the exit code while the thread runs
constexpr uint32_t kJsThreadKilled = 57005;      // 0xDEAD: a thread that killed itself

// One line at debug priority to the system log. glibc's syslog() takes a
// private lock that fork() copies as it finds it, so a child forked while
// one of our threads writes a line would wait for ever at its first line:
// our lines pass a lock of ours that is held across fork().
void jsSystemLog(const char* format, ...) __attribute__((format(printf, 1, 2)));

class jsThread;

class jsThreadImpl : public jsBase {
public:
    jsThreadImpl(jsThread* owner, const std::string& name, int priority);
    ~jsThreadImpl() override;

    jsThread* m_owner;
    jsEvent m_stopEvent;  // auto-reset, created signalled
    jsEvent m_exitEvent;  // manual-reset, created non-signalled
    std::string m_name;
    pthread_mutex_t m_mutex;  // guards the fields below
    bool m_stopRequested = false;
    unsigned long m_threadId = 0;
    int m_priority = 63;
    bool m_running = false;
    bool m_secondFlag = false;
    uint32_t m_exitCode = kJsThreadStillActive;
    bool m_killed = false;
};

class jsThread : public jsBase {
public:
    // priority is a level 0..4 (mapped to 31, 47, 63, 79, 126; others to 63).
    explicit jsThread(const char* name, int priority = 2);
    ~jsThread() override;  // kills a thread that still runs

    virtual bool start();
    // Requests a stop and waits up to timeoutMs for the thread; returns true
    // only when the thread was killed.
    virtual bool stop(uint32_t timeoutMs, bool killIfTimedOut);
    virtual uint32_t run() = 0;
    // Default: writes the text to standard error and rethrows; the thread body
    // contains whatever is rethrown, so an exception never ends the process.
    virtual void onException(const std::exception& exception);

    // From the thread itself: ends it with exit code 57005. From another thread:
    // cancels it (a signal would end the whole host process).
    bool kill();
    bool isRunning() const;
    uint32_t getExitCode() const;
    unsigned long getThreadId() const;
    bool setPriority(int level);
    int getPriority() const;
    bool waitForStop(uint32_t ms);
    bool shouldContinue();
    bool waitForExit(uint32_t ms);
    void reset();
    const std::string& name() const { return m_name; }

    static unsigned long currentThreadId();
    static void sleep(uint32_t ms);
    static int mapPriority(int level);
    static int priorityLevel(int schedulingPriority);

    // Thread-local slots: at most 16; allocSlot returns -1 beyond that.
    static int allocSlot();
    static bool setSlot(int slot, void* value);
    static void* getSlot(int slot);
    static bool freeSlot(int slot);

private:
    static void* ThreadBody(void* argument);

    std::shared_ptr<jsThreadImpl> m_impl;
    std::string m_name;
    int m_priority;
};

}  // namespace ovxToolsLib

#endif  // OVX_TOOLS_JSTHREAD_H
