// The heartbeat round trip an agent really makes, against the bare tools.
//
// Ours: through the public header only, with the shared library and default
// settings (the automatic group settings request on). A typical heartbeat
// (50 modules, 100 schemas, 20 policy items) is built with the builders
// (outside the timing), then the clock runs from PostHeartbeat until the
// agent's generic-response callback has heard the server's
// agent-startup-acknowledgement: the hand-off to the dispatch thread, the
// group settings step, serialization, the post, reading the answer and the
// callbacks. Once with processResponseThread off and once on, over HTTP and
// over HTTPS.
//
// The floor, none of our code, behind the same hand-offs: the very bytes
// PostHeartbeat wrote into its out buffer are handed to a sender thread,
// which posts them with one bare libcurl handle to the same loopback server
// and parses the answer with a bare Xerces DOM parser (with
// processResponseThread on, it hands the answer to a second thread that
// parses it); the result comes back to the agent's thread through a
// condition variable. Beside it, the same post and parse on the agent's own
// thread, with no thread at all. Their agent builds and frees the same
// heartbeat between round trips, as ours builds one, outside the timing and
// the CPU: every side's threads are as long idle when a round trip starts.
//
// The server runs in a child process, so that the process CPU of a round
// trip (getrusage over all threads, user + system) is the client's alone.
// Ours is measured in pairs with the floor: the two take turns round trip
// by round trip, in a new random order every round, so each of ours is
// measured within milliseconds of the floor's (a virtual machine's drift in
// speed, which runs over seconds, falls on both alike) and each side runs
// after the other as often as the other runs after it. That matters: a
// side meets what the one before it left in the caches and branch
// predictors, and it runs faster after code of its own kind. With the four sides shuffled
// together, three of them bare tools, the floor mostly ran after its own
// kind (the same libcurl calls, the same Xerces scanner) and ours after
// foreign code, which made ours look slower than it is
// (docs/performance.md has the latencies by predecessor). The second floor
// (threads and a connection of its own) and the bare tools with no thread
// are each paired with the floor the same way, in blocks taking turns with
// ours': the second floor's ratios to the floor are the method's own spread
// on this machine, printed beside each figure's.
//
// After each round trip all threads are left idle for kPause: the round
// trip's tail (the threads finishing after the callback) ends before the
// next side starts. OVX_BENCH_COLD=1 then also works over every core's
// caches (CCacheScrubber), as when an agent's heartbeats are minutes apart.
// A round trip's CPU is the process CPU from its start to the end of that
// pause, less the builder calls (timed on the agent's thread). A block of
// 60 rounds gives each side of a pair its median latency and its mean CPU,
// and ours against the floor a ratio of each. A figure is "ok" when the
// 10th to 90th percentile of the block ratios lies within its goal,
// "MISSED" when it lies above it, and "undecided" when it straddles it.
//
// The builder calls (CreateHeartbeat, SetHostInfo, the Add* calls and
// FreeHeartbeat) are timed apart, per item, on the typical heartbeat and on
// one ten times its size.
//
// Start-up: SS_Init (SS_ShutDown untimed) against a bare start of the same
// kind: two INI files read with inih, a libcurl handle, a Xerces parser and
// one thread started and joined, interleaved the same way. Once as the first
// SS_Init of a process (each sample a fresh child process, the library
// already loaded, as an agent that links it), once as a later one.
//
//   ovxBenchRealPath CERTIFICATE_FOLDER [VARIANT [SIDE]]
// VARIANT (0 to 3) runs one round-trip variant alone, for a profiler; SIDE
// ("ours" or "floor") then runs only that side, 30 blocks or
// OVX_BENCH_BLOCKS blocks of 60 round trips, each with its pause. VARIANT
// "builders" runs the builder calls alone.
#include <curl/curl.h>
#include <ini.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <xercesc/dom/DOMDocument.hpp>
#include <xercesc/dom/DOMElement.hpp>
#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/parsers/XercesDOMParser.hpp>
#include <xercesc/util/PlatformUtils.hpp>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "BareFloor.h"
#include "ovxSensorSvcs.h"
#include "support/TestServer.h"
#include "support/TypicalHeartbeat.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kBlocks = 30;
constexpr int kPerBlock = 60;
constexpr std::chrono::milliseconds kPause{3};
constexpr int kWarmUp = 200;
const char kAgentId[] = "{6B29FC40-CA47-1067-B31D-00DD010662DA}";

