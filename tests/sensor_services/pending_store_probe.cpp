// A small agent for the pending store tests, run as a child process and
// killed with SIGKILL: it starts a session with the given settings files,
// posts one heartbeat named NAME (its server is down or hangs), prints
// "posted" and waits to be killed (at most a minute). With COUNT it posts
// COUNT heartbeats instead, the i-th with a module NAME-i, a few
// milliseconds apart, printing "posted NAME-i" as each PostHeartbeat
// returns, so that a kill finds it at any point of its posts.
//   ovxPendingStoreProbe SERVICE-FOLDER LOCAL-FILE COMM-FILE NAME [COUNT]
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>

#include "ovxSensorSvcs.h"

int main(int argc, char** argv) {
    if (argc != 5 && argc != 6) return 2;
    SS_SetMSLLibPath(argv[1]);
    if (SS_Init("5.0", argv[2], argv[3], "ovx-probe", nullptr, nullptr) != 0) return 3;
    const int count = argc == 6 ? std::atoi(argv[5]) : 0;
    std::minstd_rand random(static_cast<unsigned>(::getpid()));
    for (int i = 1; i <= (count > 0 ? count : 1); ++i) {
        SS_HMESSAGE heartbeat = nullptr;
        if (CreateHeartbeat(&heartbeat, "{agent}", argv[4], "urn:sensors", "5.0", "127.0.0.1") != 0) return 4;
        const std::string module = std::string(argv[4]) + "-" + std::to_string(i);
        if (count > 0 && AddModuleInfo(heartbeat, module.c_str(), "1.0", 0, nullptr) != 0) return 4;
        if (PostHeartbeat(heartbeat, NULL, NULL) != 0) return 5;
        if (count > 0) {
            std::printf("posted %s\n", module.c_str());
        } else {
            std::printf("posted\n");
        }
        std::fflush(stdout);
        if (count > 0) std::this_thread::sleep_for(std::chrono::milliseconds(random() % 8));
    }
    std::this_thread::sleep_for(std::chrono::seconds(60));
    SS_ShutDown();
    return 6;
}
