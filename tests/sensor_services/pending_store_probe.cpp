// A small agent for the pending store tests, run as a child process and
// killed with SIGKILL: it starts a session with the given settings files and
// posts COUNT heartbeats named NAME (their server hangs), the i-th with a
// module NAME-i, a few milliseconds apart, printing "posted NAME-i" as each
// PostHeartbeat returns, so that a kill finds it at any point of its posts;
// then it waits to be killed (at most a minute).
//   ovxPendingStoreProbe SERVICE-FOLDER LOCAL-FILE COMM-FILE NAME COUNT
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>

#include "ovxSensorSvcs.h"

int main(int argc, char** argv) {
    if (argc != 6) return 2;
    SS_SetMSLLibPath(argv[1]);
    if (SS_Init("5.0", argv[2], argv[3], "ovx-probe", nullptr, nullptr) != 0) return 3;
    const int count = std::atoi(argv[5]);
    std::minstd_rand random(static_cast<unsigned>(::getpid()));
    for (int i = 1; i <= count; ++i) {
        SS_HMESSAGE heartbeat = nullptr;
        if (CreateHeartbeat(&heartbeat, "{agent}", argv[4], "urn:sensors", "5.0", "127.0.0.1") != 0) return 4;
        const std::string module = std::string(argv[4]) + "-" + std::to_string(i);
        if (AddModuleInfo(heartbeat, module.c_str(), "1.0", 0, nullptr) != 0) return 4;
        if (PostHeartbeat(heartbeat, NULL, NULL) != 0) return 5;
        std::printf("posted %s\n", module.c_str());
        std::fflush(stdout);
        std::this_thread::sleep_for(std::chrono::milliseconds(random() % 8));
    }
    std::this_thread::sleep_for(std::chrono::seconds(60));
    SS_ShutDown();
    return 6;
}