// What a server answers a heartbeat with in the field once the agent is
// known: the acknowledgement of its announcement, and "current" for the
// group settings request.
std::string Answer() {
    const std::string base = "https://schemas.example.org/xml";
    return "<?xml version='1.0' encoding='UTF-8'?><ovx xmlns='" + base + "' schema-version='1.0.1'><cml xmlns='" +
           base +
           "/cml/Message' schema-version='1.0.0'><message-envelope broadcast='false' message-id='answer' "
           "response-to='hb'><source name='AgentManager'/><destination name='Benchmark sensor' "
           "namespace='urn:sensors' agent-id='" +
           std::string(kAgentId) + "'/><message-body><response><agent-startup-acknowledgement xmlns='" + base +
           "/cml/Message/AgentMessages' schema-version='1.0.0' request-id='ack'/><get-policy-response xmlns='" + base +
           "/cml/Message/PolicyMessages' schema-version='1.0.0' request-id='gs'><policy-item namespace='" + base +
           "/cml/CommonDocuments/GroupSettings' schema-version='1.0.0' code='1196818438'/></get-policy-response>"
           "</response></message-body></message-envelope></cml></ovx>";
}

// Acknowledgements heard by the agent's callback.
std::mutex g_lock;
std::condition_variable g_heard;
long g_acknowledged = 0;

uint32_t OnGeneric(const char* tag, const char*, uint32_t, const char*, uint32_t, const char*, uint8_t) {
    if (std::strcmp(tag, "agent-startup-acknowledgement") != 0) return 0;
    {
        std::lock_guard<std::mutex> hold(g_lock);
        ++g_acknowledged;
    }
    g_heard.notify_all();  // after the lock, as the floor's hand-offs
    return 0;
}

SS_HMESSAGE TypicalHeartbeat() {
    return ovxTest::TypicalHeartbeat(kAgentId, "Benchmark sensor", "bench-host", "BENCH");
}

double Percentile(std::vector<double> values, double fraction) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const size_t at = std::min(values.size() - 1, static_cast<size_t>(fraction * (values.size() - 1) + 0.5));
    return values[at];
}

const char* Verdict(const std::vector<double>& values, double goal) {
    const double low = Percentile(values, 0.1), high = Percentile(values, 0.9);
    return high <= goal ? "ok" : low > goal ? "MISSED" : "undecided";
}

double Microseconds(Clock::duration elapsed) { return std::chrono::duration<double, std::micro>(elapsed).count(); }

// Process CPU (all threads, user + system) and the calling thread's CPU, in
// microseconds.
double ProcessCpu() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e6 + usage.ru_utime.tv_usec + usage.ru_stime.tv_usec;
}
double ThreadCpu() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return now.tv_sec * 1e6 + now.tv_nsec / 1e3;
}

