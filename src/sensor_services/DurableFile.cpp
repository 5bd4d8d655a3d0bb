#include "sensor_services/DurableFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <vector>

#include "tools/ovxFileInfo.h"

namespace ovxSensorServices {
namespace {

std::string ErrorText(int error) { return std::strerror(error); }

const char* KindOf(mode_t mode) {
    if (S_ISDIR(mode)) return "a folder";
    if (S_ISLNK(mode)) return "a symbolic link";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
    if (S_ISSOCK(mode)) return "a socket";
    return "not a regular file";
}

// The name mkostemp gives a temporary file of `base`: base.tmpXXXXXX.
bool IsTemporaryOf(const std::string& name, const std::string& base) {
    const std::string prefix = base + ".tmp";
    if (name.size() != prefix.size() + 6 || name.compare(0, prefix.size(), prefix) != 0) return false;
    for (size_t i = prefix.size(); i < name.size(); ++i) {
        const char c = name[i];
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))) return false;
    }
    return true;
}

}  // namespace

void CDurableFile::Warn(const std::string& text, uint32_t level) { m_warnings.emplace_back(level, text); }

void CDurableFile::Tell(std::unique_lock<std::mutex>& hold) {
    // The agent's trace sink is never called under a lock of ours.
    std::vector<std::pair<uint32_t, std::string>> warnings;
    warnings.swap(m_warnings);
    hold.unlock();
    for (const auto& line : warnings) m_warn(line.first, line.second);
}

void CDurableFile::SetPath(const std::string& path) {
    std::lock_guard<std::mutex> hold(m_lock);
    if (path != m_path) m_refused = false;
    m_path = path;
}

std::string CDurableFile::Path() const {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_path;
}

bool CDurableFile::UsableLocked() {
    if (m_path.empty() || m_refused) return false;
    struct stat about {};
    if (::lstat(m_path.c_str(), &about) != 0 || S_ISREG(about.st_mode)) return true;
    m_refused = true;
    Warn("The " + m_what + " '" + m_path + "' is " + KindOf(about.st_mode) +
             ", not a regular file: it is left as it is and nothing is kept there.",
         kError);
    return false;
}

void CDurableFile::RemoveLeftTemporaries() {
    std::unique_lock<std::mutex> hold(m_lock);
    if (m_path.empty()) return;
    const size_t slash = m_path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : (slash == 0 ? "/" : m_path.substr(0, slash));
    const std::string base = slash == std::string::npos ? m_path : m_path.substr(slash + 1);
    const int at = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (at < 0) return;
    DIR* entries = ::fdopendir(at);
    if (entries == nullptr) {
        ::close(at);
        return;
    }
    unsigned removed = 0;
    while (const dirent* entry = ::readdir(entries)) {
        if (!IsTemporaryOf(entry->d_name, base)) continue;
        struct stat about {};
        // Not followed: a link by that name is not ours, nor what it names.
        if (::fstatat(at, entry->d_name, &about, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(about.st_mode) ||
            about.st_uid != ::geteuid()) {
            continue;
        }
        if (::unlinkat(at, entry->d_name, 0) == 0) ++removed;
    }
    ::closedir(entries);
    if (removed != 0) {
        Warn("Removed " + std::to_string(removed) + " temporary file(s) of the " + m_what +
                 " left by a writer that was stopped.",
             kProgress);
    }
    Tell(hold);
}

bool CDurableFile::WriteLocked(const std::string& text) {
    const int error = ovxToolsLib::WriteFileAtomically(m_path, text);
    if (error != 0) Warn("Unable to write the " + m_what + " '" + m_path + "': " + ErrorText(error));
    return error == 0;
}

void CDurableFile::Save(uint64_t version, const std::string& text) {
    std::unique_lock<std::mutex> hold(m_lock);
    if (m_path.empty() || version < m_version) return;
    m_version = version;
    if (UsableLocked()) WriteLocked(text);
    Tell(hold);
}

void CDurableFile::Remove(uint64_t version) {
    std::unique_lock<std::mutex> hold(m_lock);
    if (m_path.empty() || version < m_version) return;
    m_version = version;
    if (UsableLocked() && ::unlink(m_path.c_str()) != 0 && errno != ENOENT) {
        Warn("Unable to remove the " + m_what + " '" + m_path + "': " + ErrorText(errno));
    }
    Tell(hold);
}

void CDurableFile::SetAsideLocked(const std::string& why) {
    // Time, process and a count: two stores set aside never share a name.
    static std::atomic<unsigned> s_count{0};
    const std::string aside = m_path + ".bad." + std::to_string(static_cast<long long>(std::time(nullptr))) + "." +
                              std::to_string(::getpid()) + "." + std::to_string(++s_count);
    if (::rename(m_path.c_str(), aside.c_str()) == 0) {
        Warn("The " + m_what + " '" + m_path + "' " + why + "; it was moved to '" + aside + "'.");
    } else {
        Warn("The " + m_what + " '" + m_path + "' " + why + " and cannot be moved aside: " + ErrorText(errno));
    }
}

void CDurableFile::SetAside(const std::string& why) {
    std::unique_lock<std::mutex> hold(m_lock);
    if (UsableLocked()) SetAsideLocked(why);
    Tell(hold);
}

bool CDurableFile::Load(std::string& text) {
    std::unique_lock<std::mutex> hold(m_lock);
    text.clear();
    if (!UsableLocked()) {
        Tell(hold);
        return false;
    }
    const int file = ::open(m_path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (file < 0) {
        if (errno == ENOENT) return false;  // nothing was pending
        if (errno == ELOOP) {               // a link put there since it was looked at
            UsableLocked();
            Tell(hold);
            return false;
        }
        SetAsideLocked("cannot be opened (" + ErrorText(errno) + ")");
        Tell(hold);
        return false;
    }
    struct stat about {};
    std::string problem;
    if (::fstat(file, &about) == 0 && !S_ISREG(about.st_mode)) {
        ::close(file);  // swapped since it was looked at: refused all the same
        UsableLocked();
        Tell(hold);
        return false;
    }
    if (::fstat(file, &about) != 0) {
        problem = "cannot be examined";
    } else if (about.st_uid != ::geteuid() || (about.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        // Only what this user wrote is sent in this agent's name.
        problem = "is not this user's alone";
    } else if (static_cast<uint64_t>(about.st_size) > kMaxBytes || about.st_size == 0) {
        problem = "has an impossible size";
    }
    if (problem.empty() && !ovxToolsLib::ReadRegularFile(file, kMaxBytes, text)) problem = "cannot be read";
    ::close(file);
    if (!problem.empty()) {
        text.clear();
        SetAsideLocked(problem);
        Tell(hold);
        return false;
    }
    return true;
}

}  // namespace ovxSensorServices
