// An example sensor: what an agent sees of the library. It loads the shared
// library as any agent would, shows the status texts of the catalog and the
// calling order the library enforces, then starts a session against settings
// files it writes into a temporary folder, prints the library's trace lines,
// and shuts the session down.
#include <httplib.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>

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

    // A stand-in for the Agent Manager on 127.0.0.1 that records what it is
    // sent and answers with an empty message.
    httplib::Server manager;
    manager.set_tcp_nodelay(true);
    manager.set_keep_alive_max_count(1000);
    std::mutex lock;
    std::condition_variable arrived;
    std::string received;
    manager.Post("/ovx/sensor_services/heartbeat", [&](const httplib::Request& request, httplib::Response& response) {
        {
            std::lock_guard<std::mutex> hold(lock);
            received = request.body;
        }
        arrived.notify_all();
        response.set_content(
            "<ovx xmlns='https://schemas.example.org/xml' schema-version='1.0.1'>"
            "<cml xmlns='https://schemas.example.org/xml/cml/Message' schema-version='1.0.0'>"
            "<message-envelope broadcast='false' message-id='demo'><source name='AgentManager'/><message-body/>"
            "</message-envelope></cml></ovx>",
            "application/x-ovx-cml-data");
    });
    const int port = manager.bind_to_any_port("127.0.0.1");
    std::thread serving([&] { manager.listen_after_bind(); });

    // A session of its own: a local property file and a comm settings file.
    char pattern[] = "/tmp/ovx-demo-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string dir = pattern;
    const std::string local = dir + "/local.ini", comm = dir + "/comm.ini";
    std::ofstream(local) << "[scs]\nagentIdFile=" << dir << "/agent-id.ini\n[sensor_services]\nshutdownTimeout=5000\n";
    std::ofstream(comm) << "[group]\nschemaVersion=1.0.0\ngroupnameHint=Demo sensors\n[server.1]\nname=local\n"
                        << "url=http://127.0.0.1:" << port << "\n";
    if (const char* libraries = std::getenv("OVX_DEMO_LIB_DIR")) SS_SetMSLLibPath(libraries);

    std::printf("\nA session against %s:\n", dir.c_str());
    PrintStatus("SS_Init(\"5.0\", local.ini, comm.ini, ...)",
                SS_Init("5.0", local.c_str(), comm.c_str(), "demo-sensor", nullptr, &sink));
    PrintStatus("SS_SetAgentId(\"{demo-agent}\")", SS_SetAgentId("{demo-agent}"));
    PrintStatus("SS_GetServerCount(&count)", SS_GetServerCount(&count));
    std::printf("  servers configured: %u\n", count);

    std::printf("\nA heartbeat:\n");
    PrintStatus("CreateHeartbeat(...)",
                CreateHeartbeat(&heartbeat, "{demo-agent}", "Demo sensor", "urn:demo:sensors", "5.0.0", "fe80::1%lo"));
    PrintStatus("SetBasicAgentInfoEx(...)",
                SetBasicAgentInfoEx(heartbeat, "5.0.0.17", "/opt/demo/update", 0, "up to date", 0, "/opt/demo",
                                    "/opt/demo/bin", "Demo 1", nullptr, 0, 1, "2026-12-07T09:00:00Z"));
    PrintStatus("SetHostInfo(...)", SetHostInfo(heartbeat, "demo-host", "10.0.0.7", "Linux 6.1", 0, "DEMO-HOST",
                                                "WORKGROUP", nullptr, nullptr));
    const char* modules[][2] = {{"scanner", "2.1.0"}, {"firewall", "1.4.2"}, {"updater", "3.0.1"}};
    for (const auto& module : modules) {
        SS_HMODULE handle = nullptr;
        AddModuleInfo(heartbeat, module[0], module[1], 0, &handle);
        const std::string params = std::string("<policy xmlns='https://schemas.example.org/xml/cml/CommonDocuments/"
                                               "RoAvpSections' schema-version='2.0.1' name='") +
                                   module[0] + "-status'><section name='state'/></policy>";
        AddModuleInfoParams(handle, params.data(), static_cast<uint32_t>(params.size()));
    }
    AddSchemaInfo(heartbeat, "demo", "https://schemas.example.org/xml/cml/CommonDocuments/ServerSettings", "1.0.0", 1, 0,
                  0, 0);
    PrintStatus("AddGetPolicyRequest(...)",
                AddGetPolicyRequest(heartbeat, "0", "scanner-settings",
                                    "https://schemas.example.org/xml/cml/CommonDocuments/AvpSections", "2.0.1", nullptr,
                                    nullptr));
    PrintStatus("PostHeartbeat(...)", PostHeartbeat(heartbeat, nullptr, nullptr));
    {
        std::unique_lock<std::mutex> hold(lock);
        arrived.wait_for(hold, std::chrono::seconds(10), [&] { return !received.empty(); });
        if (received.empty()) {
            std::printf("\nThe Agent Manager received nothing.\n");
        } else {
            std::printf("\nWhat the Agent Manager received (%zu bytes):\n%s", received.size(), received.c_str());
        }
    }

    PrintStatus("SS_ShutDown()", SS_ShutDown());
    PrintStatus("SS_GetServerCount(&count) after shut-down", SS_GetServerCount(&count));
    manager.stop();
    serving.join();
    std::system(("rm -rf '" + dir + "'").c_str());
    return 0;
}
