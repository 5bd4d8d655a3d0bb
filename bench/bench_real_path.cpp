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
// Baseline, none of our code: the very bytes PostHeartbeat wrote into its
// out buffer, posted with one bare libcurl handle to the same loopback
// server, and the same answer parsed with a bare Xerces DOM parser.
//
// Each sample of ours is followed by one of the baseline, so both see the
// same machine. Samples follow each other without a pause, as an agent that
// waits for each acknowledgement before its next heartbeat would send them. The samples fall into 20 blocks; each block
// gives a ratio of medians. A figure is "met" when the 10th to 90th percentile of the block ratios lies within its
// goal, "missed" when it lies above it, and "undecided" when it straddles it.
//
// Start-up: SS_Init (SS_ShutDown untimed) against a bare start of the same
// kind: two INI files read with inih, a libcurl handle, a Xerces parser and
// one thread started and joined, interleaved the same way. Once as the first
// SS_Init of a process (each sample a fresh child process, the library
// already loaded, as an agent that links it), once as a later one.
//
//   ovxBenchRealPath CERTIFICATE_FOLDER [VARIANT]
// VARIANT (0 to 3) runs one round-trip variant alone, for a profiler.
#include <curl/curl.h>
#include <ini.h>
#include <sys/wait.h>
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
#include <string>
#include <thread>
#include <vector>

#include "ovxSensorSvcs.h"
#include "support/TestServer.h"
#include "support/TypicalHeartbeat.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kBlocks = 20;
constexpr int kPerBlock = 150;
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
    std::lock_guard<std::mutex> hold(g_lock);
    ++g_acknowledged;
    g_heard.notify_all();
    return 0;
}

SS_HMESSAGE TypicalHeartbeat() {
    return ovxTest::TypicalHeartbeat(kAgentId, "Benchmark sensor", "bench-host", "BENCH");
}

size_t Collect(char* data, size_t size, size_t count, void* sink) {
    static_cast<std::string*>(sink)->append(data, size * count);
    return size * count;
}

// The bare tools: one kept-alive libcurl handle and one Xerces parser.
class CBare {
public:
    CBare(const std::string& url, const std::string& caFile) : m_url(url), m_caFile(caFile) {
        m_curl = curl_easy_init();
        m_headers = curl_slist_append(nullptr, "Content-Type: application/x-ovx-cml-data; charset=UTF-8");
        // No "Expect: 100-continue" round trip for the larger bodies, as the
        // library sends none: the baseline is libcurl used well.
        m_headers = curl_slist_append(m_headers, "Expect:");
        m_parser.setDoNamespaces(true);
    }
    ~CBare() {
        curl_slist_free_all(m_headers);
        curl_easy_cleanup(m_curl);
    }
    bool RoundTrip(const std::string& body) {
        m_answer.clear();
        curl_easy_setopt(m_curl, CURLOPT_URL, m_url.c_str());
        if (!m_caFile.empty()) curl_easy_setopt(m_curl, CURLOPT_CAINFO, m_caFile.c_str());
        curl_easy_setopt(m_curl, CURLOPT_HTTPHEADER, m_headers);
        curl_easy_setopt(m_curl, CURLOPT_POSTFIELDS, body.data());
        curl_easy_setopt(m_curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
        curl_easy_setopt(m_curl, CURLOPT_WRITEFUNCTION, &Collect);
        curl_easy_setopt(m_curl, CURLOPT_WRITEDATA, &m_answer);
        if (curl_easy_perform(m_curl) != CURLE_OK || m_answer.empty()) return false;
        xercesc::MemBufInputSource source(reinterpret_cast<const XMLByte*>(m_answer.data()), m_answer.size(), "answer",
                                          false);
        m_parser.parse(source);
        const bool parsed = m_parser.getDocument() != nullptr && m_parser.getDocument()->getDocumentElement();
        m_parser.resetDocumentPool();
        return parsed;
    }

private:
    std::string m_url, m_caFile, m_answer;
    CURL* m_curl = nullptr;
    curl_slist* m_headers = nullptr;
    xercesc::XercesDOMParser m_parser;
};

double Percentile(std::vector<double> values, double fraction) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const size_t at = std::min(values.size() - 1, static_cast<size_t>(fraction * (values.size() - 1) + 0.5));
    return values[at];
}

