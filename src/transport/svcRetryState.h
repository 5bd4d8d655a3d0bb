// The retry and failover schedule of one destination: how long to wait
// before the next attempt and which server of the list it goes to.
#ifndef OVX_TRANSPORT_SVCRETRYSTATE_H
#define OVX_TRANSPORT_SVCRETRYSTATE_H

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "ovxTraceSink.h"
#include "transport/mslLoader_ovxSessionConfigSvcs.h"

// What the schedule needs of the services object that owns it.
class svcRetryOwner {
public:
    virtual ~svcRetryOwner() = default;
    virtual int32_t DefaultDestination() const = 0;
    // The owner's trace lines (the schedule writes at level 8).
    virtual void Trace(uint32_t level, const char* where, const char* text) const = 0;
    virtual bool TraceWanted(uint32_t level) const = 0;
    // The SCS entries to read settings and the server count through.
    virtual const mslLoader_ovxSessionConfigSvcs::ScsFunctionTable& ScsTable() const {
        return mslLoader_ovxSessionConfigSvcs::Scs();
    }
};

class svcRetryState {
public:
    static constexpr uint32_t kInfinite = 0xFFFFFFFFu;  // wait without limit
    static constexpr int32_t kNoServer = -1;

    svcRetryState() = default;
    virtual ~svcRetryState() = default;
    svcRetryState(const svcRetryState&) = delete;
    svcRetryState& operator=(const svcRetryState&) = delete;

    // Not thread-safe: the owner calls every operation under its own lock.
    virtual uint32_t Init(const char* role, svcRetryOwner* owner);
    virtual const std::string& GetSectionName() const { return m_section; }
    virtual uint32_t ReloadDefault();
    virtual uint32_t Reload(int32_t destination);
    virtual void GetSchedule(uint32_t* timeout, int32_t* index) const;
    // The wait really handed out by the last NextState (jitter and the
    // server's Retry-After included), kInfinite when none is scheduled.
    uint32_t HandedDelay() const { return m_handed; }
    // Warnings about settings that were refused by the last reads (level 2
    // lines for the owner to write once its lock is released). Clears them.
    std::vector<std::string> TakeWarnings();
    virtual void NextState(uint32_t result, uint32_t* timeout, int32_t* index);
    // Whether the last NextState gave the request up on every server; the
    // owner reports that once it has released its lock. Clears the mark.
    bool TakeGaveUp() {
        const bool gaveUp = m_gaveUp;
        m_gaveUp = false;
        return gaveUp;
    }
    virtual void Reset();
    virtual void SetServer(uint32_t timeout, int32_t index);
    // The wait the server asked for with its last answer (Retry-After, ms),
    // honoured by the next NextState only: that turn waits the longer of the
    // schedule's delay and this one, capped at retryCeiling.
    void SetServerDelay(uint32_t delayMs) { m_serverDelay = delayMs; }
    virtual bool GetDispatchPending() const { return m_dispatchPending; }
    virtual void SetDispatchPending(bool pending) { m_dispatchPending = pending; }

    // The section of a server role, "" for an unknown role.
    static std::string SectionForRole(const std::string& role);

    // Read-only views for diagnostics and tests.
    uint32_t retryInterval() const { return m_retryInterval; }
    uint32_t retryCeiling() const { return m_retryCeiling; }
    uint32_t maxServerRetry() const { return m_maxServerRetry; }
    uint32_t retryPrimaryServer() const { return m_retryPrimaryServer; }
    uint32_t retryJitter() const { return m_retryJitter; }
    bool retryServerLoop() const { return m_retryServerLoop; }
    uint32_t serverCount() const { return m_serverCount; }
    uint32_t attempts() const { return m_attempts; }

private:
    // Step 1 of NextState after a failed attempt: the longer wait, and the
    // next server once this one has had its tries. True when every server
    // has failed and the list is not to be tried again.
    bool AfterFailure(bool backOffOnly);
    // Step 2: back to the first server once long enough away from it. True
    // when that happened while nothing was scheduled.
    bool BackToPrimary();
    void Trace(const char* where, const std::string& text) const;
    bool ReadNumber(int32_t destination, const char* key, uint32_t* field) const;
    void ReadJitter(int32_t destination);
    // The delay handed out for `delay`: jittered, then stretched to what the
    // server asked for.
    uint32_t Handed(uint32_t delay);

    std::string m_role;
    svcRetryOwner* m_owner = nullptr;
    std::string m_section;
    uint32_t m_retryInterval = 60000;
    uint32_t m_retryCeiling = 1800000;
    uint32_t m_maxServerRetry = 5;
    uint32_t m_retryPrimaryServer = 7200;
    bool m_retryServerLoop = true;
    uint32_t m_retryJitter = 0;  // percent of each delay that may be taken off at random
    uint32_t m_serverDelay = 0;
    std::mt19937 m_random{std::random_device{}()};
    uint32_t m_timeout = kInfinite;
    uint32_t m_handed = kInfinite;
    std::vector<std::string> m_warnings;
    int32_t m_index = kNoServer;
    uint32_t m_serverCount = 0;
    uint32_t m_attempts = 0;
    int64_t m_primaryLeftAt = 0;
    bool m_dispatchPending = false;
    bool m_gaveUp = false;
};

#endif  // OVX_TRANSPORT_SVCRETRYSTATE_H
