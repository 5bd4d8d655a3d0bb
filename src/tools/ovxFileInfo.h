// Whole-file reads of settings, keys and libraries: only a regular file of a
// bounded size is read, so a FIFO, a device or a huge file cannot stall or
// exhaust the agent's process. And whole-file writes that a crash cannot
// leave half done.
#ifndef OVX_TOOLS_OVXFILEINFO_H
#define OVX_TOOLS_OVXFILEINFO_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace ovxToolsLib {

// The size of the open file `fd` when it is a regular file, else -1.
int64_t RegularFileSize(int fd);

// Reads `size` bytes from the start of `fd`; false when the file gives fewer.
bool ReadFromStart(int fd, void* data, size_t size);

// The whole of the regular file `fd` into `out` (a std::string or a vector
// of bytes); false, with `out` unspecified, for anything else or anything
// larger than `limit`.
template <class Bytes>
bool ReadRegularFile(int fd, size_t limit, Bytes& out) {
    const int64_t size = RegularFileSize(fd);
    if (size < 0 || static_cast<uint64_t>(size) > limit) return false;
    out.resize(static_cast<size_t>(size));
    return out.empty() || ReadFromStart(fd, &out[0], out.size());
}

// Replaces `path` with `content` so that a reader sees the old file or the
// new one, never a part: a temporary file made anew in the same folder
// (0600, never one someone else made), fsync, rename, fsync of the folder.
// Returns 0, or the system error with the old file untouched.
int WriteFileAtomically(const std::string& path, const std::string& content);

}  // namespace ovxToolsLib

#endif  // OVX_TOOLS_OVXFILEINFO_H
