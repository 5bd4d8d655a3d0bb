// Diagnostic dumps of the conversation (requests and answers as sent and
// received), written when the local settings ask for them. Dumps can carry
// credentials: each is made anew for this user only, never into a file
// someone else made.
#ifndef OVX_SENSOR_SERVICES_DUMPWRITER_H
#define OVX_SENSOR_SERVICES_DUMPWRITER_H

#include <atomic>
#include <cstddef>
#include <functional>
#include <string>

namespace ovxSensorServices {

// Writes a diagnostic dump: whatever holds the name is removed and the file
// made anew, 0600, for this user only; a name that cannot be freed or taken
// is skipped. Returns whether it was written.
bool WriteDumpFile(const char* name, const void* data, size_t size);

class CDumpWriter {
public:
    // `skipped` hears the name of each dump that could not be written.
    explicit CDumpWriter(std::function<void(const std::string&)> skipped) : m_skipped(std::move(skipped)) {}

    void SetEnabled(bool enabled) { m_enabled.store(enabled); }
    bool Enabled() const { return m_enabled.load(); }
    // Writes the dump when dumps are enabled.
    void Write(const char* name, const void* data, size_t size) const;

private:
    std::atomic<bool> m_enabled{false};
    std::function<void(const std::string&)> m_skipped;
};

}  // namespace ovxSensorServices

#endif  // OVX_SENSOR_SERVICES_DUMPWRITER_H