// The loopback server, in a child process of its own, until the object goes.
class CServerChild {
public:
    CServerChild(bool https, const std::string& certs, const std::string& answer) {
        int port[2], stop[2];
        if (pipe(port) != 0 || pipe(stop) != 0) return;
        m_child = fork();
        if (m_child == 0) {
            close(port[0]);
            close(stop[1]);
            Serve(https, certs, answer, port[1], stop[0]);
            _exit(0);
        }
        close(port[1]);
        close(stop[0]);
        m_stop = stop[1];
        if (read(port[0], &m_port, sizeof m_port) != sizeof m_port) m_port = -1;
        close(port[0]);
    }
    ~CServerChild() {
        if (m_stop >= 0) close(m_stop);
        if (m_child > 0) waitpid(m_child, nullptr, 0);
    }
    CServerChild(const CServerChild&) = delete;
    CServerChild& operator=(const CServerChild&) = delete;
    int port() const { return m_port; }

private:
    static void Serve(bool https, const std::string& certs, const std::string& answer, int portOut, int stopIn) {
        std::unique_ptr<ovxTest::TestServer> server =
            https ? std::make_unique<ovxTest::TestServer>(certs + "/server.pem", certs + "/server.key")
                  : std::make_unique<ovxTest::TestServer>();
        server->server().Post("/ovx/sensor_services/heartbeat", [&](const httplib::Request&, httplib::Response& out) {
            out.set_content(answer, "application/x-ovx-cml-data");
        });
        const int port = server->Start();
        (void)!write(portOut, &port, sizeof port);
        char byte;
        while (read(stopIn, &byte, 1) > 0) {
        }
        server->Stop();
    }
    pid_t m_child = -1;
    int m_stop = -1, m_port = -1;
};

// Works over every core's caches before a round trip: one thread pinned to
// each core the process may use writes to a buffer of its own, together
// twice the largest cache this machine reports (the shared last level), so
// that what any side left there is gone. Its time and CPU lie outside every
// measurement.
class CCacheScrubber {
public:
    CCacheScrubber() {
        cpu_set_t allowed;
        CPU_ZERO(&allowed);
        if (sched_getaffinity(0, sizeof allowed, &allowed) != 0) return;
        std::vector<int> cpus;
        for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
            if (CPU_ISSET(cpu, &allowed)) cpus.push_back(cpu);
        const size_t each = std::max<size_t>(2 * LargestCache() / std::max<size_t>(cpus.size(), 1), 4u << 20);
        for (const int cpu : cpus) m_threads.emplace_back([this, cpu, each] { Run(cpu, each); });
    }
    ~CCacheScrubber() {
        {
            std::lock_guard<std::mutex> hold(m_lock);
            m_stop = true;
        }
        m_wake.notify_all();
        for (std::thread& thread : m_threads) thread.join();
    }
    CCacheScrubber(const CCacheScrubber&) = delete;
    CCacheScrubber& operator=(const CCacheScrubber&) = delete;

    void Scrub() {
        std::unique_lock<std::mutex> hold(m_lock);
        ++m_round;
        m_done = 0;
        m_wake.notify_all();
        m_finished.wait(hold, [&] { return m_done == m_threads.size(); });
    }

private:
    // In bytes, from sysfs ("32768K"); 32 MiB when it says nothing.
    static size_t LargestCache() {
        size_t largest = 0;
        for (int index = 0; index < 8; ++index) {
            std::ifstream file("/sys/devices/system/cpu/cpu0/cache/index" + std::to_string(index) + "/size");
            size_t size = 0;
            std::string unit;
            if (!(file >> size)) continue;
            file >> unit;
            largest = std::max(largest, size << (unit == "K" ? 10 : unit == "M" ? 20 : 0));
        }
        return largest != 0 ? largest : 32u << 20;
    }
    void Run(int cpu, size_t size) {
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(cpu, &one);
        pthread_setaffinity_np(pthread_self(), sizeof one, &one);
        std::vector<unsigned char> memory(size, 1);
        unsigned long seen = 0;
        for (;;) {
            {
                std::unique_lock<std::mutex> hold(m_lock);
                m_wake.wait(hold, [&] { return m_stop || m_round != seen; });
                if (m_stop) return;
                seen = m_round;
            }
            for (size_t at = 0; at < memory.size(); at += 64) memory[at] = static_cast<unsigned char>(memory[at] + 1);
            {
                std::lock_guard<std::mutex> hold(m_lock);
                ++m_done;
            }
            m_finished.notify_one();
        }
    }
    std::mutex m_lock;
    std::condition_variable m_wake, m_finished;
    unsigned long m_round = 0;
    size_t m_done = 0;
    bool m_stop = false;
    std::vector<std::thread> m_threads;
};

