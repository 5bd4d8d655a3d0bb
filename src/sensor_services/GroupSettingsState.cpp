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

}  // namespace ovxSensorServices
