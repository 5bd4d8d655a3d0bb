// The simulator's request log on stdout, written in batches by a thread of
// its own. A line per request with a write and a flush of its own cost the
// simulator a system call per request, about a fourteenth of its time under
// load. Lines are gathered for at most `boundMs` and written together; none
// is dropped: Flush() and the destructor write whatever is pending, and a
// caller that finds a full buffer (the reader of stdout is behind) waits for
// it to drain rather than losing lines or growing without bound.
#ifndef OVX_APPS_AGENT_MANAGER_SIM_SIMLOG_H
#define OVX_APPS_AGENT_MANAGER_SIM_SIMLOG_H

#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

namespace ovxSim {

class LineWriter {
public:
    explicit LineWriter(FILE* out, int boundMs = 100);
    ~LineWriter();
    LineWriter(const LineWriter&) = delete;
    LineWriter& operator=(const LineWriter&) = delete;

    // Queues `line` and a newline; written within the bound.
    void Add(const char* line, size_t size);
    // Returns once every line added before the call has been written.
    void Flush();

private:
    void Run();

    static constexpr size_t kBatch = 64 * 1024;  // written at once when reached
    static constexpr size_t kLimit = 1 << 20;    // callers wait above this

    FILE* const m_out;
    const int m_boundMs;
    std::mutex m_lock;  // all below
    std::condition_variable m_pendingChanged;
    std::condition_variable m_writtenChanged;
    std::string m_pending;
    uint64_t m_added = 0;    // lines added so far
    uint64_t m_written = 0;  // of those, lines written and flushed
    bool m_flushAsked = false;
    bool m_stopping = false;
    std::thread m_thread;
};

}  // namespace ovxSim

#endif  // OVX_APPS_AGENT_MANAGER_SIM_SIMLOG_H
