// A file this library keeps for the agent across restarts: the pending
// heartbeat (so that a heartbeat the agent posted survives a crash, a kill or
// a reboot while no server could take it) and the last known good group
// settings of settings on probation. Each change replaces the file whole
// (temporary file, fsync, rename), so a crash leaves the old content or the
// new one, never half of one; a file that is not this user's alone is never
// read. Only a regular file is ever replaced, set aside or removed: a store
// path that names a folder, a device, a FIFO or a symbolic link is refused
// and left as it is.
#ifndef OVX_SENSOR_SERVICES_DURABLEFILE_H
#define OVX_SENSOR_SERVICES_DURABLEFILE_H

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace ovxSensorServices {

class CDurableFile {
public:
    // `what` names the file in lines ("pending heartbeat store"); `tell`
    // hears each line's trace level and text (problems are never fatal).
    using Teller = std::function<void(uint32_t level, const std::string&)>;
    CDurableFile(std::string what, Teller tell) : m_what(std::move(what)), m_warn(std::move(tell)) {}

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

    // Removes the temporary files a writer killed between making one and
    // renaming it left next to the file: names the file's own followed by
    // ".tmp" and six letters or digits, regular files of this user only.
    void RemoveLeftTemporaries();

    // Larger than any heartbeat an agent posts or any settings file: a
    // bigger file is not ours.
    static constexpr size_t kMaxBytes = 16u * 1024 * 1024;

private:
    bool WriteLocked(const std::string& text);
    // False, with a level-1 line the first time, when something other than
    // a regular file is at the path: it is never touched.
    bool UsableLocked();
    // Lines are collected under the lock and told after it is released.
    void Warn(const std::string& text, uint32_t level = kWarning);
    void Tell(std::unique_lock<std::mutex>& hold);
    void SetAsideLocked(const std::string& why);

    static constexpr uint32_t kError = 1, kWarning = 2, kProgress = 8;  // trace levels

    const std::string m_what;
    Teller m_warn;
    mutable std::mutex m_lock;
    std::string m_path;
    bool m_refused = false;  // the path is not a regular file: left alone
    uint64_t m_version = 0;
    std::vector<std::pair<uint32_t, std::string>> m_warnings;
};

}  // namespace ovxSensorServices

#endif  // OVX_SENSOR_SERVICES_DURABLEFILE_H