// One side's samples: every round trip's latency, and per block its median
// latency and its CPU per round trip.
struct Side {
    std::vector<double> latency, blockMedian, blockCpu;
};

// A round trip: its latency in microseconds (negative on failure); adds to
// `excluded` the CPU the agent's thread spent on what is not measured.
using RoundTrip = std::function<double(double& excluded)>;

// One block: kPerBlock rounds of one round trip per side, each followed by
// the pause; the sides' order in a round drawn from `random`.
bool RunBlock(const std::vector<RoundTrip>& sides, std::vector<Side>& results, std::mt19937& random,
              CCacheScrubber* scrubber) {
    const size_t count = sides.size();
    std::vector<std::vector<double>> took(count);
    std::vector<double> cpu(count, 0.0);
    std::vector<size_t> turns(count);
    for (int round = 0; round < kPerBlock; ++round) {
        for (size_t side = 0; side < count; ++side) turns[side] = side;
        std::shuffle(turns.begin(), turns.end(), random);
        for (const size_t side : turns) {
            if (scrubber != nullptr) scrubber->Scrub();
            double excluded = 0;
            const double before = ProcessCpu();
            const double latency = sides[side](excluded);
            if (latency < 0) return false;
            std::this_thread::sleep_for(kPause);
            cpu[side] += ProcessCpu() - before - excluded;
            took[side].push_back(latency);
        }
    }
    for (size_t side = 0; side < count; ++side) {
        results[side].blockCpu.push_back(cpu[side] / kPerBlock);
        results[side].blockMedian.push_back(Percentile(took[side], 0.5));
        results[side].latency.insert(results[side].latency.end(), took[side].begin(), took[side].end());
    }
    return true;
}

std::vector<double> Ratios(const std::vector<double>& ours, const std::vector<double>& floor) {
    std::vector<double> ratios;
    for (size_t i = 0; i < ours.size() && i < floor.size(); ++i) ratios.push_back(ours[i] / floor[i]);
    return ratios;
}

void Line(const std::string& what, const std::string& ours, const std::string& floor, const std::string& ratio,
          const std::string& goal, const char* verdict) {
    std::printf("ovx-bench\t%s\t%s\t%s\t%s\t%s\t%s\n", what.c_str(), ours.c_str(), floor.c_str(), ratio.c_str(),
                goal.c_str(), verdict);
    std::fflush(stdout);
}

std::string Format(const char* format, double a, double b = 0, double c = 0) {
    char text[128];
    std::snprintf(text, sizeof text, format, a, b, c);
    return text;
}

// Latency (medians, p99) and CPU per round trip of ours against the floor
// it was paired with, the no-thread baseline beside it; ratios with the
// block ratios' spread, and beside them the spread of the second floor's
// against the floor in their own pairs.
void Report(const std::string& what, const std::vector<Side>& pair, const Side& bare, const std::vector<Side>& second,
            double latencyGoal, double cpuGoal) {
    const Side &ours = pair[0], &floor = pair[1];
    const std::vector<double> latency = Ratios(ours.blockMedian, floor.blockMedian);
    const std::vector<double> cpu = Ratios(ours.blockCpu, floor.blockCpu);
    const std::vector<double> sameLatency = Ratios(second[0].blockMedian, second[1].blockMedian);
    const std::vector<double> sameCpu = Ratios(second[0].blockCpu, second[1].blockCpu);
    const auto ratio = [](const std::vector<double>& ratios, double median, const std::vector<double>& same) {
        return Format("%.2fx (%.2f-%.2f)", median, Percentile(ratios, 0.1), Percentile(ratios, 0.9)) +
               Format("; floor vs floor %.2f-%.2f", Percentile(same, 0.1), Percentile(same, 0.9));
    };
    const auto latencyText = [](const Side& side) {
        return Format("%.0f us (p99 %.0f)", Percentile(side.latency, 0.5), Percentile(side.latency, 0.99));
    };
    Line("latency: " + what, latencyText(ours), "floor " + latencyText(floor) + "; no thread " + latencyText(bare),
         ratio(latency, Percentile(ours.latency, 0.5) / Percentile(floor.latency, 0.5), sameLatency),
         Format("<= %.1fx the floor", latencyGoal), Verdict(latency, latencyGoal));
    const auto cpuText = [](const Side& side) {
        return Format("%.0f us (%.0f-%.0f)", Percentile(side.blockCpu, 0.5), Percentile(side.blockCpu, 0.1),
                      Percentile(side.blockCpu, 0.9));
    };
    Line("process CPU per round trip, builders left out: " + what, cpuText(ours),
         "floor " + cpuText(floor) + "; no thread " + cpuText(bare),
         ratio(cpu, Percentile(ours.blockCpu, 0.5) / Percentile(floor.blockCpu, 0.5), sameCpu),
         Format("<= %.1fx the floor", cpuGoal), Verdict(cpu, cpuGoal));
}

