// Measures what processing one large server answer costs in memory, run as a
// child process so that its peak resident memory is its own:
//   answer_memory_probe LIBRARY SERVICE-FOLDER WORK-FOLDER MEGABYTES
// A server thread answers the second heartbeat with a get-policy-response
// whose policy content is one attribute of about MEGABYTES; the first one
// warms the session up. Prints "peak-growth-kb N answer-bytes M" and exits 0
// once the answer reached the agent's callbacks.
#include <dlfcn.h>
#include <sys/socket.h>
#include <unistd.h>

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

std::atomic<int> g_completed{0};
std::atomic<size_t> g_policyBytes{0};

uint32_t OnComplete(const char*) {
    ++g_completed;
    return 0;
}
uint32_t OnPolicy(const char*, uint32_t, uint32_t, const char*, const char*, const char*, const char*, const char*,
                  uint32_t, const char*, const uint8_t*, uint32_t size, uint8_t) {
    g_policyBytes = size;
    return 0;
}

long PeakResidentKb() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.compare(0, 6, "VmHWM:") == 0) return std::atol(line.c_str() + 6);
    }
    return -1;
}

std::string Envelope(const std::string& responses) {
    const std::string base = "https://schemas.example.org/xml";
    return "<?xml version='1.0' encoding='UTF-8'?><ovx xmlns='" + base + "' schema-version='1.0.1'><cml xmlns='" +
           base +
           "/cml/Message' schema-version='1.0.0'><message-envelope broadcast='false' message-id='a' "
           "response-to='hb'><source name='AgentManager'/><destination name='probe' namespace='urn:probe' "
           "agent-id='{probe}'/><message-body><response>" +
           responses + "</response></message-body></message-envelope></cml></ovx>";
}

std::string LargeAnswer(size_t bytes) {
    const std::string policyNs = "https://schemas.example.org/xml/cml/Message/PolicyMessages";
    return Envelope("<get-policy-response xmlns='" + policyNs +
                    "' schema-version='1.0.0' request-id='gp'><policy-item name='large' namespace='urn:large' "
                    "schema-version='1.0.0' token='1'><policy xmlns='urn:large' blob='" +
                    std::string(bytes, 'x') + "'/></policy-item></get-policy-response>");
}

// Reads one HTTP request (headers and a Content-Length body); false at the
// end of the connection.
bool ReadRequest(int connection) {
    std::string data;
    char chunk[65536];
    size_t headerEnd = std::string::npos;
    while ((headerEnd = data.find("\r\n\r\n")) == std::string::npos) {
        ssize_t got = recv(connection, chunk, sizeof chunk, 0);
        if (got <= 0) return false;
        data.append(chunk, static_cast<size_t>(got));
    }
    size_t length = 0;
    const size_t at = data.find("Content-Length:");
    if (at != std::string::npos && at < headerEnd) length = std::strtoul(data.c_str() + at + 15, nullptr, 10);
    while (data.size() < headerEnd + 4 + length) {
        ssize_t got = recv(connection, chunk, sizeof chunk, 0);
        if (got <= 0) return false;
        data.append(chunk, static_cast<size_t>(got));
    }
    return true;
}

void Send(int connection, const std::string& body) {
    const std::string head = "HTTP/1.1 200 OK\r\nContent-Type: application/x-ovx-cml-data\r\nContent-Length: " +
                             std::to_string(body.size()) + "\r\n\r\n";
    for (const std::string* part : {&head, &body}) {
        size_t sent = 0;
        while (sent < part->size()) {
            ssize_t wrote = send(connection, part->data() + sent, part->size() - sent, MSG_NOSIGNAL);
            if (wrote <= 0) return;
            sent += static_cast<size_t>(wrote);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: %s LIBRARY SERVICE-FOLDER WORK-FOLDER MEGABYTES\n", argv[0]);
        return 2;
    }
    const std::string folder = argv[3];
    const size_t megabytes = std::strtoul(argv[4], nullptr, 10);
    const std::string small = Envelope("");
    const std::string large = LargeAnswer(megabytes * 1024 * 1024);

    const Listener listener;
    if (listener.port == 0) return 2;
    std::thread server([&] {
        int answered = 0;
        for (;;) {
            int connection = accept(listener.fd, nullptr, nullptr);
            if (connection < 0) return;
            while (ReadRequest(connection)) Send(connection, answered++ == 1 ? large : small);
            close(connection);
        }
    });
    server.detach();
    std::ofstream(folder + "/local.ini") << "[scs]\nagentIdFile=" << folder << "/agent-id.ini\n"
                                         << "maxResponseSize=" << (large.size() + 1024) << "\n"
                                         << "[sensor_services]\nautoGroupSettingsRequest=0\n";
    std::ofstream(folder + "/comm.ini") << "[server.1]\nurl=http://127.0.0.1:" << listener.port << "\n";

    void* library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) return 2;
    auto setLibPath = reinterpret_cast<decltype(&SS_SetMSLLibPath)>(dlsym(library, "SS_SetMSLLibPath"));
    auto init = reinterpret_cast<decltype(&SS_Init)>(dlsym(library, "SS_Init"));
    auto shutDown = reinterpret_cast<decltype(&SS_ShutDown)>(dlsym(library, "SS_ShutDown"));
    auto registerComplete =
        reinterpret_cast<decltype(&RegisterResponseComplete)>(dlsym(library, "RegisterResponseComplete"));
    auto registerPolicy =
        reinterpret_cast<decltype(&RegisterGetPolicyResponse)>(dlsym(library, "RegisterGetPolicyResponse"));
    auto createHeartbeat = reinterpret_cast<decltype(&CreateHeartbeat)>(dlsym(library, "CreateHeartbeat"));
    auto postHeartbeat = reinterpret_cast<decltype(&PostHeartbeat)>(dlsym(library, "PostHeartbeat"));
    if (!setLibPath || !init || !shutDown || !registerComplete || !registerPolicy || !createHeartbeat ||
        !postHeartbeat) {
        return 2;
    }
    setLibPath(argv[2]);
    const std::string local = folder + "/local.ini", comm = folder + "/comm.ini";
    if (init("5.0", local.c_str(), comm.c_str(), "answer-memory-probe", nullptr, nullptr) != 0) return 1;
    registerComplete(&OnComplete);
    registerPolicy(&OnPolicy);
    auto post = [&](int expected) {
        SS_HMESSAGE heartbeat = nullptr;
        if (createHeartbeat(&heartbeat, "{probe}", "probe", "urn:probe", "5.0", "127.0.0.1") != 0) return false;
        if (postHeartbeat(heartbeat, nullptr, nullptr) != 0) return false;
        for (int i = 0; i < 120000 && g_completed.load() < expected; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return g_completed.load() >= expected;
    };
    if (!post(1)) return 1;
    const long before = PeakResidentKb();
    if (!post(2)) return 1;
    const long after = PeakResidentKb();
    std::printf("peak-growth-kb %ld answer-bytes %zu policy-bytes %zu\n", after - before, large.size(),
                g_policyBytes.load());
    shutDown();
    return g_policyBytes.load() > megabytes * 1024 * 1024 ? 0 : 1;
}
