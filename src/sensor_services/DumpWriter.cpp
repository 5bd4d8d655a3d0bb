#include "sensor_services/DumpWriter.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace ovxSensorServices {

bool WriteDumpFile(const char* name, const void* data, size_t size) {
    if (name == nullptr) return false;
    // Never into a file someone else made: whatever holds the name (a file
    // of another user, a link to one) is removed and the dump made anew, for
    // this user only. Where the name cannot be freed or taken, no dump.
    if (::unlink(name) != 0 && errno != ENOENT) return false;
    const int file = ::open(name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (file < 0) return false;
    const auto* bytes = static_cast<const char*>(data);
    bool written = true;
    while (size > 0) {
        ssize_t count = ::write(file, bytes, size);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) {
            written = false;
            break;
        }
        bytes += count;
        size -= static_cast<size_t>(count);
    }
    ::close(file);
    return written;
}

void CDumpWriter::Write(const char* name, const void* data, size_t size) const {
    if (!Enabled()) return;
    if (!WriteDumpFile(name, data, size) && m_skipped) m_skipped(name != nullptr ? name : "");
}

}  // namespace ovxSensorServices