struct Variant {
    const char* name;
    bool https;
    bool responseThread;
};

// Which sides run: all three, or one alone for a profiler.
enum class Sides { All, Ours, Floor };

bool StartSession(const Variant& variant, const std::string& dir, const std::string& url, const std::string& caFile) {
    const std::string local = dir + "/local.ini", comm = dir + "/comm.ini";
    std::ofstream(local) << (variant.responseThread ? "[sensor_services]\nprocessResponseThread=1\n" : "");
    std::ofstream(comm) << "[server.1]\nurl=" << url << "\n" << (caFile.empty() ? "" : "caFile=" + caFile + "\n");
    if (SS_Init("5.0", local.c_str(), comm.c_str(), "bench", nullptr, nullptr) != 0) {
        std::fprintf(stderr, "SS_Init failed\n");
        return false;
    }
    RegisterGenericResponse(&OnGeneric);
    return true;
}

// Ours: the heartbeat built (its CPU left out), then posted until the
// agent's callback hears the acknowledgement. The out buffer's text is kept
// in `body` for the bare sides.
double OursRoundTrip(std::vector<char>& buffer, std::string& body, double& excluded) {
    const double building = ThreadCpu();
    SS_HMESSAGE heartbeat = TypicalHeartbeat();
    excluded += ThreadCpu() - building;
    uint32_t length = static_cast<uint32_t>(buffer.size());
    long before;
    {
        std::lock_guard<std::mutex> hold(g_lock);
        before = g_acknowledged;
    }
    const Clock::time_point start = Clock::now();
    if (PostHeartbeat(heartbeat, buffer.data(), &length) != 0) return -1;
    std::unique_lock<std::mutex> hold(g_lock);
    if (!g_heard.wait_for(hold, std::chrono::seconds(10), [&] { return g_acknowledged > before; })) return -1;
    const double took = Microseconds(Clock::now() - start);
    if (body.empty()) body.assign(buffer.data(), length);
    return took;
}

