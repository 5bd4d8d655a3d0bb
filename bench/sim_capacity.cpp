// The simulator's capacity: heartbeats a second it answers from several
// agent processes, each the real library posting the typical heartbeat (50
// modules, 100 schemas, 20 policy items, the group settings request) through
// its public header and waiting for the answer before the next, with the
// simulator's state on disk. Beside it, in the same run and in alternating
// rounds, the floor: a bare server of the same HTTP library and threads
// (libmicrohttpd, epoll, a pool of the simulator's size) that reads each
// post whole and answers the simulator's own answer to that heartbeat,
// running none of our code.
//
//   ovxBenchSimCapacity SIMULATOR [SECONDS=10] [AGENTS=8] [ROUNDS=3]
//
// Prints each round and, in the benchmark report's tab-separated form, the
// medians with the rounds' spread against the goal (2,000 heartbeats a
// second or more, at most 2x the bare server's cost): ok when every round
// meets it, MISSED when none does, undecided otherwise.
#include <arpa/inet.h>
#include <httplib.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ovxSensorSvcs.h"
#include "support/TypicalHeartbeat.h"

namespace {

const char kCmlType[] = "application/x-ovx-cml-data; charset=UTF-8";
constexpr int kServerThreads = 4;  // the simulator's default

std::mutex g_lock;
std::condition_variable g_answered;
int g_answers = 0;

uint32_t OnComplete(const char*) {
    std::lock_guard<std::mutex> hold(g_lock);
    ++g_answers;
    g_answered.notify_all();
    return 0;
}

SS_HMESSAGE TypicalHeartbeat(const std::string& agent) {
    return ovxTest::TypicalHeartbeat(agent.c_str(), "capacity", "capacity-host", "BENCH");
}

// One agent: typical heartbeats until `until`, each after the answer to the
// last. Returns the number answered (-1 when it could not start). With
// `posted`, the text of the first heartbeat is written there.
int Agent(const std::string& folder, const std::string& comm, int index, std::chrono::steady_clock::time_point until,
          const std::string& posted = "") {
    const std::string local = folder + "/local-" + std::to_string(index) + ".ini";
    std::ofstream(local) << "[scs]\nagentIdFile=" << folder << "/agent-" << index << ".ini\n";
    if (SS_Init("5.0", local.c_str(), comm.c_str(), "capacity", nullptr, nullptr) != 0) return -1;
    RegisterResponseComplete(&OnComplete);
    const std::string agent = "{capacity-agent-" + std::to_string(index) + "}";
    int answered = 0;
    do {
        SS_HMESSAGE heartbeat = TypicalHeartbeat(agent);
        std::vector<char> text(posted.empty() ? 0 : 1u << 20);
        uint32_t length = static_cast<uint32_t>(text.size());
        if (heartbeat == nullptr ||
            PostHeartbeat(heartbeat, text.empty() ? nullptr : text.data(), text.empty() ? nullptr : &length) != 0) {
            if (heartbeat != nullptr) FreeHeartbeat(heartbeat);
            break;
        }
        if (!posted.empty()) std::ofstream(posted, std::ios::binary).write(text.data(), length);
        std::unique_lock<std::mutex> hold(g_lock);
        if (!g_answered.wait_for(hold, std::chrono::seconds(5), [&] { return g_answers > answered; })) break;
        answered = g_answers;
    } while (std::chrono::steady_clock::now() < until);
    SS_ShutDown();
    return answered;
}

// Heartbeats a second answered to `agents` processes posting for `seconds`
// to the server of `comm`; negative when an agent failed.
double Measure(const std::string& folder, const std::string& comm, int seconds, int agents) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    std::vector<std::pair<pid_t, int>> children;
    for (int a = 0; a < agents; ++a) {
        int result[2];
        if (pipe(result) != 0) return -1;
        const pid_t child = fork();
        if (child == 0) {
            close(result[0]);
            const int answered = Agent(folder, comm, a, until);
            (void)write(result[1], &answered, sizeof answered);
            _exit(0);
        }
        close(result[1]);
        children.emplace_back(child, result[0]);
    }
    long total = 0;
    bool failed = false;
    for (const auto& child : children) {
        int answered = -1;
        if (read(child.second, &answered, sizeof answered) != sizeof answered || answered < 0) failed = true;
        total += answered > 0 ? answered : 0;
        close(child.second);
        waitpid(child.first, nullptr, 0);
    }
    return failed ? -1 : static_cast<double>(total) / seconds;
}

