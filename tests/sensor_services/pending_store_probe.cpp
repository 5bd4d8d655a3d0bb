// A small agent for the pending store test, run as a child process and
// killed with SIGKILL: it starts a session with the given settings files,
// posts one heartbeat named NAME (its server is down), prints "posted" and
// waits to be killed (at most a minute).
//   ovxPendingStoreProbe SERVICE-FOLDER LOCAL-FILE COMM-FILE NAME
#include <chrono>
#include <cstdio>
#include <thread>

#include "ovxSensorSvcs.h"

int main(int argc, char** argv) {
    if (argc != 5) return 2;
    SS_SetMSLLibPath(argv[1]);
    if (SS_Init("5.0", argv[2], argv[3], "ovx-probe", nullptr, nullptr) != 0) return 3;
    SS_HMESSAGE heartbeat = nullptr;
    if (CreateHeartbeat(&heartbeat, "{agent}", argv[4], "urn:sensors", "5.0", "127.0.0.1") != 0) return 4;
    if (PostHeartbeat(heartbeat, NULL, NULL) != 0) return 5;
    std::printf("posted\n");
    std::fflush(stdout);
    std::this_thread::sleep_for(std::chrono::seconds(60));
    SS_ShutDown();
    return 6;
}
