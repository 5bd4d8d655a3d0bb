// A small agent run as a child process by the session tests, so that its
// exit, its peak memory or a SIGKILL is its own. It opens the shipped library
// with dlopen (the public header is all it sees) and starts a session on the
// settings files its caller wrote:
//   ovxAgentProbe MODE LIBRARY SERVICE-FOLDER LOCAL-FILE COMM-FILE [NAME COUNT KILL DELAY]
//   exit    posts a heartbeat whose server never answers, shuts down (the
//           settings' shutdownTimeout gives up on the post) and exits at once,
//           its dispatch thread still in the post;
//   dlopen  the same fifty times, the library closed right after each;
//   memory  posts two heartbeats and prints "peak-growth-kb N policy-bytes M"
//           for the second (its answer is the large one);
//   post    posts COUNT heartbeats named NAME, the i-th with a module NAME-i,
//           a few milliseconds apart, printing "posted NAME-i" as each post
//           returns, and kills itself with SIGKILL DELAY microseconds after
//           the KILL-th one, whatever its threads are doing then.
// Exit status 0: all went as asked and, with a trace sink per cycle, no line,
// error or callback reached the agent after its cycle's SS_ShutDown returned.
#include <dlfcn.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <thread>

#include "ovxSensorSvcs.h"

namespace {

void* g_library = nullptr;
// The library's entry `f`, looked up in the library open now.
#define OVX_CALL(f) reinterpret_cast<decltype(&::f)>(dlsym(g_library, #f))

constexpr uint32_t kCycles = 50;
std::atomic<bool> g_shutDown[kCycles];
SS_TraceSink g_sinks[kCycles];
std::atomic<int> g_posting{0}, g_late{0}, g_completed{0};
std::atomic<size_t> g_policyBytes{0};

uint32_t Write(uint32_t cycle, uint32_t, const char* text, const char*) {
    if (cycle >= kCycles || g_shutDown[cycle].load()) ++g_late;
    if (std::strcmp(text, "Calling service SendPendingData.") == 0) ++g_posting;
    return 0;
}
// An error of a session left running by an earlier cycle's shut-down would
// come in while a later cycle runs: any error at all got through.
uint32_t OnError(uint32_t, uint32_t) {
    ++g_late;
    return 0;
}
uint32_t OnComplete(const char*) {
    ++g_completed;
    return 0;
}
uint32_t OnPolicy(const char*, uint32_t, uint32_t, const char*, const char*, const char*, const char*, const char*,
                  uint32_t, const char*, const uint8_t*, uint32_t size, uint8_t) {
    g_policyBytes = size;
    return 0;
}

bool Post(const char* name, const char* module = nullptr) {
    SS_HMESSAGE heartbeat = nullptr;
    if (OVX_CALL(CreateHeartbeat)(&heartbeat, "{agent}", name, "urn:sensors", "5.0", "127.0.0.1") != 0) return false;
    const bool posted = (module == nullptr || OVX_CALL(AddModuleInfo)(heartbeat, module, "1.0", 0, nullptr) == 0) &&
                        OVX_CALL(PostHeartbeat)(heartbeat, nullptr, nullptr) == 0;
    if (!posted) OVX_CALL(FreeHeartbeat)(heartbeat);  // a posted heartbeat is the library's
    return posted;
}

template <class Condition>
bool Await(Condition condition) {
    for (int i = 0; i < 120000 && !condition(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return condition();
}

long PeakResidentKb() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line) && line.compare(0, 6, "VmHWM:") != 0) continue;
    return line.empty() ? -1 : std::atol(line.c_str() + 6);
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc >= 6 ? argv[1] : "";
    const bool late = mode == "exit" || mode == "dlopen";
    for (uint32_t cycle = 0; cycle < (mode == "dlopen" ? kCycles : 1); ++cycle) {
        g_library = dlopen(argv[2], RTLD_NOW | RTLD_LOCAL);
        if (g_library == nullptr || !(late || mode == "memory" || (mode == "post" && argc == 10))) return 2;
        OVX_CALL(SS_SetMSLLibPath)(argv[3]);
        g_sinks[cycle] = SS_TraceSink{cycle, 0xFFFFFFFFu, &Write};
        if (OVX_CALL(SS_Init)("5.0", argv[4], argv[5], "ovx-probe", nullptr, late ? &g_sinks[cycle] : nullptr) != 0)
            return 3;
        OVX_CALL(SS_RegisterErrorCallback)(&OnError);
        if (mode == "post") {
            std::minstd_rand random(static_cast<unsigned>(::getpid()));
            for (int i = 1; i <= std::atoi(argv[7]); ++i) {
                const std::string module = std::string(argv[6]) + "-" + std::to_string(i);
                if (!Post(argv[6], module.c_str())) return 4;
                std::printf("posted %s\n", module.c_str());
                std::fflush(stdout);
                if (i == std::atoi(argv[8]))
                    std::thread([delay = static_cast<useconds_t>(std::atol(argv[9]))] {
                        ::usleep(delay);
                        ::kill(::getpid(), SIGKILL);
                    }).detach();
                std::this_thread::sleep_for(std::chrono::milliseconds(random() % 8));
            }
            std::this_thread::sleep_for(std::chrono::seconds(60));
            return 5;
        }
        if (mode == "memory") {
            OVX_CALL(RegisterResponseComplete)(&OnComplete);
            OVX_CALL(RegisterGetPolicyResponse)(&OnPolicy);
            if (!Post("sensor") || !Await([] { return g_completed.load() == 1; })) return 4;
            const long before = PeakResidentKb();
            if (!Post("sensor") || !Await([] { return g_completed.load() == 2; })) return 4;
            std::printf("peak-growth-kb %ld policy-bytes %zu\n", PeakResidentKb() - before, g_policyBytes.load());
            OVX_CALL(SS_ShutDown)();
            return g_late.load() == 0 ? 0 : 3;
        }
        g_posting = 0;
        if (!Post("sensor") || !Await([] { return g_posting.load() != 0; })) return 4;
        std::this_thread::sleep_for(std::chrono::milliseconds(30));  // into the post
        const auto started = std::chrono::steady_clock::now();
        if (OVX_CALL(SS_ShutDown)() != 0 || std::chrono::steady_clock::now() - started > std::chrono::seconds(5))
            return 4;
        g_shutDown[cycle] = true;
        if (mode == "dlopen") dlclose(g_library);
    }
    if (g_late.load() != 0) std::fprintf(stderr, "%d calls reached the agent after SS_ShutDown\n", g_late.load());
    std::fflush(nullptr);
    // The exit itself is under test, a session's thread still in its post.
    std::exit(g_late.load() == 0 ? 0 : 3);
}
