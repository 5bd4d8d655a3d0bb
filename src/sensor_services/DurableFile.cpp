#include "sensor_services/DurableFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

namespace ovxSensorServices {
namespace {

std::string ErrorText(int error) { return std::strerror(error); }

std::string Folder(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool WriteAll(int file, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t written = ::write(file, data, size);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

}  // namespace

void CDurableFile::Warn(const std::string& text) { m_warnings.push_back(text); }

void CDurableFile::Tell(std::unique_lock<std::mutex>& hold) {
    // The agent's trace sink is never called under a lock of ours.
    std::vector<std::string> warnings;
    warnings.swap(m_warnings);
    hold.unlock();
    for (const std::string& text : warnings) m_warn(text);
}

void CDurableFile::SetPath(const std::string& path) {
    std::lock_guard<std::mutex> hold(m_lock);
    m_path = path;
}

std::string CDurableFile::Path() const {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_path;
}

bool CDurableFile::WriteLocked(const std::string& text) {
    // A name of our own next to the store, made anew (never a file someone
    // else prepared), 0600; renamed over the store once it is on disk.
    const std::string temporary = m_path + ".tmp." + std::to_string(::getpid());
    ::unlink(temporary.c_str());
    const int file = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (file < 0) {
        Warn("Unable to write the " + m_what + " '" + temporary + "': " + ErrorText(errno));
        return false;
    }
    const bool written = WriteAll(file, text.data(), text.size()) && ::fsync(file) == 0;
    const int error = errno;
    ::close(file);
    if (!written || ::rename(temporary.c_str(), m_path.c_str()) != 0) {
        Warn("Unable to write the " + m_what + " '" + m_path + "': " + ErrorText(written ? errno : error));
        ::unlink(temporary.c_str());
        return false;
    }
    // The rename itself reaches the disk with its folder.
    const int folder = ::open(Folder(m_path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        ::fsync(folder);
        ::close(folder);
    }
    return true;
}

void CDurableFile::Save(uint64_t version, const std::string& text) {
    std::unique_lock<std::mutex> hold(m_lock);
    if (m_path.empty() || version < m_version) return;
    m_version = version;
    WriteLocked(text);
    Tell(hold);
}

void CDurableFile::Remove(uint64_t version) {
    std::unique_lock<std::mutex> hold(m_lock);
    if (m_path.empty() || version < m_version) return;
    m_version = version;
    if (::unlink(m_path.c_str()) != 0 && errno != ENOENT) {
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
    if (!m_path.empty()) SetAsideLocked(why);
    Tell(hold);
}

bool CDurableFile::Load(std::string& text) {
    std::unique_lock<std::mutex> hold(m_lock);
    text.clear();
    if (m_path.empty()) return false;
    const int file = ::open(m_path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (file < 0) {
        if (errno == ENOENT) return false;  // nothing was pending
        SetAsideLocked("cannot be opened (" + ErrorText(errno) + ")");
        Tell(hold);
        return false;
    }
    struct stat about {};
    std::string problem;
    if (::fstat(file, &about) != 0) {
        problem = "cannot be examined";
    } else if (!S_ISREG(about.st_mode)) {
        problem = "is not a regular file";
    } else if (about.st_uid != ::geteuid() || (about.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        // Only what this user wrote is sent in this agent's name.
        problem = "is not this user's alone";
    } else if (static_cast<uint64_t>(about.st_size) > kMaxBytes || about.st_size == 0) {
        problem = "has an impossible size";
    }
    if (problem.empty()) {
        text.resize(static_cast<size_t>(about.st_size));
        size_t done = 0;
        while (done < text.size()) {
            const ssize_t got = ::read(file, &text[done], text.size() - done);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) break;
            done += static_cast<size_t>(got);
        }
        if (done != text.size()) problem = "cannot be read";
    }
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
