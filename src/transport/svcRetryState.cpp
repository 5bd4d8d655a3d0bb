#include "transport/svcRetryState.h"

#include <cstdlib>

#include "ovxStatus.h"
#include "tools/ovxClock.h"
#include "tools/ovxSettingValue.h"
#include "tools/ovxTrace.h"

namespace {
const char kNextWhere[] = "svcRetryState::NextState()";
const char kReloadWhere[] = "svcRetryState::Reload()";
}  // namespace

std::string svcRetryState::SectionForRole(const std::string& role) {
    static const std::pair<const char*, const char*> kSections[] = {
        {"Agent Manager", "sensor_services"},
        {"Event Server", "event_services"},
        {"Update Server", "update_services"},
    };
    for (const auto& entry : kSections) {
        if (role == entry.first) return entry.second;
    }
    return "";
}

void svcRetryState::Trace(const char* where, const std::string& text) const {
    if (m_owner != nullptr) m_owner->Trace(SS_TRACE_PROGRESS, where, text.c_str());
}

uint32_t svcRetryState::Init(const char* role, svcRetryOwner* owner) {
    m_role = role != nullptr ? role : "";
    m_owner = owner;
    m_section = SectionForRole(m_role);
    uint32_t status = ReloadDefault();
    Reset();
    return status;
}

uint32_t svcRetryState::ReloadDefault() {
    if (m_owner == nullptr) return OVX_E_INVALID_ARGUMENT;
    return Reload(m_owner->DefaultDestination());
}

bool svcRetryState::ReadNumber(int32_t destination, const char* key, uint32_t* field) const {
    const auto& scs = m_owner->ScsTable();
    char* value = nullptr;
    uint32_t status = scs.SCS_RetrieveLocalSettingsValue(destination, m_section.c_str(), key, &value);
    bool found = status == 0 && value != nullptr;
    if (found) *field = static_cast<uint32_t>(std::strtol(value, nullptr, 10));
    if (value != nullptr) scs.SCS_Free(value);
    return found;
}

void svcRetryState::ReadJitter(int32_t destination) {
    // Ours, unlike the keys around it: read strictly, and a value out of
    // its range is said, not clamped.
    static const ovxToolsLib::ovxSettingRule kJitter{"retryJitter", 0, 100, 0};
    const auto& scs = m_owner->ScsTable();
    char* value = nullptr;
    if (scs.SCS_RetrieveLocalSettingsValue(destination, m_section.c_str(), kJitter.key, &value) == 0 &&
        value != nullptr) {
        std::string warning;
        m_retryJitter = static_cast<uint32_t>(ovxToolsLib::ReadSettingNumber(kJitter, value, warning));
        if (!warning.empty()) m_warnings.push_back(warning);
    }
    if (value != nullptr) scs.SCS_Free(value);
}

uint32_t svcRetryState::Reload(int32_t destination) {
    if (m_owner == nullptr) return OVX_E_INVALID_ARGUMENT;
    ReadNumber(destination, "retryInterval", &m_retryInterval);
    ReadNumber(destination, "retryCeiling", &m_retryCeiling);
    ReadNumber(destination, "maxServerRetry", &m_maxServerRetry);
    ReadNumber(destination, "retryPrimaryServer", &m_retryPrimaryServer);
    ReadJitter(destination);

    const auto& scs = m_owner->ScsTable();
    char* loop = nullptr;
    uint32_t status = scs.SCS_RetrieveLocalSettingsValue(destination, m_section.c_str(), "retryServerLoop", &loop);
    // Only the exact word "false" turns the loop off; anything else, an empty
    // value and a missing key all keep it on.
    m_retryServerLoop = !(status == 0 && loop != nullptr && std::string(loop) == "false");
    if (loop != nullptr) scs.SCS_Free(loop);

    uint32_t count = 0;
    status = scs.SCS_GetServerCount(destination, &count);
    if (status != 0) {
        Trace(kReloadWhere, "Unable to get server count for destination " + std::to_string(destination));
        return status;
    }
    m_serverCount = count;
    if (count == 0) Trace(kReloadWhere, "No available servers for destination " + std::to_string(destination));
    return status;
}

std::vector<std::string> svcRetryState::TakeWarnings() {
    std::vector<std::string> warnings;
    warnings.swap(m_warnings);
    return warnings;
}

void svcRetryState::GetSchedule(uint32_t* timeout, int32_t* index) const {
    if (timeout != nullptr) *timeout = m_timeout;
    if (index != nullptr) *index = m_index;
}

void svcRetryState::Reset() {
    m_timeout = kInfinite;
    m_handed = kInfinite;
    m_attempts = 0;
    m_primaryLeftAt = 0;
    m_dispatchPending = false;
    m_index = m_serverCount != 0 ? 0 : kNoServer;
}

void svcRetryState::SetServer(uint32_t timeout, int32_t index) {
    if (m_serverCount == 0 || index < 0 || static_cast<uint32_t>(index) >= m_serverCount) return;
    m_index = index;
    m_timeout = timeout;
    m_attempts = 0;
    m_primaryLeftAt = ovxToolsLib::ovxClock::NowSeconds();
}