bool RunVariant(const Variant& variant, const std::string& dir, const std::string& certs, Sides sides) {
    const CServerChild server(variant.https, certs, Answer());
    if (server.port() < 0) return false;
    const std::string url = std::string(variant.https ? "https" : "http") +
                            "://127.0.0.1:" + std::to_string(server.port()),
                      caFile = variant.https ? certs + "/ca.pem" : "";
    if (!StartSession(variant, dir, url, caFile)) return false;
    const std::string path = url + "/ovx/sensor_services/heartbeat";
    ovxBench::CBare bare(path, caFile);
    ovxBench::CBareBehindThreads floor(path, caFile, variant.responseThread);
    ovxBench::CBareBehindThreads second(path, caFile, variant.responseThread);
    std::vector<char> buffer(256 * 1024);
    std::string body;
    const RoundTrip ours = [&](double& excluded) { return OursRoundTrip(buffer, body, excluded); };
    // The bare sides' agent does what ours does before its round trips: it
    // builds (and here frees) the same heartbeat, outside the timing and the
    // CPU, so that each side starts with what an agent's caches hold.
    const auto timed = [&](auto& tools) -> RoundTrip {
        return [&](double& excluded) {
            const double building = ThreadCpu();
            if (FreeHeartbeat(TypicalHeartbeat()) != 0) return -1.0;
            excluded += ThreadCpu() - building;
            const Clock::time_point start = Clock::now();
            return tools.RoundTrip(body) ? Microseconds(Clock::now() - start) : -1;
        };
    };
    // Ours first: its out buffer gives the others their body.
    const RoundTrip floorTrip = timed(floor);
    const std::vector<RoundTrip> partners = {ours, timed(second), timed(bare)};
    double excluded = 0;
    const char* blocks = std::getenv("OVX_BENCH_BLOCKS");  // a shorter run under a slow profiler
    for (int i = 0; i < (blocks != nullptr ? 10 : kWarmUp); ++i) {
        for (const RoundTrip& roundTrip : {partners[0], floorTrip, partners[1], partners[2]})
            if (roundTrip(excluded) < 0) return false;
    }
    const int count = blocks != nullptr ? std::atoi(blocks) : kBlocks;
    std::mt19937 random(20261209);  // the same orders in every run
    const char* cold = std::getenv("OVX_BENCH_COLD");
    std::unique_ptr<CCacheScrubber> scrubber;
    if (cold != nullptr && std::strcmp(cold, "1") == 0) scrubber = std::make_unique<CCacheScrubber>();
    if (sides != Sides::All) {
        std::vector<Side> alone(1);
        for (int block = 0; block < count; ++block)
            if (!RunBlock({sides == Sides::Ours ? partners[0] : floorTrip}, alone, random, scrubber.get()))
                return false;
        SS_ShutDown();
        return true;
    }
    // Each of the others is paired with the floor, a block a pair, the
    // pairs taking turns: ours, the second floor, the bare tools.
    std::vector<std::vector<Side>> results(partners.size(), std::vector<Side>(2));
    for (int block = 0; block < count; ++block) {
        for (size_t pair = 0; pair < partners.size(); ++pair)
            if (!RunBlock({partners[pair], floorTrip}, results[pair], random, scrubber.get())) return false;
    }
    SS_ShutDown();
    Report(std::string("typical heartbeat (") + std::to_string(body.size() / 1024) + " KB), " + variant.name +
               ", through PostHeartbeat vs bare libcurl + Xerces behind the same hand-offs",
           results[0], results[2][0], results[1], 1.3, 1.5);
    return true;
}

// The builder calls of a heartbeat `scale` times the typical one, their
// names made beforehand: thread CPU per call in microseconds, or -1 when a
// call failed.
double BuildOnce(int scale) {
    static std::vector<std::string> names[3];
    for (int i = static_cast<int>(names[0].size()); i < scale * 50; ++i)
        names[0].push_back("module-" + std::to_string(i));
    for (int i = static_cast<int>(names[1].size()); i < scale * 92; ++i)
        names[1].push_back("https://schemas.example.org/xml/cml/Ext" + std::to_string(i));
    for (int i = static_cast<int>(names[2].size()); i < scale * 20; ++i)
        names[2].push_back("policy-" + std::to_string(i));
    const double start = ThreadCpu();
    SS_HMESSAGE heartbeat = nullptr;
    uint32_t failed = CreateHeartbeat(&heartbeat, kAgentId, "Benchmark sensor", "urn:sensors", "5.0.0", "127.0.0.1");
    failed |= SetHostInfo(heartbeat, "bench-host", "127.0.0.1", "Linux", 0, "BENCH", "WORKGROUP", nullptr, nullptr);
    for (int i = 0; i < scale * 50; ++i) failed |= AddModuleInfo(heartbeat, names[0][i].c_str(), "1.2.3", 0, nullptr);
    for (int i = 0; i < scale * 92; ++i)
        failed |= AddSchemaInfo(heartbeat, nullptr, names[1][i].c_str(), "1.0.0", 0, 0, 0, 0);
    for (int i = 0; i < scale * 20; ++i)
        failed |= AddGetPolicyRequest(heartbeat, "0", names[2][i].c_str(), "urn:p", nullptr, nullptr, nullptr);
    failed |= FreeHeartbeat(heartbeat);
    const double took = ThreadCpu() - start;
    return failed != 0 ? -1 : took / (3 + scale * (50 + 92 + 20));
}

