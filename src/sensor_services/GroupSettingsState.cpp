#include "sensor_services/GroupSettingsState.h"

#include "sensor_services/SessionText.h"
#include "tools/ovxXmlChars.h"

namespace ovxSensorServices {

const char* CGroupSettingsState::RefusalOf(const std::string& token) {
    if (token.size() > kMaxArgumentBytes) return "Group settings refused: the token is longer than 4095 bytes.";
    if (!ovxToolsLib::ovxIsXmlText(token))
        return "Group settings refused: the token holds a character XML cannot carry.";
    return nullptr;
}

void CGroupSettingsState::SetCommSettingsFile(const std::string& path) {
    std::lock_guard<std::mutex> hold(m_lock);
    m_commSettingsFile = path;
}

std::string CGroupSettingsState::CommSettingsFile() const {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_commSettingsFile;
}

void CGroupSettingsState::SetToken(const std::string& token) {
    std::lock_guard<std::mutex> hold(m_lock);
    m_token = token;
}

std::string CGroupSettingsState::Token() const {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_token;
}

bool CGroupSettingsState::OnProbation() const {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_onProbation;
}

bool CGroupSettingsState::CurrentProbation(Probation& current) const {
    std::lock_guard<std::mutex> hold(m_lock);
    if (!m_onProbation) return false;
    current = m_probation;
    return true;
}

void CGroupSettingsState::BeginProbation(int64_t now, const std::string& lastGood, const std::string& goodToken,
                                         const std::string& newToken) {
    std::lock_guard<std::mutex> hold(m_lock);
    if (!m_onProbation) {
        m_probation.lastGood = lastGood;
        m_probation.goodToken = goodToken;
    }
    m_probation.since = now;
    m_probation.newToken = newToken;
    m_onProbation = true;
}

bool CGroupSettingsState::EndProbation() {
    std::lock_guard<std::mutex> hold(m_lock);
    const bool was = m_onProbation;
    m_onProbation = false;
    m_probation = Probation();
    return was;
}

bool CGroupSettingsState::TakeExpired(int64_t now, uint32_t seconds, Probation& expired) {
    std::lock_guard<std::mutex> hold(m_lock);
    // The clock counts whole seconds: more than `seconds` of them between
    // the two readings means at least `seconds` have really passed.
    if (!m_onProbation || now - m_probation.since <= static_cast<int64_t>(seconds)) return false;
    expired = std::move(m_probation);
    m_probation = Probation();
    m_onProbation = false;
    m_refusedToken = expired.newToken;
    return true;
}

std::string CGroupSettingsState::RefusedToken() const {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_refusedToken;
}

}  // namespace ovxSensorServices
