// A file this library keeps for the agent across restarts: the pending
// heartbeat (so that a heartbeat the agent posted survives a crash, a kill or
// a reboot while no server could take it) and the last known good group
// settings of settings on probation. Each change replaces the file whole
// (temporary file, fsync, rename), so a crash leaves the old content or the
// new one, never half of one; a file that is not this user's alone is never
// read.
#ifndef OVX_SENSOR_SERVICES_DURABLEFILE_H
#define OVX_SENSOR_SERVICES_DURABLEFILE_H

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace ovxSensorServices {

class CDurableFile {
public:
    // `what` names the file in warnings ("pending heartbeat store"); `warn`
    // hears a level-2 line's text for each problem (never fatal).
    CDurableFile(std::string what, std::function<void(const std::string&)> warn)
        : m_what(std::move(what)), m_warn(std::move(warn)) {}

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

    // Larger than any heartbeat an agent posts or any settings file: a
    // bigger file is not ours.
    static constexpr size_t kMaxBytes = 16u * 1024 * 1024;

private:
    bool WriteLocked(const std::string& text);
    // Problems are collected under the lock and told after it is released.
    void Warn(const std::string& text);
    void Tell(std::unique_lock<std::mutex>& hold);
    void SetAsideLocked(const std::string& why);

    const std::string m_what;
    std::function<void(const std::string&)> m_warn;
    mutable std::mutex m_lock;
    std::string m_path;
    uint64_t m_version = 0;
    std::vector<std::string> m_warnings;
};

}  // namespace ovxSensorServices

#endif  // OVX_SENSOR_SERVICES_DURABLEFILE_H