// Medians, p99, and the block ratios' 10th to 90th percentile, against a
// goal on the ratio.
void Report(const std::string& what, const std::vector<double>& ours, const std::vector<double>& bare,
            const std::vector<double>& blockRatios, double goal, const char* unit) {
    const double low = Percentile(blockRatios, 0.1), high = Percentile(blockRatios, 0.9);
    const double ratio = Percentile(ours, 0.5) / Percentile(bare, 0.5);
    const char* verdict = high <= goal ? "ok" : low > goal ? "MISSED" : "undecided";
    char ourText[96], bareText[96], ratioText[64], goalText[32];
    std::snprintf(ourText, sizeof ourText, "%.0f %s (p99 %.0f)", Percentile(ours, 0.5), unit, Percentile(ours, 0.99));
    std::snprintf(bareText, sizeof bareText, "%.0f %s (p99 %.0f)", Percentile(bare, 0.5), unit, Percentile(bare, 0.99));
    std::snprintf(ratioText, sizeof ratioText, "%.2fx (%.2f-%.2f)", ratio, low, high);
    std::snprintf(goalText, sizeof goalText, "<= %.1fx", goal);
    std::printf("ovx-bench\t%s\t%s\t%s\t%s\t%s\t%s\n", what.c_str(), ourText, bareText, ratioText, goalText, verdict);
    std::fflush(stdout);
}

double Microseconds(Clock::duration elapsed) { return std::chrono::duration<double, std::micro>(elapsed).count(); }

struct Variant {
    const char* name;
    bool https;
    bool responseThread;
    double goal;
};

bool RunVariant(const Variant& variant, const std::string& dir, const std::string& certs) {
    std::unique_ptr<ovxTest::TestServer> server =
        variant.https ? std::make_unique<ovxTest::TestServer>(certs + "/server.pem", certs + "/server.key")
                      : std::make_unique<ovxTest::TestServer>();
    const std::string answer = Answer();
    server->server().Post("/ovx/sensor_services/heartbeat", [&](const httplib::Request&, httplib::Response& out) {
        out.set_content(answer, "application/x-ovx-cml-data");
    });
    server->Start();
    const std::string url = server->Url(variant.https ? "https" : "http");
    const std::string caFile = variant.https ? certs + "/ca.pem" : "";
    const std::string local = dir + "/local.ini", comm = dir + "/comm.ini";
    std::ofstream(local) << (variant.responseThread ? "[sensor_services]\nprocessResponseThread=1\n" : "");
    std::ofstream(comm) << "[server.1]\nurl=" << url << "\n" << (caFile.empty() ? "" : "caFile=" + caFile + "\n");
    if (SS_Init("5.0", local.c_str(), comm.c_str(), "bench", nullptr, nullptr) != 0) {
        std::fprintf(stderr, "SS_Init failed\n");
        return false;
    }
    RegisterGenericResponse(&OnGeneric);
    CBare bare(url + "/ovx/sensor_services/heartbeat", caFile);
    std::vector<char> buffer(256 * 1024);
    std::string body;
    auto ours = [&]() -> double {
        SS_HMESSAGE heartbeat = TypicalHeartbeat();
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
        body.assign(buffer.data(), length);
        return took;
    };
    auto baseline = [&]() -> double {
        const Clock::time_point start = Clock::now();
        if (!bare.RoundTrip(body)) return -1;
        return Microseconds(Clock::now() - start);
    };
    for (int i = 0; i < kWarmUp; ++i) {
        if (ours() < 0 || baseline() < 0) return false;
    }
    std::vector<double> all, allBare, ratios;
    for (int block = 0; block < kBlocks; ++block) {
        std::vector<double> mine, theirs;
        for (int i = 0; i < kPerBlock; ++i) {
            const double a = ours(), b = baseline();
            if (a < 0 || b < 0) return false;
            mine.push_back(a);
            theirs.push_back(b);
        }
        ratios.push_back(Percentile(mine, 0.5) / Percentile(theirs, 0.5));
        all.insert(all.end(), mine.begin(), mine.end());
        allBare.insert(allBare.end(), theirs.begin(), theirs.end());
    }
    SS_ShutDown();
    server->Stop();
    Report(std::string("heartbeat round trip through PostHeartbeat, ") + variant.name + " (" +
               std::to_string(body.size() / 1024) + " KB) vs bare libcurl + Xerces",
           all, allBare, ratios, variant.goal, "us");
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
    if (argc != 2 && argc != 3) {
        std::fprintf(stderr, "usage: %s CERTIFICATE_FOLDER [VARIANT]\n", argv[0]);
        return 2;
    }
    curl_global_init(CURL_GLOBAL_DEFAULT);
    char pattern[] = "/tmp/ovx-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) return 1;
    const std::string dir = pattern;
    bool ok = argc == 3 || RunFirstStart(dir);
    xercesc::XMLPlatformUtils::Initialize();
    const Variant variants[] = {{"HTTP", false, false, 1.3},
                                {"HTTP, processResponseThread on", false, true, 1.4},
                                {"HTTPS", true, false, 1.3},
                                {"HTTPS, processResponseThread on", true, true, 1.4}};
    if (argc == 3) {
        ok = RunVariant(variants[std::atoi(argv[2]) & 3], dir, argv[1]);
    } else {
        ok = ok && RunStartUp(dir);
        for (const Variant& variant : variants) ok = ok && RunVariant(variant, dir, argv[1]);
    }
    std::system(("rm -rf '" + dir + "'").c_str());
    xercesc::XMLPlatformUtils::Terminate();
    curl_global_cleanup();
    return ok ? 0 : 1;
}
