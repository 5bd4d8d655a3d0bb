// A small agent, run as a child process by the shut-down edge tests. It opens
// the shipped library with dlopen, starts a session whose heartbeat post
// hangs (a server that accepts connections and never answers), and shuts
// down with a short shutdownTimeout, so that the dispatch thread is left in
// its post. Then:
//   exit   LIBRARY SERVICE-FOLDER WORK-FOLDER  exits at once;
//   dlopen LIBRARY SERVICE-FOLDER WORK-FOLDER  closes the library at once and
//                                               starts again, fifty times.
// The settings files go into WORK-FOLDER, which the caller removes.
// Each cycle has its own trace sink, whose context names the cycle; a line
// written through it after that cycle's SS_ShutDown returned is counted (the
// agent could have freed the sink by then). Exit status 0 means nothing of a
// session reached the agent after its shut-down.
#include <dlfcn.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include "Listener.h"
#include "ovxSensorSvcs.h"

namespace {

constexpr int kMaxCycles = 50;
std::atomic<int> g_posting{0};
std::atomic<int> g_afterShutDown{0};
std::atomic<bool> g_shutDown[kMaxCycles];
SS_TraceSink g_sinks[kMaxCycles];

uint32_t Write(uint32_t context, uint32_t, const char* text, const char*) {
    if (context >= kMaxCycles || g_shutDown[context].load()) ++g_afterShutDown;
    if (std::strcmp(text, "Calling service SendPendingData.") == 0) ++g_posting;
    return 0;
}
// Errors of a session left running by its cycle's shut-down would come in
// while a later cycle runs: any error at all means something got through.
uint32_t OnError(uint32_t, uint32_t) {
    ++g_afterShutDown;
    return 0;
}

struct Api {
    decltype(&SS_SetMSLLibPath) setLibPath;
    decltype(&SS_Init) init;
    decltype(&SS_ShutDown) shutDown;
    decltype(&SS_RegisterErrorCallback) registerError;
    decltype(&CreateHeartbeat) createHeartbeat;
    decltype(&FreeHeartbeat) freeHeartbeat;
    decltype(&PostHeartbeat) postHeartbeat;
};

template <class F>
bool Bind(void* library, const char* name, F& slot) {
    slot = reinterpret_cast<F>(dlsym(library, name));
    return slot != nullptr;
}

bool BindAll(void* library, Api& api) {
    return Bind(library, "SS_SetMSLLibPath", api.setLibPath) && Bind(library, "SS_Init", api.init) &&
           Bind(library, "SS_ShutDown", api.shutDown) && Bind(library, "SS_RegisterErrorCallback", api.registerError) &&
           Bind(library, "CreateHeartbeat", api.createHeartbeat) && Bind(library, "FreeHeartbeat", api.freeHeartbeat) &&
           Bind(library, "PostHeartbeat", api.postHeartbeat);
}

// One session: a heartbeat whose post hangs, then a shut-down that gives
// up waiting for it. Returns false when a step failed.
bool Cycle(const Api& api, const std::string& folder, int cycle) {
    SS_TraceSink* sink = &g_sinks[cycle];
    *sink = SS_TraceSink{static_cast<uint32_t>(cycle), 0xFFFFFFFFu, &Write};
    g_posting = 0;
    const std::string local = folder + "/local.ini";
    const std::string comm = folder + "/comm.ini";
    if (api.init("5.0", local.c_str(), comm.c_str(), "late-thread-probe", nullptr, sink) != 0) return false;
    api.registerError(&OnError);
    SS_HMESSAGE heartbeat = nullptr;
    if (api.createHeartbeat(&heartbeat, "{probe}", "probe", "urn:probe", "5.0", "127.0.0.1") != 0) return false;
    if (api.postHeartbeat(heartbeat, nullptr, nullptr) != 0) {
        api.freeHeartbeat(heartbeat);
        return false;
    }
    for (int i = 0; i < 2000 && g_posting.load() == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));  // into the post
    const auto started = std::chrono::steady_clock::now();
    if (api.shutDown() != 0) return false;
    g_shutDown[cycle] = true;
    return std::chrono::steady_clock::now() - started < std::chrono::seconds(5);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: %s exit|dlopen LIBRARY SERVICE-FOLDER WORK-FOLDER\n", argv[0]);
        return 2;
    }
    const std::string mode = argv[1];
    const std::string folder = argv[4];
    const Listener hanging;  // never answers
    if (hanging.port == 0) return 2;
    // Short enough that the threads left by the first cycles end while the
    // later ones run, long enough to outlast the shut-down.
    const uint32_t transfer = mode == "exit" ? 60000 : 700;
    std::ofstream(folder + "/local.ini") << "[scs]\nagentIdFile=" << folder << "/agent-id.ini\n"
                                         << "[sensor_services]\nshutdownTimeout=100\ntransferTimeout=" << transfer
                                         << "\n";
    std::ofstream(folder + "/comm.ini") << "[server.1]\nurl=http://127.0.0.1:" << hanging.port << "\n";

    const int cycles = mode == "exit" ? 1 : 50;
    for (int cycle = 0; cycle < cycles; ++cycle) {
        void* library = dlopen(argv[2], RTLD_NOW | RTLD_LOCAL);
        Api api{};
        if (library == nullptr || !BindAll(library, api)) {
            std::fprintf(stderr, "cannot open %s: %s\n", argv[2], dlerror());
            return 2;
        }
        api.setLibPath(argv[3]);
        if (!Cycle(api, folder, cycle)) {
            std::fprintf(stderr, "cycle %d failed\n", cycle);
            return 1;
        }
        if (mode == "dlopen") dlclose(library);
    }
    if (g_afterShutDown.load() != 0) {
        std::fprintf(stderr, "%d calls reached the agent after SS_ShutDown returned\n", g_afterShutDown.load());
        return 3;
    }
    std::fflush(nullptr);
    // The exit itself is what is being tested, with the session's thread
    // still in its post.
    std::exit(0);
}
