// agent-manager-sim: the Agent Manager simulator as a program. Its options
// are those of kHelp below, which --help prints.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <sys/stat.h>

#include "Simulator.h"

namespace {

const char kHelp[] =
    "usage: agent-manager-sim [OPTION VALUE]...\n"
    "An Agent Manager for the desk: answers the sensor library's heartbeats, key exchanges,\n"
    "site attachments, pings and alive heartbeats over HTTP (or HTTPS), keeps what agents\n"
    "tell it in SQLite, shows it on a status page (GET /, GET /status.json) and fails on\n"
    "request. Prints \"listening on URL\" once it serves, then where its admin token is,\n"
    "then one line per request; stops cleanly on SIGINT and SIGTERM.\n"
    "\n"
    "  --name NAME              the server's name in its log lines and status page\n"
    "                           (default agent-manager)\n"
    "  --port PORT              the TCP port on 127.0.0.1 (default: any free port)\n"
    "  --host-name NAME         a name the server is reached by, besides 127.0.0.1 and\n"
    "                           localhost (repeatable); requests whose Host header names\n"
    "                           anything else get 421\n"
    "  --cert FILE --key FILE   serve HTTPS with this PEM certificate and private key\n"
    "  --state FILE             the SQLite state (default: in memory, lost at exit); made\n"
    "                           0600 when absent; an existing one, and its -wal and -shm,\n"
    "                           must be regular files of this user with no group or other\n"
    "                           permissions, or the simulator refuses to start\n"
    "  --groups DIR             group settings: DIR/<group name hint>.ini, or DIR/default.ini\n"
    "  --policies DIR           policies by name: DIR/<name>.xml sent as XML, any other\n"
    "                           DIR/<name>.* as Base64 content\n"
    "  --users FILE             site users for attach-to-site, \"name:password\" lines, in a\n"
    "                           file of this user that no one else may read (0600); or in\n"
    "                           the variable OVX_SIM_USERS, one a line; never on the command\n"
    "                           line, which every local user can read\n"
    "  --admin-token-file FILE  the operator's token (default: STATE.admin-token, or\n"
    "                           NAME.admin-token without a state file); made 0600 when\n"
    "                           absent; an existing one follows the rule of the state file\n"
    "  --fault KIND:COUNT[:MS]  the next COUNT posts get a fault: busy (503), throttle\n"
    "                           (429), stall (answered after MS milliseconds), truncate,\n"
    "                           garble, oversize (65 MB of answer)\n"
    "  --help                   print this and exit\n"
    "\n"
    "Operator commands, from 127.0.0.1 with the token in an X-Admin-Token header:\n"
    "  POST /admin/fault?kind=KIND&count=N[&ms=MS]   as --fault; kind=none clears it\n"
    "  POST /admin/refuse?seconds=S                  nothing listens for S seconds\n"
    "  POST /admin/queue?agent=ID&kind=KIND[&namespace=NS&version=V&name=N]\n"
    "      a server request for the agent's next heartbeat: get-schema-request,\n"
    "      set-schema-request, set-policy-request (name: a policy of --policies) or any\n"
    "      other tag\n";

int Usage(const char* why) {
    std::fprintf(stderr, "agent-manager-sim: %s\n(agent-manager-sim --help lists the options)\n", why);
    return 2;
}

// KIND:COUNT[:MS] of --fault.
bool ParseFault(const std::string& value, ovxSim::Fault* fault, int* count, int* stallMs) {
    const std::string kind = value.substr(0, value.find(':'));
    static const std::pair<const char*, ovxSim::Fault> kKinds[] = {
        {"busy", ovxSim::Fault::kBusy},     {"throttle", ovxSim::Fault::kThrottle},
        {"stall", ovxSim::Fault::kStall},   {"truncate", ovxSim::Fault::kTruncate},
        {"garble", ovxSim::Fault::kGarble}, {"oversize", ovxSim::Fault::kOversize}};
    for (const auto& known : kKinds) {
        if (kind == known.first) *fault = known.second;
    }
    std::sscanf(value.c_str() + kind.size(), ":%d:%d", count, stallMs);
    return *fault != ovxSim::Fault::kNone;
}

}  // namespace

int main(int argc, char** argv) {
    // Whatever the simulator or SQLite makes is for this user alone.
    umask(077);
    ovxSim::SimConfig config;
    ovxSim::Fault fault = ovxSim::Fault::kNone;
    int faultCount = 0, stallMs = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--help" || option == "-h") {
            std::fputs(kHelp, stdout);
            return 0;
        }
        if (i + 1 >= argc) return Usage(("missing value for " + option).c_str());
        const std::string value = argv[++i];
        if (option == "--name") {
            config.name = value;
        } else if (option == "--port") {
            config.port = std::atoi(value.c_str());
        } else if (option == "--host-name") {
            config.hostNames.push_back(value);
        } else if (option == "--cert") {
            config.certificateFile = value;
        } else if (option == "--key") {
            config.keyFile = value;
        } else if (option == "--state") {
            config.stateFile = value;
        } else if (option == "--groups") {
            config.groupsFolder = value;
        } else if (option == "--policies") {
            config.policiesFolder = value;
        } else if (option == "--users") {
            std::string error;
            if (!ovxSim::LoadUsers(value, config.users, &error)) return Usage(error.c_str());
        } else if (option == "--admin-token-file") {
            config.adminTokenFile = value;
        } else if (option == "--fault") {
            if (!ParseFault(value, &fault, &faultCount, &stallMs)) return Usage("unknown fault");
        } else {
            return Usage(("unknown option " + option).c_str());
        }
    }
    if (const char* users = std::getenv("OVX_SIM_USERS")) {
        std::string error;
        if (!ovxSim::LoadUsersFromText(users, config.users, &error)) return Usage(error.c_str());
    }
    if (config.adminTokenFile.empty()) {
        config.adminTokenFile =
            config.stateFile != ":memory:" ? config.stateFile + ".admin-token" : config.name + ".admin-token";
    }
    // Signals are taken by sigwait below, not by whichever thread they hit.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    ovxSim::Simulator simulator(config);
    std::string error;
    if (simulator.Start(&error) < 0) {
        std::fprintf(stderr, "agent-manager-sim: %s\n", error.c_str());
        return 1;
    }
    if (fault != ovxSim::Fault::kNone) simulator.InjectFault(fault, faultCount, stallMs);
    std::printf("listening on %s\nadmin token in %s\n", simulator.Url().c_str(), config.adminTokenFile.c_str());
    std::fflush(stdout);
    int received = 0;
    sigwait(&signals, &received);
    simulator.FlushLog();  // the lines of requests answered so far come first
    std::printf("[%s] stopping on %s\n", config.name.c_str(), received == SIGINT ? "SIGINT" : "SIGTERM");
    simulator.Stop();
    return 0;
}
