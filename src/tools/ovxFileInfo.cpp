#include "tools/ovxFileInfo.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

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

int WriteFileAtomically(const std::string& path, const std::string& content) {
    if (path.empty()) return EINVAL;
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    std::string name = path + ".tmpXXXXXX";
    // mkostemp makes the name anew, exclusively and 0600.
    const int fd = mkostemp(&name[0], O_CLOEXEC);
    if (fd < 0) return errno;
    fchmod(fd, 0600);
    size_t done = 0;
    int error = 0;
    while (done < content.size()) {
        const ssize_t wrote = write(fd, content.data() + done, content.size() - done);
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote <= 0) {
            error = wrote < 0 ? errno : ENOSPC;
            break;
        }
        done += static_cast<size_t>(wrote);
    }
    if (error == 0 && fsync(fd) != 0) error = errno;
    if (close(fd) != 0 && error == 0) error = errno;
    if (error == 0 && rename(name.c_str(), path.c_str()) != 0) error = errno;
    if (error != 0) {
        unlink(name.c_str());
        return error;
    }
    const int directory = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory >= 0) {
        fsync(directory);
        close(directory);
    }
    return 0;
}

}  // namespace ovxToolsLib
