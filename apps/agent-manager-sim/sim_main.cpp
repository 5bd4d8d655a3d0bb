// agent-manager-sim: the Agent Manager simulator as a program.
//
//   agent-manager-sim [--name N] [--port P] [--cert FILE --key FILE]
//                     [--state FILE] [--groups DIR] [--policies DIR]
//                     [--users FILE] [--admin-token-file FILE]
//                     [--fault KIND:COUNT[:MS]]
//
// Prints "listening on URL" once it serves, then "admin token in FILE";
// stops cleanly on SIGINT and SIGTERM. Site users ("name:password" lines)
// come from a file only its owner may read, or from the variable
// OVX_SIM_USERS: never from the command line, which every local user can
// read. Faults: busy (503), throttle (429), stall, truncate, garble,
// oversize. The admin endpoint (127.0.0.1 only, with the token of the token
// file in an X-Admin-Token header) takes the same at run time:
//   POST /admin/fault?kind=busy&count=3
//   POST /admin/refuse?seconds=5
//   POST /admin/queue?agent=ID&kind=get-schema-request&namespace=NS&version=V&name=N
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "Simulator.h"

namespace {

int Usage(const char* why) {
    std::fprintf(stderr, "agent-manager-sim: %s\nsee the comment at the top of sim_main.cpp for the options\n", why);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    ovxSim::SimConfig config;
    ovxSim::Fault fault = ovxSim::Fault::kNone;
    int faultCount = 0, stallMs = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (i + 1 >= argc) return Usage(("missing value for " + option).c_str());
        const std::string value = argv[++i];
        if (option == "--name") {
            config.name = value;
        } else if (option == "--port") {
            config.port = std::atoi(value.c_str());
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
            const std::string kind = value.substr(0, value.find(':'));
            static const std::pair<const char*, ovxSim::Fault> kKinds[] = {
                {"busy", ovxSim::Fault::kBusy},     {"throttle", ovxSim::Fault::kThrottle},
                {"stall", ovxSim::Fault::kStall},   {"truncate", ovxSim::Fault::kTruncate},
                {"garble", ovxSim::Fault::kGarble}, {"oversize", ovxSim::Fault::kOversize}};
            for (const auto& known : kKinds) {
                if (kind == known.first) fault = known.second;
            }
            if (fault == ovxSim::Fault::kNone) return Usage("unknown fault");
            std::sscanf(value.c_str() + kind.size(), ":%d:%d", &faultCount, &stallMs);
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
    std::printf("[%s] stopping on %s\n", config.name.c_str(), received == SIGINT ? "SIGINT" : "SIGTERM");
    simulator.Stop();
    return 0;
}
