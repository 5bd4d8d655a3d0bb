// An example sensor: what an agent sees of the library. It loads the shared
// library as any agent would, shows the status texts of the catalog and the
// calling order the library enforces, then starts a session against settings
// files it writes into a temporary folder, prints the library's trace lines,
// and shuts the session down.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "ovxSensorSvcs.h"

namespace {

uint32_t PrintTrace(uint32_t /*context*/, uint32_t level, const char* text, const char* where) {
    std::printf("  trace [%#x] %s: %s\n", level, where, text);
    return 0;
}

void PrintStatus(const char* call, uint32_t status) {
    char text[512];
    if (SS_GetErrorMsg(status, text, sizeof(text)) != 0) std::snprintf(text, sizeof(text), "(no text)");
    std::printf("%-48s -> 0x%08x %s\n", call, status, status == 0 ? "success" : text);
}

}  // namespace

int main() {
    std::printf("Zizozo Razarivi example sensor\n\n");

    std::printf("Status texts from the message catalog:\n");
    const uint32_t codes[] = {OVX_E_INVALID_ARGUMENT, OVX_E_NOT_INITIALIZED, OVX_I_ALREADY_INITIALIZED,
                              OVX_E_UNEXPECTED};
    for (uint32_t code : codes) {
        char text[512];
        SS_GetErrorMsg(code, text, sizeof(text));
        std::printf("  0x%08x  %s\n", code, text);
    }

    std::printf("\nCalls before SS_Init:\n");
    uint32_t count = 0;
    PrintStatus("SS_GetServerCount(&count)", SS_GetServerCount(&count));
    SS_HMESSAGE heartbeat = nullptr;
    PrintStatus("CreateHeartbeat(...)",
                CreateHeartbeat(&heartbeat, "demo-agent", "DemoSensor", "urn:demo", "5.0.0", "127.0.0.1"));

    std::printf("\nSS_Init with a version the library does not speak:\n");
    SS_TraceSink sink{0, SS_TRACE_ERROR | SS_TRACE_WARNING | SS_TRACE_PROGRESS, &PrintTrace};
    PrintStatus("SS_Init(\"4.0\", ...)", SS_Init("4.0", "local.ini", "comm.ini", "demo", nullptr, &sink));
    PrintStatus("SS_ShutDown()", SS_ShutDown());

    // A session of its own: a local property file and a comm settings file.
    char pattern[] = "/tmp/ovx-demo-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string dir = pattern;
    const std::string local = dir + "/local.ini", comm = dir + "/comm.ini";
    std::ofstream(local) << "[scs]\nagentIdFile=" << dir << "/agent-id.ini\n[sensor_services]\nshutdownTimeout=5000\n";
    std::ofstream(comm) << "[group]\ngroupnameHint=Demo sensors\n";
    if (const char* libraries = std::getenv("OVX_DEMO_LIB_DIR")) SS_SetMSLLibPath(libraries);

    std::printf("\nA session against %s:\n", dir.c_str());
    PrintStatus("SS_Init(\"5.0\", local.ini, comm.ini, ...)",
                SS_Init("5.0", local.c_str(), comm.c_str(), "demo-sensor", nullptr, &sink));
    PrintStatus("SS_SetAgentId(\"{demo-agent}\")", SS_SetAgentId("{demo-agent}"));
    PrintStatus("SS_AddServer(-1, \"local\", ...)",
                SS_AddServer(-1, "local", "http://127.0.0.1:8080", nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                             nullptr, "the Agent Manager on this machine", 0));
    PrintStatus("SS_GetServerCount(&count)", SS_GetServerCount(&count));
    std::printf("  servers configured: %u\n", count);
    PrintStatus("SS_ShutDown()", SS_ShutDown());
    PrintStatus("SS_GetServerCount(&count) after shut-down", SS_GetServerCount(&count));
    std::system(("rm -rf '" + dir + "'").c_str());
    return 0;
}