bool svcRetryState::AfterFailure(bool backOffOnly) {
    if (m_timeout == 0 || m_timeout == kInfinite) {
        m_timeout = m_retryInterval;
    } else if (m_timeout != m_retryCeiling) {
        uint64_t doubled = static_cast<uint64_t>(m_timeout) * 2;
        m_timeout = doubled >= m_retryCeiling ? m_retryCeiling : static_cast<uint32_t>(doubled);
    }
    // A server that asked to be left alone for a while has not failed.
    if (m_serverCount == 0 || backOffOnly) return false;
    ++m_attempts;
    if (m_attempts < m_maxServerRetry) {
        Trace(kNextWhere, "Can retry failed server again. Attempts made: " + std::to_string(m_attempts) + " of " +
                              std::to_string(m_maxServerRetry));
        return false;
    }
    bool givenUp = false;
    ++m_index;
    if (static_cast<uint32_t>(m_index) < m_serverCount) {
        Trace(kNextWhere, "Cannot retry failed server again. Attempts made: " + std::to_string(m_attempts) + " of " +
                              std::to_string(m_maxServerRetry) + ". Switching to next server: " +
                              std::to_string(m_index) + " of " + std::to_string(m_serverCount));
    } else {
        m_index = 0;
        givenUp = !m_retryServerLoop;
    }
    m_timeout = m_maxServerRetry < 2 ? m_retryInterval : 0;
    if (m_index == 1) m_primaryLeftAt = ovxToolsLib::ovxClock::NowSeconds();
    m_attempts = 0;
    return givenUp;
}

bool svcRetryState::BackToPrimary() {
    if (m_index < 1) return false;
    uint64_t away = static_cast<uint64_t>(ovxToolsLib::ovxClock::NowSeconds() - m_primaryLeftAt);
    if (away <= m_retryPrimaryServer) return false;
    m_index = 0;
    if (m_timeout == kInfinite) return true;
    m_timeout = m_retryInterval;
    return false;
}

uint32_t svcRetryState::Handed(uint32_t delay) {
    if (delay == kInfinite) return delay;
    // Drawn from [delay x (1 - j/100), delay]: after the ceiling, so that a
    // fleet that reached the ceiling together still spreads out.
    if (m_retryJitter != 0 && delay != 0) {
        const uint32_t lowest = static_cast<uint32_t>(static_cast<uint64_t>(delay) * (100 - m_retryJitter) / 100);
        delay = std::uniform_int_distribution<uint32_t>(lowest, delay)(m_random);
    }
    const uint32_t asked = m_serverDelay < m_retryCeiling ? m_serverDelay : m_retryCeiling;
    return asked > delay ? asked : delay;
}

void svcRetryState::NextState(uint32_t result, uint32_t* timeout, int32_t* index) {
    const bool backOffOnly = result == OVX_I_SCS_BACK_OFF;
    bool givenUp = false;

    // 1. The outcome of the last attempt.
    if (result == 0) {
        m_timeout = kInfinite;
        m_attempts = 0;
    } else if (result == OVX_E_TRY_AGAIN) {  // try again at once
        m_timeout = 0;
    } else if (result == OVX_E_NOTHING_OPEN) {  // no server to try
        m_timeout = kInfinite;
    } else {
        givenUp = AfterFailure(backOffOnly);
    }

    // 2. Back to the primary server after long enough away from it.
    const bool skipFirstServerFix = !backOffOnly && BackToPrimary();

    // 3. A list that gained servers starts at the first.
    if (!skipFirstServerFix && m_index == kNoServer && m_serverCount != 0) m_index = 0;

    // 4. Given up on every server.
    if (givenUp) {
        Trace(kNextWhere, "Retries failed on all servers in the server list! No more retries for this request!");
        // Reported by the owner once its lock is released: the agent's
        // error callback must never run under it.
        m_gaveUp = true;
        m_timeout = kInfinite;
        m_attempts = 0;
        m_index = 0;
    }

    // 5. Data queued while idle goes out at once.
    if (m_dispatchPending && m_timeout == kInfinite) m_timeout = 0;
    m_dispatchPending = false;

    // 6. The schedule.
    const uint32_t handed = Handed(m_timeout);
    m_handed = handed;
    m_serverDelay = 0;
    if (timeout != nullptr) *timeout = handed;
    int32_t outIndex = index != nullptr ? *index : kNoServer;
    if (m_serverCount == 0) {
        m_index = kNoServer;
        outIndex = kNoServer;
    } else if (static_cast<uint32_t>(m_index) < m_serverCount) {
        outIndex = m_index;
    }
    if (index != nullptr) *index = outIndex;

    // 7.
    if (handed != kInfinite) {
        Trace(kNextWhere, "Next retry in " + std::to_string(handed / 1000) + " seconds to server index #" +
                              std::to_string(outIndex));
    }
}
