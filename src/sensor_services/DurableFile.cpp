#include "sensor_services/DurableFile.h"

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
    const int error = ovxToolsLib::WriteFileAtomically(m_path, text);
    if (error != 0) Warn("Unable to write the " + m_what + " '" + m_path + "': " + ErrorText(error));
    return error == 0;
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
