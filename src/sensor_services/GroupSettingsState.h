// What a session knows of its group settings: the comm settings file they
// are written to and the token of the version in force, which every
// heartbeat sends back so that the server answers only with newer settings.
#ifndef OVX_SENSOR_SERVICES_GROUPSETTINGSSTATE_H
#define OVX_SENSOR_SERVICES_GROUPSETTINGSSTATE_H

#include <cstdint>
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

    // Probation of newly applied settings: what to go back to, and since
    // when no post has succeeded with them. A second change during
    // probation keeps the first one's last known good, the last settings
    // a post succeeded with.
    struct Probation {
        int64_t since = 0;
        std::string lastGood;   // the comm settings file's text before
        std::string goodToken;  // the token of those settings
        std::string newToken;   // the token on probation
    };
    bool OnProbation() const;
    // The probation in force, if any.
    bool CurrentProbation(Probation& current) const;
    void BeginProbation(int64_t now, const std::string& lastGood, const std::string& goodToken,
                        const std::string& newToken);
    // A post succeeded: the settings in force are good.
    bool EndProbation();
    // The probation that has lasted `seconds` by `now`, taken away (and
    // its token remembered as refused); false when there is none.
    bool TakeExpired(int64_t now, uint32_t seconds, Probation& expired);
    // The token of settings that were rolled back: the same settings are
    // not applied again, a newer token is.
    std::string RefusedToken() const;

private:
    mutable std::mutex m_lock;
    std::string m_commSettingsFile;
    std::string m_token = kNoToken;
    bool m_onProbation = false;
    Probation m_probation;
    std::string m_refusedToken;
};

}  // namespace ovxSensorServices

#endif  // OVX_SENSOR_SERVICES_GROUPSETTINGSSTATE_H
