// Files and waits shared by the tests: a private folder that goes with its
// contents however the test ends, whole-file reads and writes, a bounded
// wait for a condition, and what a thread or a child process gives back.
#ifndef OVX_TESTS_SUPPORT_TESTFILES_H
#define OVX_TESTS_SUPPORT_TESTFILES_H

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace ovxTest {

class TempDir {
public:
    explicit TempDir(const std::string& name = "ovx") {
        std::string pattern = "/tmp/" + name + "-XXXXXX";
        m_path = mkdtemp(&pattern[0]) != nullptr ? pattern : "";
        if (m_path.empty()) ADD_FAILURE() << "no temporary folder for " << name;
    }
    ~TempDir() {
        std::error_code ignored;
        if (!m_path.empty()) std::filesystem::remove_all(m_path, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return m_path; }
    std::string operator/(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

inline void WriteText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

inline std::string ReadText(const std::string& path) {
    std::ostringstream content;
    content << std::ifstream(path, std::ios::binary).rdbuf();
    return content.str();
}

// Polls `condition` every 2 ms; false when it still fails after `limit`.
template <class Condition>
bool WaitFor(Condition condition, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    const auto until = std::chrono::steady_clock::now() + limit;
    for (; !condition(); std::this_thread::sleep_for(std::chrono::milliseconds(2)))
        if (std::chrono::steady_clock::now() > until) return false;
    return true;
}

// Runs body(t) for t from 0 to count - 1, each on a thread of its own, all
// at once; returns when every one has ended.
template <class Body>
void OnThreads(int count, Body body) {
    std::vector<std::thread> threads;
    for (int t = 0; t < count; ++t) threads.emplace_back(body, t);
    for (std::thread& thread : threads) thread.join();
}

// What f() returns when run on a thread of its own, joined before return.
template <class F>
auto OnAnotherThread(F f) {
    return std::async(std::launch::async, f).get();
}

// The exit status of a child process that runs `body` and exits with what
// it returns; -1 when it ended otherwise (a signal).
inline int ChildExit(const std::function<int()>& body) {
    const pid_t child = fork();
    if (child == 0) _exit(body());
    int status = -1;
    EXPECT_EQ(child, waitpid(child, &status, 0));
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// What a shell printed for `command` and how it ended (pclose's status).
struct ShellRun {
    int status;
    std::string output;
};
inline ShellRun RunShell(const std::string& command) {
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return {-1, ""};
    std::string output = ReadText("/proc/self/fd/" + std::to_string(fileno(pipe)));
    return {pclose(pipe), std::move(output)};
}

}  // namespace ovxTest

#endif  // OVX_TESTS_SUPPORT_TESTFILES_H