// The bare server: every post read whole and answered with `answer`.
MHD_Result BareAnswer(void* answer, MHD_Connection* connection, const char*, const char*, const char*, const char*,
                      size_t* uploadSize, void** state) {
    if (*state == nullptr) {
        *state = connection;
        return MHD_YES;
    }
    if (*uploadSize != 0) {
        *uploadSize = 0;
        return MHD_YES;
    }
    const std::string& text = *static_cast<const std::string*>(answer);
    MHD_Response* response =
        MHD_create_response_from_buffer(text.size(), const_cast<char*>(text.data()), MHD_RESPMEM_PERSISTENT);
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, kCmlType);
    const MHD_Result queued = MHD_queue_response(connection, MHD_HTTP_OK, response);
    MHD_destroy_response(response);
    return queued;
}

// Starts the bare server in a child process; its port, or -1.
int StartBare(const std::string& answer, pid_t* pid) {
    int out[2];
    if (pipe(out) != 0) return -1;
    *pid = fork();
    if (*pid == 0) {
        close(out[0]);
        MHD_Daemon* daemon = MHD_start_daemon(MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL, 0, nullptr, nullptr,
                                              &BareAnswer, const_cast<std::string*>(&answer),
                                              MHD_OPTION_THREAD_POOL_SIZE, static_cast<unsigned>(kServerThreads),
                                              MHD_OPTION_LISTEN_BACKLOG_SIZE, 1024u, MHD_OPTION_END);
        const MHD_DaemonInfo* info =
            daemon != nullptr ? MHD_get_daemon_info(daemon, MHD_DAEMON_INFO_BIND_PORT) : nullptr;
        const int port = info != nullptr ? info->port : -1;
        (void)write(out[1], &port, sizeof port);
        pause();
        _exit(0);
    }
    close(out[1]);
    int port = -1;
    if (read(out[0], &port, sizeof port) != sizeof port) port = -1;
    close(out[0]);
    return port;
}