// In a session of their own, as an agent calls them.
bool RunBuilders(const std::string& dir) {
    const std::string local = dir + "/local.ini", comm = dir + "/comm.ini";
    std::ofstream(local) << "";
    std::ofstream(comm) << "[server.1]\nurl=http://127.0.0.1:9\n";
    if (SS_Init("5.0", local.c_str(), comm.c_str(), "bench", nullptr, nullptr) != 0) return false;
    std::vector<double> typical, large;
    for (int i = 0; i < 20; ++i) BuildOnce(i % 2 == 0 ? 1 : 10);
    for (int i = 0; i < 400; ++i) {
        typical.push_back(BuildOnce(1));
        if (i % 5 == 0) large.push_back(BuildOnce(10));
    }
    SS_ShutDown();
    if (*std::min_element(typical.begin(), typical.end()) < 0 || *std::min_element(large.begin(), large.end()) < 0) {
        std::fprintf(stderr, "a builder call failed\n");
        return false;
    }
    const double goal = 0.3;
    for (const auto& run : {std::make_pair("typical heartbeat (165 calls)", &typical),
                            std::make_pair("10x the typical heartbeat (1,623 calls)", &large)}) {
        const std::vector<double>& values = *run.second;
        Line(std::string("builder calls (CreateHeartbeat, SetHostInfo, Add*, FreeHeartbeat), CPU per call: ") +
                 run.first,
             Format("%.3f us (%.3f-%.3f)", Percentile(values, 0.5), Percentile(values, 0.1), Percentile(values, 0.9)),
             "-", "-", Format("<= %.1f us a call", goal), Verdict(values, goal));
    }
    return true;
}

int IniHandler(void* user, const char*, const char*, const char*) {
    ++*static_cast<int*>(user);
    return 1;
}

// The bare start: what SS_Init does, done with the bare tools.
void BareStart(const std::string& local, const std::string& comm, bool first) {
    if (first) xercesc::XMLPlatformUtils::Initialize();
    int entries = 0;
    ini_parse(local.c_str(), &IniHandler, &entries);
    ini_parse(comm.c_str(), &IniHandler, &entries);
    CURL* curl = curl_easy_init();
    auto parser = std::make_unique<xercesc::XercesDOMParser>();
    parser->setDoNamespaces(true);
    std::thread worker([] {});
    worker.join();
    curl_easy_cleanup(curl);
}

// One start in a fresh child process; its time in milliseconds, or -1.
double InChild(const std::function<bool()>& start) {
    int result[2];
    if (pipe(result) != 0) return -1;
    const pid_t child = fork();
    if (child == 0) {
        close(result[0]);
        const Clock::time_point begin = Clock::now();
        double took = start() ? Microseconds(Clock::now() - begin) / 1000 : -1;
        (void)!write(result[1], &took, sizeof took);
        _exit(0);
    }
    close(result[1]);
    double took = -1;
    if (read(result[0], &took, sizeof took) != sizeof took) took = -1;
    close(result[0]);
    waitpid(child, nullptr, 0);
    return took;
}

void ReportStart(const char* what, const std::vector<double>& ours, const std::vector<double>& bare) {
    const double median = Percentile(ours, 0.5), low = Percentile(ours, 0.1), high = Percentile(ours, 0.9);
    char ourText[96], bareText[96], ratioText[32];
    std::snprintf(ourText, sizeof ourText, "%.2f ms (%.2f-%.2f)", median, low, high);
    std::snprintf(bareText, sizeof bareText, "%.2f ms", Percentile(bare, 0.5));
    std::snprintf(ratioText, sizeof ratioText, "%.1fx", median / Percentile(bare, 0.5));
    const char* verdict = high < 2.0 ? "ok" : low >= 2.0 ? "MISSED" : "undecided";
    std::printf("ovx-bench\t%s\t%s\t%s\t%s\t< 2 ms\t%s\n", what, ourText, bareText, ratioText, verdict);
    std::fflush(stdout);
}

