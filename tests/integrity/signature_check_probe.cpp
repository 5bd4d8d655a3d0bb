// A small agent for the signature check tests, run as a child process
// (setuid in one of them): starts a session with the service library of
// FOLDER and prints whether the process runs privileged, SS_Init's status
// and how many of its mappings are of the service library file of FOLDER
// (it must be loaded from its private copy, never from the file checked).
// REFUSE is "memfd" or "memfd+unnamed": the calls the process refuses.
//   ovxSignatureCheckProbe FOLDER LOCAL-FILE COMM-FILE [REFUSE]
#include <sys/auxv.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "ovxSensorSvcs.h"
#include "support/RefuseCalls.h"

int main(int argc, char** argv) {
    if (argc != 4 && argc != 5) return 2;
    if (argc == 5 && !ovxTest::RefuseCopyCalls(std::strcmp(argv[4], "memfd+unnamed") == 0)) return 3;
    SS_SetMSLLibPath(argv[1]);
    const uint32_t status = SS_Init("5.0", argv[2], argv[3], "ovx-probe", nullptr, nullptr);
    int mapped = 0;
    std::ifstream maps("/proc/self/maps");
    const std::string checked = std::string(argv[1]) + "/libovxSessionConfigSvcs5.so";
    for (std::string line; std::getline(maps, line);) mapped += line.find(checked) != std::string::npos;
    std::printf("secure=%lu status=%08x mapped=%d\n", getauxval(AT_SECURE), status, mapped);
    // Out before anything at exit can end the process (a leak checker that
    // cannot run in a setuid process, under the sanitizers).
    std::fflush(stdout);
    SS_ShutDown();
    return 0;
}
