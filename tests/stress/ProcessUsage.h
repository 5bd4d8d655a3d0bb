// What the long-run checks read of their own process: resident memory and
// CPU time.
#ifndef OVX_TESTS_STRESS_PROCESSUSAGE_H
#define OVX_TESTS_STRESS_PROCESSUSAGE_H

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cstdlib>
#include <fstream>
#include <string>

namespace ovxTest {

// Resident memory in KiB of one kind: "RssAnon", "RssFile" or "RssShmem".
inline long ResidentKiB(const char* kind) {
    std::ifstream status("/proc/self/status");
    const std::string prefix = std::string(kind) + ":";
    for (std::string line; std::getline(status, line);)
        if (line.compare(0, prefix.size(), prefix) == 0) return std::atol(line.c_str() + prefix.size());
    ADD_FAILURE() << "no " << kind << " in /proc/self/status";
    return 0;
}

inline long ResidentKiB() { return ResidentKiB("RssAnon") + ResidentKiB("RssFile") + ResidentKiB("RssShmem"); }

// User and system CPU time of the whole process.
inline double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

}  // namespace ovxTest

#endif  // OVX_TESTS_STRESS_PROCESSUSAGE_H
