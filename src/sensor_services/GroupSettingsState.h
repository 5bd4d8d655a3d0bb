// What a session knows of its group settings: the comm settings file they
// are written to and the token of the version in force, which every
// heartbeat sends back so that the server answers only with newer settings.
#ifndef OVX_SENSOR_SERVICES_GROUPSETTINGSSTATE_H
#define OVX_SENSOR_SERVICES_GROUPSETTINGSSTATE_H

#include <mutex>
#include <string>

namespace ovxSensorServices {

class CGroupSettingsState {
public:
    // The token of a session that has applied no settings yet.
    static constexpr const char* kNoToken = "0";

    // Why a token from the server cannot be taken (every heartbeat carries
    // it, so it must be text XML can carry, of at most 4095 bytes), or NULL
    // when it can.
    static const char* RefusalOf(const std::string& token);

    void SetCommSettingsFile(const std::string& path);
    std::string CommSettingsFile() const;
    void SetToken(const std::string& token);
    std::string Token() const;

private:
    mutable std::mutex m_lock;
    std::string m_commSettingsFile;
    std::string m_token = kNoToken;
};

}  // namespace ovxSensorServices

#endif  // OVX_SENSOR_SERVICES_GROUPSETTINGSSTATE_H
