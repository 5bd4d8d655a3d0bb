// The simulator's capacity: heartbeats a second it answers from several
// agent processes, each the real library posting through its public header
// and waiting for the answer before the next heartbeat, with the simulator's
// state on disk.
//
//   ovxBenchSimCapacity SIMULATOR [SECONDS=20] [AGENTS=8]
//
// Prints the rate and, in the benchmark report's tab-separated form, the
// figure against its goal (1,000 heartbeats a second).
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ovxSensorSvcs.h"

namespace {

std::mutex g_lock;
std::condition_variable g_answered;
int g_answers = 0;

uint32_t OnComplete(const char*) {
    std::lock_guard<std::mutex> hold(g_lock);
    ++g_answers;
    g_answered.notify_all();
    return 0;
}

// One agent: heartbeats until `until`, each after the answer to the last.
// Returns the number answered.
int Agent(const std::string& folder, int index, std::chrono::steady_clock::time_point until) {
    const std::string local = folder + "/local-" + std::to_string(index) + ".ini";
    std::ofstream(local) << "[scs]\nagentIdFile=" << folder << "/agent-" << index << ".ini\n";
    const std::string comm = folder + "/comm.ini";
    if (SS_Init("5.0", local.c_str(), comm.c_str(), "capacity", nullptr, nullptr) != 0) return -1;
    RegisterResponseComplete(&OnComplete);
    const std::string agent = "{capacity-agent-" + std::to_string(index) + "}";
    int answered = 0;
    while (std::chrono::steady_clock::now() < until) {
        SS_HMESSAGE heartbeat = nullptr;
        if (CreateHeartbeat(&heartbeat, agent.c_str(), "capacity", "urn:capacity", "5.0", "127.0.0.1") != 0) break;
        for (const char* module : {"scanner", "firewall", "updater"})
            AddModuleInfo(heartbeat, module, "1.0", 0, nullptr);
        if (PostHeartbeat(heartbeat, nullptr, nullptr) != 0) {
            FreeHeartbeat(heartbeat);
            break;
        }
        std::unique_lock<std::mutex> hold(g_lock);
        if (!g_answered.wait_for(hold, std::chrono::seconds(5), [&] { return g_answers > answered; })) break;
        answered = g_answers;
    }
    SS_ShutDown();
    return answered;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s SIMULATOR [SECONDS] [AGENTS]\n", argv[0]);
        return 2;
    }
    const int seconds = argc > 2 ? std::atoi(argv[2]) : 20;
    const int agents = argc > 3 ? std::atoi(argv[3]) : 8;
    char pattern[] = "/tmp/ovx-capacity-XXXXXX";
    if (mkdtemp(pattern) == nullptr) return 1;
    const std::string folder = pattern;

    int out[2];
    if (pipe(out) != 0) return 1;
    const pid_t simulator = fork();
    if (simulator == 0) {
        dup2(out[1], STDOUT_FILENO);
        close(out[0]);
        const std::string state = folder + "/state.db";
        execl(argv[1], argv[1], "--name", "capacity", "--state", state.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    FILE* lines = fdopen(out[0], "r");
    char line[256] = "";
    if (lines == nullptr || std::fgets(line, sizeof line, lines) == nullptr) return 1;
    std::string url = line;
    url = url.substr(url.find("http"));
    while (!url.empty() && (url.back() == '\n' || url.back() == '\r')) url.pop_back();
    std::thread([lines] {
        char skipped[1024];
        while (std::fgets(skipped, sizeof skipped, lines) != nullptr) {
        }
    }).detach();
    std::ofstream(folder + "/comm.ini") << "[server.1]\nurl=" << url << "\n";

    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    std::vector<pid_t> children;
    std::vector<int> results;
    for (int a = 0; a < agents; ++a) {
        int result[2];
        if (pipe(result) != 0) return 1;
        const pid_t child = fork();
        if (child == 0) {
            close(result[0]);
            const int answered = Agent(folder, a, until);
            (void)write(result[1], &answered, sizeof answered);
            _exit(0);
        }
        close(result[1]);
        children.push_back(child);
        results.push_back(result[0]);
    }
    long total = 0;
    bool failed = false;
    for (size_t a = 0; a < children.size(); ++a) {
        int answered = -1;
        if (read(results[a], &answered, sizeof answered) != sizeof answered || answered < 0) failed = true;
        total += answered > 0 ? answered : 0;
        waitpid(children[a], nullptr, 0);
    }
    kill(simulator, SIGTERM);
    waitpid(simulator, nullptr, 0);
    std::system(("rm -rf '" + folder + "'").c_str());
    const double rate = static_cast<double>(total) / seconds;
    std::printf("simulator capacity: %.0f heartbeats/s answered (%ld in %d s, %d agent processes, state on disk)\n",
                rate, total, seconds, agents);
    std::printf("ovx-bench\tSimulator heartbeats/s, %d agent processes, state on disk\t%.0f\t\t\t>= 1000\t%s\n", agents,
                rate, rate >= 1000 ? "met" : "MISSED");
    return failed ? 1 : 0;
}
