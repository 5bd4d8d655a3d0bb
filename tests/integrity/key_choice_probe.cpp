// A small agent for the key choice tests, run as a child process (setuid in
// one of them): starts a session with the service library of FOLDER and
// prints whether the process runs privileged and SS_Init's status.
//   ovxKeyChoiceProbe FOLDER LOCAL-FILE COMM-FILE
#include <sys/auxv.h>

#include <cstdio>

#include "ovxSensorSvcs.h"

int main(int argc, char** argv) {
    if (argc != 4) return 2;
    SS_SetMSLLibPath(argv[1]);
    const uint32_t status = SS_Init("5.0", argv[2], argv[3], "ovx-probe", nullptr, nullptr);
    std::printf("secure=%lu status=%08x\n", getauxval(AT_SECURE), status);
    SS_ShutDown();
    return 0;
}