// Starts the simulator with its state in `folder`; its URL, or "".
std::string StartSimulator(const char* program, const std::string& folder, pid_t* pid) {
    int out[2];
    if (pipe(out) != 0) return "";
    *pid = fork();
    if (*pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        close(out[0]);
        const std::string state = folder + "/state.db";
        execl(program, program, "--name", "capacity", "--state", state.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    FILE* lines = fdopen(out[0], "r");
    char line[256] = "";
    if (lines == nullptr || std::fgets(line, sizeof line, lines) == nullptr) return "";
    std::string url = line;
    if (url.find("http") == std::string::npos) return "";
    url = url.substr(url.find("http"));
    while (!url.empty() && (url.back() == '\n' || url.back() == '\r')) url.pop_back();
    std::thread([lines] {
        char skipped[1024];
        while (std::fgets(skipped, sizeof skipped, lines) != nullptr) {
        }
    }).detach();
    return url;
}

// The simulator's answer to the typical heartbeat, as the bare server's.
std::string CaptureAnswer(const std::string& folder, const std::string& comm, const std::string& url) {
    const std::string posted = folder + "/typical.xml";
    const pid_t child = fork();
    if (child == 0) _exit(Agent(folder, comm, 99, std::chrono::steady_clock::now(), posted) == 1 ? 0 : 1);
    int status = 0;
    waitpid(child, &status, 0);
    std::ifstream in(posted, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || text.str().empty()) return "";
    httplib::Client client(url);
    auto answer = client.Post("/ovx/sensor_services/heartbeat", text.str(), kCmlType);
    return answer && answer->status == 200 ? answer->body : "";
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s SIMULATOR [SECONDS] [AGENTS] [ROUNDS]\n", argv[0]);
        return 2;
    }
    const int seconds = argc > 2 ? std::atoi(argv[2]) : 10;
    const int agents = argc > 3 ? std::atoi(argv[3]) : 8;
    const int rounds = argc > 4 ? std::atoi(argv[4]) : 3;
    char pattern[] = "/tmp/ovx-capacity-XXXXXX";
    if (mkdtemp(pattern) == nullptr) return 1;
    const std::string folder = pattern;
    pid_t simulator = -1, bare = -1;
    const std::string url = StartSimulator(argv[1], folder, &simulator);
    const std::string simComm = folder + "/comm-simulator.ini", bareComm = folder + "/comm-bare.ini";
    std::ofstream(simComm) << "[server.1]\nurl=" << url << "\n";
    const std::string answer = url.empty() ? "" : CaptureAnswer(folder, simComm, url);
    const int barePort = answer.empty() ? -1 : StartBare(answer, &bare);
    std::ofstream(bareComm) << "[server.1]\nurl=http://127.0.0.1:" << barePort << "\n";
    std::vector<double> ours, floor;
    bool failed = barePort <= 0;
    for (int round = 0; round < rounds && !failed; ++round) {
        floor.push_back(Measure(folder, bareComm, seconds, agents));
        ours.push_back(Measure(folder, simComm, seconds, agents));
        failed = floor.back() < 0 || ours.back() < 0;
        std::printf("round %d: simulator %.0f heartbeats/s, bare server %.0f/s\n", round + 1, ours.back(),
                    floor.back());
        std::fflush(stdout);
    }
    for (pid_t server : {simulator, bare}) {
        if (server > 0) kill(server, SIGTERM);
        if (server > 0) waitpid(server, nullptr, 0);
    }
    std::system(("rm -rf '" + folder + "'").c_str());
    if (failed) {
        std::fprintf(stderr, "the capacity could not be measured (a server or an agent failed)\n");
        return 1;
    }
    // Each round's ratio is its pair's (the bare round just before it). The
    // goal is met when every round meets it, missed when none does, and
    // undecided when the rounds straddle it.
    std::vector<double> ratios;
    for (size_t i = 0; i < ours.size(); ++i) ratios.push_back(ours[i] > 0 ? floor[i] / ours[i] : 1e9);
    const auto spread = [](const std::vector<double>& values, const char* format) {
        const auto range = std::minmax_element(values.begin(), values.end());
        char text[64];
        std::snprintf(text, sizeof text, format, Median(values), *range.first, *range.second);
        return std::string(text);
    };
    const auto rates = std::minmax_element(ours.begin(), ours.end());
    const auto costs = std::minmax_element(ratios.begin(), ratios.end());
    const bool met = *rates.first >= 2000 && *costs.second <= 2.0;
    const bool missed = *rates.second < 2000 || *costs.first > 2.0;
    std::printf(
        "simulator capacity: %.0f heartbeats/s answered against %.0f/s for the bare server (medians of %d "
        "rounds of %d s, %d agent processes, typical heartbeat, state on disk)\n",
        Median(ours), Median(floor), rounds, seconds, agents);
    std::printf(
        "ovx-bench\tSimulator heartbeats/s, typical heartbeat, %d agent processes, state on disk\t%s\t%s"
        "\t%s\t>= 2000/s, <= 2x the bare server's cost\t%s\n",
        agents, spread(ours, "%.0f/s (%.0f-%.0f)").c_str(), spread(floor, "%.0f/s (%.0f-%.0f)").c_str(),
        spread(ratios, "%.2fx (%.2f-%.2f)").c_str(),
        met      ? "ok"
        : missed ? "MISSED"
                 : "undecided");
    return 0;
}