// The first SS_Init of a process. Run before this process starts Xerces or
// a session, so that each child starts as an agent's process would.
bool RunFirstStart(const std::string& dir) {
    const std::string local = dir + "/local.ini", comm = dir + "/comm.ini";
    std::ofstream(local) << "";
    std::ofstream(comm) << "[server.1]\nurl=http://127.0.0.1:9\n";
    std::vector<double> ours, bare;
    for (int i = 0; i < 30; ++i) {
        const double mine =
            InChild([&] { return SS_Init("5.0", local.c_str(), comm.c_str(), "bench", nullptr, nullptr) == 0; });
        const double theirs = InChild([&] {
            BareStart(local, comm, true);
            return true;
        });
        if (mine < 0 || theirs < 0) return false;
        ours.push_back(mine);
        bare.push_back(theirs);
    }
    ReportStart("first SS_Init of a process, release build, vs a bare start (2 INI files, curl handle, Xerces, thread)",
                ours, bare);
    return true;
}

bool RunStartUp(const std::string& dir) {
    const std::string local = dir + "/local.ini", comm = dir + "/comm.ini";
    std::ofstream(local) << "";
    std::ofstream(comm) << "[server.1]\nurl=http://127.0.0.1:9\n";
    std::vector<double> ours, bare, ratios;
    for (int block = 0; block < 5; ++block) {
        std::vector<double> mine, theirs;
        for (int i = 0; i < 12; ++i) {
            Clock::time_point start = Clock::now();
            if (SS_Init("5.0", local.c_str(), comm.c_str(), "bench", nullptr, nullptr) != 0) return false;
            mine.push_back(Microseconds(Clock::now() - start) / 1000);
            SS_ShutDown();
            start = Clock::now();
            BareStart(local, comm, false);
            theirs.push_back(Microseconds(Clock::now() - start) / 1000);
        }
        ratios.push_back(Percentile(mine, 0.5) / Percentile(theirs, 0.5));
        ours.insert(ours.end(), mine.begin(), mine.end());
        bare.insert(bare.end(), theirs.begin(), theirs.end());
    }
    ReportStart("later SS_Init of a process, release build, vs a bare start", ours, bare);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 4) {
        std::fprintf(stderr, "usage: %s CERTIFICATE_FOLDER [VARIANT [ours|floor]]\n", argv[0]);
        return 2;
    }
    curl_global_init(CURL_GLOBAL_DEFAULT);
    char pattern[] = "/tmp/ovx-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) return 1;
    const std::string dir = pattern;
    bool ok = argc > 2 || RunFirstStart(dir);
    xercesc::XMLPlatformUtils::Initialize();
    const Variant variants[] = {{"HTTP, processResponseThread off", false, false},
                                {"HTTP, processResponseThread on", false, true},
                                {"HTTPS, processResponseThread off", true, false},
                                {"HTTPS, processResponseThread on", true, true}};
    if (argc == 3 && std::string(argv[2]) == "builders") {
        ok = RunBuilders(dir);
    } else if (argc > 2) {
        const Sides sides = argc == 3 ? Sides::All : std::string(argv[3]) == "floor" ? Sides::Floor : Sides::Ours;
        ok = RunVariant(variants[std::atoi(argv[2]) & 3], dir, argv[1], sides);
    } else {
        ok = ok && RunStartUp(dir);
        ok = ok && RunBuilders(dir);
        for (const Variant& variant : variants) ok = ok && RunVariant(variant, dir, argv[1], Sides::All);
    }
    std::system(("rm -rf '" + dir + "'").c_str());
    xercesc::XMLPlatformUtils::Terminate();
    curl_global_cleanup();
    return ok ? 0 : 1;
}
