#include "SimLog.h"

#include <chrono>

namespace ovxSim {

LineWriter::LineWriter(FILE* out, int boundMs) : m_out(out), m_boundMs(boundMs), m_thread([this] { Run(); }) {}

LineWriter::~LineWriter() {
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_stopping = true;
    }
    m_pendingChanged.notify_all();
    m_thread.join();
}

void LineWriter::Add(const char* line, size_t size) {
    std::unique_lock<std::mutex> hold(m_lock);
    m_writtenChanged.wait(hold, [this] { return m_pending.size() < kLimit || m_stopping; });
    const bool wasEmpty = m_pending.empty();
    m_pending.append(line, size);
    m_pending += '\n';
    ++m_added;
    // The writer waits for a first line, then gathers for the bound or
    // until a batch is full.
    if (wasEmpty || m_pending.size() >= kBatch) m_pendingChanged.notify_all();
}

void LineWriter::Flush() {
    std::unique_lock<std::mutex> hold(m_lock);
    const uint64_t wanted = m_added;
    if (m_written >= wanted) return;
    m_flushAsked = true;
    m_pendingChanged.notify_all();
    m_writtenChanged.wait(hold, [&] { return m_written >= wanted; });
}

void LineWriter::Run() {
    std::unique_lock<std::mutex> hold(m_lock);
    for (;;) {
        m_pendingChanged.wait(hold, [this] { return m_stopping || !m_pending.empty(); });
        if (m_pending.empty()) break;  // stopping, nothing left
        m_pendingChanged.wait_for(hold, std::chrono::milliseconds(m_boundMs),
                                  [this] { return m_stopping || m_flushAsked || m_pending.size() >= kBatch; });
        std::string batch;
        batch.swap(m_pending);
        const uint64_t upTo = m_added;
        m_flushAsked = false;
        m_writtenChanged.notify_all();  // room again for waiting callers
        hold.unlock();
        std::fwrite(batch.data(), 1, batch.size(), m_out);
        std::fflush(m_out);
        hold.lock();
        m_written = upTo;
        m_writtenChanged.notify_all();
    }
}

}  // namespace ovxSim
