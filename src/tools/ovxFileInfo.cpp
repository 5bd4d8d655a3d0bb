#include "tools/ovxFileInfo.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace ovxToolsLib {

int64_t RegularFileSize(int fd) {
    struct stat info;
    if (fd < 0 || fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) return -1;
    return static_cast<int64_t>(info.st_size);
}

bool ReadFromStart(int fd, void* data, size_t size) {
    auto* bytes = static_cast<unsigned char*>(data);
    size_t done = 0;
    while (done < size) {
        ssize_t got = pread(fd, bytes + done, size - done, static_cast<off_t>(done));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        done += static_cast<size_t>(got);
    }
    return true;
}

}  // namespace ovxToolsLib
