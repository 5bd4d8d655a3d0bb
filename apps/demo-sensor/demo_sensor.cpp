// An example sensor: a short, scripted life of an agent using the library
// against two Agent Manager simulators (primary and secondary) over TLS on
// 127.0.0.1. It starts the simulators itself, walks through every exchange
// the library offers, stops the primary to show failover and starts it again
// to show the return, and prints a timeline. It exits 0 only when every step
// happened.
//
//   ovx-demo-sensor SIMULATOR CERTIFICATE_FOLDER
//
// The certificate folder holds ca.pem, server.pem and server.key.
#include <fcntl.h>
#include <httplib.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <thread>
#include <vector>

#include "ovxSensorSvcs.h"

namespace {

using Clock = std::chrono::steady_clock;
const Clock::time_point g_start = Clock::now();

std::mutex g_lock;
std::vector<std::string> g_events;  // what the callbacks saw, in order

void Say(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Say(const char* format, ...) {
    const double seconds = std::chrono::duration<double>(Clock::now() - g_start).count();
    char text[1024];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    for (char* c = text; *c != '\0'; ++c) {
        if (*c == '\n') *c = ' ';  // one event, one line
    }
    std::lock_guard<std::mutex> hold(g_lock);
    std::printf("[%6.2fs] %s\n", seconds, text);
    std::fflush(stdout);
}

void Event(const std::string& event, const char* format, ...) __attribute__((format(printf, 2, 3)));
void Event(const std::string& event, const char* format, ...) {
    char text[1024];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    Say("    <- %s", text);
    std::lock_guard<std::mutex> hold(g_lock);
    g_events.push_back(event);
}

bool Seen(const std::string& event) {
    std::lock_guard<std::mutex> hold(g_lock);
    for (const std::string& seen : g_events) {
        if (seen == event) return true;
    }
    return false;
}

bool WaitFor(const std::function<bool()>& condition, int seconds = 15) {
    const auto until = Clock::now() + std::chrono::seconds(seconds);
    while (!condition()) {
        if (Clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

std::string StatusText(uint32_t status) {
    char text[512];
    if (SS_GetErrorMsg(status, text, sizeof text) != 0) std::snprintf(text, sizeof text, "0x%08x", status);
    return text;
}

// ---- the callbacks: each answer the server sends, as it arrives

uint32_t OnGeneric(const char* tag, const char*, uint32_t, const char*, uint32_t code, const char*, uint8_t) {
    Event(tag, "%s (code %u)", tag, code);
    return 0;
}
uint32_t OnCommSettings(const char*, uint32_t, uint32_t, const char*, const char* token, const char*, const char*,
                        const char*, uint32_t code, const char*, const uint8_t*, uint32_t size, uint8_t) {
    if (code == 0) {
        Event("group-settings", "group settings applied: %u bytes written to the comm settings file, token %s", size,
              token);
    } else {
        Event("group-settings-refused", "group settings refused: %s", StatusText(code).c_str());
    }
    return 0;
}
uint32_t OnPolicy(const char*, uint32_t, uint32_t, const char*, const char*, const char* name, const char*, const char*,
                  uint32_t code, const char* text, const uint8_t* data, uint32_t size, uint8_t) {
    if (code == 0) {
        Event(std::string("policy:") + name, "policy '%s' received (%u bytes): %.60s...", name, size,
              reinterpret_cast<const char*>(data));
    } else {
        Event(std::string("policy-missing:") + name, "policy '%s' not available: %s", name, text ? text : "");
    }
    return 0;
}
std::string g_schemaRequest;
uint32_t OnGetSchemaRequest(const char* id, uint32_t length, uint32_t, const char*, const char* name,
                            const char* nameSpace, const char* version, uint32_t, const char*, const char*, uint32_t,
                            uint8_t) {
    {
        std::lock_guard<std::mutex> hold(g_lock);
        g_schemaRequest.assign(id, length);
    }
    Event("get-schema-request", "the server asks for schema '%s' (%s %s)", name, nameSpace, version);
    return 0;
}
uint32_t OnPing(const char* id, uint32_t length, uint32_t status, const uint8_t*, uint32_t) {
    Event("ping", "ping %.*s answered (status %u)", static_cast<int>(length), id, status);
    return 0;
}
uint32_t OnError(uint32_t status, uint32_t kind) {
    Say("    !! %s failed: %s", kind == 2 ? "a ping post" : "a heartbeat post", StatusText(status).c_str());
    return 0;
}

// ---- the simulators, as child processes

struct Simulator {
    std::string name;
    pid_t pid = -1;
    int port = 0;
    std::string url;
};

bool StartSimulator(const std::string& program, const std::string& certs, const std::string& dir, Simulator& sim) {
    int out[2];
    if (pipe(out) != 0) return false;
    const std::string port = std::to_string(sim.port);
    // One option and its value a line.
    // clang-format off
    const std::vector<std::string> args = {program,
        "--name", sim.name,
        "--port", port,
        "--cert", certs + "/server.pem",
        "--key", certs + "/server.key",
        "--state", dir + "/" + sim.name + ".db",
        "--groups", dir + "/groups",
        "--policies", dir + "/policies",
        "--users", dir + "/users",
        "--admin-token-file", dir + "/" + sim.name + ".admin-token"};
    // clang-format on
    sim.pid = fork();
    if (sim.pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        close(out[0]);
        close(out[1]);
        std::vector<char*> argv;
        for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(out[1]);
    // The first line says where it listens; the rest is its request log.
    FILE* lines = fdopen(out[0], "r");
    char line[512];
    if (lines == nullptr || std::fgets(line, sizeof line, lines) == nullptr) return false;
    std::string first = line;
    const std::string prefix = "listening on ";
    if (first.compare(0, prefix.size(), prefix) != 0) return false;
    sim.url = first.substr(prefix.size());
    while (!sim.url.empty() && (sim.url.back() == '\n' || sim.url.back() == '\r')) sim.url.pop_back();
    sim.port = std::atoi(sim.url.substr(sim.url.rfind(':') + 1).c_str());
    // Its request log is drained so that it never blocks on a full pipe.
    std::thread([lines] {
        char skipped[1024];
        while (std::fgets(skipped, sizeof skipped, lines) != nullptr) {
        }
        std::fclose(lines);
    }).detach();
    return true;
}

void StopSimulator(Simulator& sim) {
    if (sim.pid <= 0) return;
    kill(sim.pid, SIGTERM);
    int status = 0;
    waitpid(sim.pid, &status, 0);
    sim.pid = -1;
}

// The number after "key": in the simulator's status JSON for our agent.
int StatusCount(const Simulator& sim, const std::string& certs, const char* key) {
    httplib::SSLClient client("127.0.0.1", sim.port);
    client.set_ca_cert_path((certs + "/ca.pem").c_str());
    client.set_connection_timeout(2);
    auto result = client.Get("/status.json");
    if (!result || result->status != 200) return -1;
    const std::string needle = std::string("\"") + key + "\":";
    const size_t at = result->body.find(needle);
    return at == std::string::npos ? 0 : std::atoi(result->body.c_str() + at + needle.size());
}

// An operator command: the simulator's admin token goes in a header.
bool Admin(const Simulator& sim, const std::string& certs, const std::string& dir, const std::string& query) {
    std::ifstream file(dir + "/" + sim.name + ".admin-token");
    std::string token;
    std::getline(file, token);
    httplib::SSLClient client("127.0.0.1", sim.port);
    client.set_ca_cert_path((certs + "/ca.pem").c_str());
    auto result = client.Post(("/admin/" + query).c_str(), httplib::Headers{{"X-Admin-Token", token}}, "",
                              "application/x-www-form-urlencoded");
    return result && result->status == 200;
}

// "EC, 256 bits, SHA-256 ab:cd:...": what OpenSSL reads of a public key.
std::string KeyDescription(const char* pem) {
    std::string description = "unreadable";
    BIO* in = BIO_new_mem_buf(pem, -1);
    EVP_PKEY* key = in != nullptr ? PEM_read_bio_PUBKEY(in, nullptr, nullptr, nullptr) : nullptr;
    BIO_free(in);
    if (key == nullptr) return description;
    unsigned char* der = nullptr;
    const int length = i2d_PUBKEY(key, &der);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLength = 0;
    if (length > 0 && EVP_Digest(der, static_cast<size_t>(length), digest, &digestLength, EVP_sha256(), nullptr) == 1) {
        description = std::string(EVP_PKEY_get_base_id(key) == EVP_PKEY_EC ? "EC" : EVP_PKEY_get0_type_name(key)) +
                      ", " + std::to_string(EVP_PKEY_get_bits(key)) + " bits, SHA-256 ";
        for (unsigned int i = 0; i < digestLength; ++i) {
            char hex[4];
            std::snprintf(hex, sizeof hex, i == 0 ? "%02x" : ":%02x", digest[i]);
            description += hex;
        }
    }
    OPENSSL_free(der);
    EVP_PKEY_free(key);
    return description;
}

const char kAgent[] = "{6f1c2a9e-demo-4d2b-9a51-7e3c0b8d4f10}";

uint32_t PostHeartbeatWithModules(bool askForPolicy) {
    SS_HMESSAGE heartbeat = nullptr;
    uint32_t status = CreateHeartbeat(&heartbeat, kAgent, "Demo sensor", "urn:demo:sensors", "5.0.0", "127.0.0.1");
    if (status != 0) return status;
    SetBasicAgentInfoEx(heartbeat, "5.0.0.17", "/opt/demo/update", 0, "up to date", 0, "/opt/demo", "/opt/demo/bin",
                        "Demo 1", nullptr, 0, 1, "2026-12-07T09:00:00Z");
    SetHostInfo(heartbeat, "demo-host", "127.0.0.1", "Debian 12", 0, "DEMO-HOST", "WORKGROUP", nullptr, nullptr);
    const char* modules[][2] = {{"scanner", "2.1.0"}, {"firewall", "1.4.2"}, {"updater", "3.0.1"}};
    for (const auto& module : modules) {
        SS_HMODULE handle = nullptr;
        AddModuleInfo(heartbeat, module[0], module[1], 0, &handle);
    }
    AddSchemaInfo(heartbeat, "scanner", "urn:demo:scanner", "1.0.0", 1, 0, 0, 0);
    if (askForPolicy) {
        AddGetPolicyRequest(heartbeat, "0", "scanner-settings", "urn:demo:scanner", "1.0.0", nullptr, nullptr);
    }
    std::string schemaRequest;
    {
        std::lock_guard<std::mutex> hold(g_lock);
        schemaRequest.swap(g_schemaRequest);
    }
    if (!schemaRequest.empty()) {
        const char schema[] = "<schema xmlns='http://www.w3.org/2001/XMLSchema' targetNamespace='urn:demo:scanner'/>";
        AddGetSchemaResponse(heartbeat, "scanner", "urn:demo:scanner", "1.0.0", 0, nullptr, 1, schema,
                             sizeof schema - 1, schemaRequest.data(), static_cast<uint32_t>(schemaRequest.size()));
    }
    return PostHeartbeat(heartbeat, nullptr, nullptr);
}

// The demonstration's acts, in the order main() plays them.
struct Demo {
    std::string program, certs, dir;
    Simulator primary, secondary;
    int failures = 0;

    bool Step(bool done, const std::string& what) {
        Say("%s %s", done ? "ok  " : "FAIL", what.c_str());
        if (!done) ++failures;
        return done;
    }

    bool PrepareFolder() {
        char pattern[] = "/tmp/ovx-demo-XXXXXX";
        if (mkdtemp(pattern) == nullptr) return false;
        dir = pattern;
        std::system(("mkdir -p '" + dir + "/groups' '" + dir + "/policies'").c_str());
        // The site's users, for the owner's eyes only.
        const int users = open((dir + "/users").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
        const char line[] = "operator:demo-password\n";
        if (users < 0 || write(users, line, sizeof line - 1) != static_cast<ssize_t>(sizeof line - 1)) return false;
        close(users);
        std::ofstream(dir + "/policies/scanner-settings.xml") << "<policy xmlns='urn:demo:scanner' "
                                                                 "name='scanner-settings'><depth level='3'/><exclude "
                                                                 "path='/proc'/></policy>";
        return true;
    }

    bool StartServers() {
        primary.name = "primary";
        secondary.name = "secondary";
        if (!Step(StartSimulator(program, certs, dir, primary) && StartSimulator(program, certs, dir, secondary),
                  "two simulators started with TLS")) {
            return false;
        }
        Say("     primary   %s", primary.url.c_str());
        Say("     secondary %s", secondary.url.c_str());
        return true;
    }

    bool StartSession() {
        const std::string servers = "[server.1]\nname=primary\nurl=" + primary.url + "\ncaFile=" + certs +
                                    "/ca.pem\n[server.2]\nname=secondary\nurl=" + secondary.url + "\ncaFile=" + certs +
                                    "/ca.pem\n";
        const std::string local = dir + "/local.ini", comm = dir + "/comm.ini";
        // Short intervals so that the demo runs in seconds: a failed post is
        // retried after 200 ms, a server that failed once is left, the
        // primary is tried again after 3 s, and an alive "minute" is a second.
        std::ofstream(local) << "[scs]\nagentIdFile=" << dir << "/agent-id.ini\n[sensor_services]\nretryInterval=200\n"
                             << "retryCeiling=400\nmaxServerRetry=1\nretryPrimaryServer=3\ntransferTimeout=5000\n"
                             << "shutdownTimeout=5000\naliveUnitSeconds=1\n";
        std::ofstream(comm) << "[group]\nschemaVersion=1.0.0\ngroupnameHint=Demo sensors\n" << servers;
        // What the Agent Manager hands to the group "Demo sensors".
        std::ofstream(dir + "/groups/Demo sensors.ini") << "[group]\nschemaVersion=1.0.0\ngroupnameHint=Demo sensors\n"
                                                        << servers;

        if (const char* libraries = std::getenv("OVX_DEMO_LIB_DIR")) SS_SetMSLLibPath(libraries);
        const uint32_t status = SS_Init("5.0", local.c_str(), comm.c_str(), "demo-sensor", nullptr, nullptr);
        if (!Step(status == 0, "SS_Init: " + StatusText(status))) return false;
        SS_SetAgentId(kAgent);
        SS_RegisterErrorCallback(&OnError);
        RegisterGenericResponse(&OnGeneric);
        RegisterCommSettingsResponse(&OnCommSettings);
        RegisterGetPolicyResponse(&OnPolicy);
        RegisterGetSchemaRequest(&OnGetSchemaRequest);
        RegisterPingResponse(&OnPing);
        return true;
    }

    void Conversation() {
        Say("-> a heartbeat with three modules, asking for the policy 'scanner-settings'");
        Step(PostHeartbeatWithModules(true) == 0 && WaitFor([] { return Seen("agent-startup-acknowledgement"); }),
             "heartbeat acknowledged by the primary");
        Step(WaitFor([] { return Seen("group-settings"); }), "group settings for 'Demo sensors' applied");
        Step(WaitFor([] { return Seen("policy:scanner-settings"); }), "policy 'scanner-settings' received");

        Say("-> the operator queues two server requests on the primary: get-schema-request and an unknown one");
        Admin(primary, certs, dir,
              "queue?agent=" + std::string(kAgent) +
                  "&kind=get-schema-request&namespace=urn:demo:scanner&version=1.0.0&name=scanner");
        Admin(primary, certs, dir, "queue?agent=" + std::string(kAgent) + "&kind=get-agent-info-request");
        PostHeartbeatWithModules(false);
        Step(WaitFor([] { return Seen("get-schema-request"); }), "the server's get-schema-request reached the sensor");
        PostHeartbeatWithModules(false);  // carries the schema; the unknown request is answered by the library
        Step(WaitFor([&] { return StatusCount(primary, certs, "get-schema-responses") >= 1; }),
             "the schema went back to the server with the next heartbeat");
        Step(WaitFor([&] { return StatusCount(primary, certs, "error-responses") >= 1; }),
             "the unknown request was answered by the library with an error response");

        Say("-> a ping");
        char ping[64];
        uint32_t length = sizeof ping;
        PostPing(ping, &length);
        Step(WaitFor([] { return Seen("ping"); }), "ping answered");
    }

    void TrustExchanges() {
        Say("-> key exchange and site attachment");
        SS_HMESSAGE message = nullptr;
        CreateMessage(&message, kAgent, "Demo sensor", "urn:demo:sensors");
        char* algorithm = nullptr;
        char* pem = nullptr;
        uint32_t keyLength = 0;
        const char kAgentKey[] = "-----BEGIN PUBLIC KEY-----\nREVNTy1BR0VOVC1LRVk=\n-----END PUBLIC KEY-----";
        uint32_t status =
            SS_ExchangeKeys(message, 5000, 10000, 60000, "RSA", 2048, kAgentKey, &algorithm, &keyLength, &pem);
        Step(status == 0 && pem != nullptr, "key exchange: " + StatusText(status));
        if (pem != nullptr) {
            Say("     the server's key, as it announces it: %s, %u bits", algorithm, keyLength);
            Say("     the server's key, as OpenSSL reads it: %s", KeyDescription(pem).c_str());
        }
        SS_Free(algorithm);
        SS_Free(pem);
        FreeMessage(message);
        CreateMessage(&message, kAgent, "Demo sensor", "urn:demo:sensors");
        status = SS_AttachToSite(message, 5000, 10000, 60000, "operator", "demo-password", nullptr, 0, kAgentKey);
        Step(status == 0, "attached to the site as 'operator': " + StatusText(status));
        FreeMessage(message);
        CreateMessage(&message, kAgent, "Demo sensor", "urn:demo:sensors");
        status = SS_AttachToSite(message, 5000, 10000, 60000, "operator", "not-the-password", nullptr, 0, kAgentKey);
        Step(status != 0, "a wrong password is refused: " + StatusText(status));
        FreeMessage(message);
    }

    void AliveAndFailover() {
        Say("-> alive heartbeats every second for a few seconds");
        SS_StartAliveHeartbeats(1, 60);
        Step(WaitFor([&] { return StatusCount(primary, certs, "alive") >= 3; }), "three alive heartbeats recorded");
        SS_StopAliveHeartbeats();

        Say("-> the primary is stopped");
        StopSimulator(primary);
        const int before = StatusCount(secondary, certs, "heartbeats");
        PostHeartbeatWithModules(false);
        Step(WaitFor([&] { return StatusCount(secondary, certs, "heartbeats") > before; }),
             "the sensor failed over to the secondary");

        Say("-> the primary is back");
        Step(StartSimulator(program, certs, dir, primary), "primary restarted on its port, with its saved state");
        const int primaryBefore = StatusCount(primary, certs, "heartbeats");
        Step(WaitFor(
                 [&] {
                     PostHeartbeatWithModules(false);
                     std::this_thread::sleep_for(std::chrono::milliseconds(1000));
                     return StatusCount(primary, certs, "heartbeats") > primaryBefore;
                 },
                 20),
             "the sensor returned to the primary");
    }

    void StopServers() {
        StopSimulator(primary);
        StopSimulator(secondary);
        std::system(("rm -rf '" + dir + "'").c_str());
    }
};

// What the session's posts did, as SS_GetStatistics tells it.
void PrintStatistics() {
    SS_Statistics statistics{};
    statistics.structSize = sizeof statistics;
    if (SS_GetStatistics(&statistics) != 0) return;
    std::printf("\nStatistics of the session:\n");
    std::printf("  %-10s %8s %8s %8s %8s %9s %8s %8s\n", "posts", "success", "refused", "tls", "timeout", "httpError",
                "busy", "other");
    const std::pair<const char*, const SS_PostCounts*> kinds[] = {{"heartbeat", &statistics.heartbeat},
                                                                  {"ping", &statistics.ping},
                                                                  {"alive", &statistics.alive},
                                                                  {"exchange", &statistics.exchange}};
    for (const auto& kind : kinds) {
        const SS_PostCounts& c = *kind.second;
        std::printf("  %-10s %8llu %8llu %8llu %8llu %9llu %8llu %8llu\n", kind.first,
                    static_cast<unsigned long long>(c.success), static_cast<unsigned long long>(c.refused),
                    static_cast<unsigned long long>(c.tls), static_cast<unsigned long long>(c.timeout),
                    static_cast<unsigned long long>(c.httpError), static_cast<unsigned long long>(c.busy),
                    static_cast<unsigned long long>(c.other));
    }
    std::printf("  bytes sent %llu, received %llu; next heartbeat to server #%d",
                static_cast<unsigned long long>(statistics.bytesSent),
                static_cast<unsigned long long>(statistics.bytesReceived), statistics.serverIndex);
    if (statistics.retryDelayMs != 0xFFFFFFFFu) std::printf(" in %u ms", statistics.retryDelayMs);
    std::printf("; last failure 0x%08x\n\n", statistics.lastFailureStatus);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: ovx-demo-sensor SIMULATOR CERTIFICATE_FOLDER\n");
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    Demo demo;
    demo.program = argv[1];
    demo.certs = argv[2];
    if (!demo.PrepareFolder()) return 1;
    std::printf("Zizozo Razarivi demo: an example sensor and two Agent Manager simulators on 127.0.0.1\n\n");
    if (!demo.StartServers()) return 1;
    if (!demo.StartSession()) {
        demo.StopServers();
        return 1;
    }
    demo.Conversation();
    demo.TrustExchanges();
    demo.AliveAndFailover();
    PrintStatistics();
    demo.Step(SS_ShutDown() == 0, "SS_ShutDown");
    demo.StopServers();
    std::printf("\n%s\n", demo.failures == 0 ? "Every step happened." : "Some steps did not happen.");
    return demo.failures == 0 ? 0 : 1;
}
