// The pending heartbeat on disk, so that a heartbeat the agent posted
// survives the agent's restart (a crash, a kill, a reboot) while no server
// could take it. The file holds exactly the text the heartbeat would be sent
// as; each change replaces it whole (temporary file, fsync, rename), so a
// crash leaves either the old heartbeat or the new one, never half of one.
#ifndef OVX_SENSOR_SERVICES_PENDINGSTORE_H
#define OVX_SENSOR_SERVICES_PENDINGSTORE_H

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace ovxSensorServices {

class CPendingStore {
public:
    // `warn` hears a level-2 line's text for each problem (never fatal).
    explicit CPendingStore(std::function<void(const std::string&)> warn) : m_warn(std::move(warn)) {}

    // The file, "" for none (the store is off).
    void SetPath(const std::string& path);
    std::string Path() const;

    // The slot's content as of change `version` (versions only grow). A
    // write or removal of an older version than the last one done is
    // skipped, so that posts and sends racing on other threads cannot put
    // an older heartbeat back over a newer one.
    void Save(uint64_t version, const std::string& text);
    void Remove(uint64_t version);

    // The stored text, if there is a usable store. A store that cannot be
    // used (not a regular file of ours, writable by others, too large,
    // unreadable) is renamed aside with a warning; so is one the caller
    // found corrupt, through SetAside.
    bool Load(std::string& text);
    void SetAside(const std::string& why);

    // Larger than any heartbeat an agent posts: a bigger file is not ours.
    static constexpr size_t kMaxBytes = 16u * 1024 * 1024;

private:
    bool WriteLocked(const std::string& text);
    // Problems are collected under the lock and told after it is released.
    void Warn(const std::string& text);
    void Tell(std::unique_lock<std::mutex>& hold);
    void SetAsideLocked(const std::string& why);

    std::function<void(const std::string&)> m_warn;
    mutable std::mutex m_lock;
    std::string m_path;
    uint64_t m_version = 0;
    std::vector<std::string> m_warnings;
};

}  // namespace ovxSensorServices

#endif  // OVX_SENSOR_SERVICES_PENDINGSTORE_H
