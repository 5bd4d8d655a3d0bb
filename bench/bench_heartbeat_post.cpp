// The post round trip of a typical heartbeat (50 modules, 100 schemas, 20
// policy items) through the session's queue, from queuing it until the
// loopback server's answer has been read and the message freed, against the
// same work done with the bare tools: serializing the message, posting its
// bytes with a bare libcurl handle to the same server, parsing the answer
// with a bare Xerces DOM parser and freeing the message. Building the message
// is outside both. The answer is the same small CML message in both, the one
// a server sends when it has nothing for the agent. What the session adds is
// its queue, the SCS post and turning the answer's DOM into CML objects.
#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/parsers/XercesDOMParser.hpp>
#include <xercesc/dom/DOMDocument.hpp>
#include <xercesc/dom/DOMElement.hpp>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "BenchReport.h"
#include "cml/core/cmlMessage.h"
#include "ovxSensorSvcs.h"
#include "sensor_services/SensorServices.h"
#include "support/TestServer.h"
#include "transport/mslLoader.h"

using namespace ovxSensorServices;

namespace {

const char kAnswer[] =
    "<ovx xmlns='https://schemas.example.org/xml' schema-version='1.0.1'>"
    "<cml xmlns='https://schemas.example.org/xml/cml/Message' schema-version='1.0.0'>"
    "<message-envelope broadcast='false' message-id='a'><source name='AgentManager'/>"
    "<destination name='Benchmark sensor' namespace='urn:sensors'"
    " agent-id='{6B29FC40-CA47-1067-B31D-00DD010662DA}'/>"
    "<message-body/>"
    "</message-envelope></cml></ovx>";

ovxTest::TestServer& Server() {
    static ovxTest::TestServer* server = [] {
        auto* created = new ovxTest::TestServer();
        created->server().Post("/ovx/sensor_services/heartbeat",
                               [](const httplib::Request&, httplib::Response& response) {
                                   response.set_content(kAnswer, "application/x-ovx-cml-data");
                               });
        created->Start();
        return created;
    }();
    return *server;
}

SS_HMESSAGE TypicalHeartbeat() {
    SS_HMESSAGE heartbeat = nullptr;
    CreateHeartbeat(&heartbeat, "{6B29FC40-CA47-1067-B31D-00DD010662DA}", "Benchmark sensor", "urn:sensors", "5.0.0",
                    "127.0.0.1");
    SetHostInfo(heartbeat, "bench-host", "127.0.0.1", "Linux", 0, "BENCH", "WORKGROUP", nullptr, nullptr);
    for (int i = 0; i < 50; ++i) {
        AddModuleInfo(heartbeat, ("module-" + std::to_string(i)).c_str(), "1.2.3", 0, nullptr);
    }
    for (int i = 0; i < 92; ++i) {  // with the 8 the heartbeat lists itself: 100
        AddSchemaInfo(heartbeat, nullptr, ("https://schemas.example.org/xml/cml/Ext" + std::to_string(i)).c_str(),
                      "1.0.0", 0, 0, 0, 0);
    }
    for (int i = 0; i < 20; ++i) {
        AddGetPolicyRequest(heartbeat, "0", ("policy-" + std::to_string(i)).c_str(), "urn:p", nullptr, nullptr,
                            nullptr);
    }
    return heartbeat;
}

size_t Collect(char* data, size_t size, size_t count, void* sink) {
    static_cast<std::string*>(sink)->append(data, size * count);
    return size * count;
}

void BareLibcurl(benchmark::State& state) {
    const std::string url = Server().Url() + "/ovx/sensor_services/heartbeat";
    CURL* curl = curl_easy_init();
    curl_slist* headers = curl_slist_append(nullptr, "Content-Type: application/x-ovx-cml-data; charset=UTF-8");
    std::string answer;
    xercesc::XercesDOMParser parser;
    parser.setDoNamespaces(true);
    for (auto _ : state) {
        state.PauseTiming();
        SS_HMESSAGE heartbeat = TypicalHeartbeat();
        state.ResumeTiming();
        std::ostringstream out;
        reinterpret_cast<ovx::cml::CCmlMessage*>(heartbeat)->Serialize(out);
        const std::string body = out.str();
        answer.clear();
        curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.data());
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &Collect);
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer);
        if (curl_easy_perform(curl) != CURLE_OK || answer.empty()) state.SkipWithError("bare post failed");
        xercesc::MemBufInputSource source(reinterpret_cast<const XMLByte*>(answer.data()), answer.size(), "answer",
                                          false);
        parser.parse(source);
        if (parser.getDocument() == nullptr || parser.getDocument()->getDocumentElement() == nullptr) {
            state.SkipWithError("bare parse failed");
        }
        parser.resetDocumentPool();
        // The message is freed once posted, as the session frees it.
        FreeHeartbeat(heartbeat);
    }
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
}

void SessionPost(benchmark::State& state) {
    auto* session = dynamic_cast<CSensorServices*>(ovxSensorSvcs::AcquireSession());
    if (session == nullptr) {
        state.SkipWithError("no session");
        return;
    }
    for (auto _ : state) {
        state.PauseTiming();
        SS_HMESSAGE heartbeat = TypicalHeartbeat();
        state.ResumeTiming();
        // Queue and send on this thread: the dispatch thread's wake-up is
        // not part of the post.
        if (session->QueueHeartbeatRequest(heartbeat, nullptr, nullptr) != 0 || session->SendPendingHeartbeat(0) != 0) {
            state.SkipWithError("session post failed");
            break;
        }
    }
    session->Release();
}

}  // namespace

BENCHMARK(BareLibcurl)->MinTime(1.0)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(SessionPost)->MinTime(1.0)->UseRealTime()->Unit(benchmark::kMicrosecond);

int main(int argc, char** argv) {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    char pattern[] = "/tmp/ovx-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) return 1;
    const std::string dir = pattern;
    // No automatic group settings request: both sides post the same bytes.
    std::ofstream(dir + "/local.ini") << "[scs]\nagentIdFile=" << dir
                                      << "/agent-id.ini\n[sensor_services]\nautoGroupSettingsRequest=0\n";
    std::ofstream(dir + "/comm.ini") << "[server.1]\nurl=" << Server().Url() << "\n";
    mslLoader::SetMSLLoaderLibPath(OVX_LIBRARY_DIR);
    RegisterSessionFactory();
    if (SS_Init("5.0", (dir + "/local.ini").c_str(), (dir + "/comm.ini").c_str(), "bench", nullptr, nullptr) != 0) {
        std::fprintf(stderr, "SS_Init failed\n");
        return 1;
    }
    ovxBench::CTimesReporter reporter;
    ovxBench::RunAll(argc, argv, reporter);
    const double ours = reporter.Time("SessionPost/min_time:1.000/real_time"),
                 bare = reporter.Time("BareLibcurl/min_time:1.000/real_time");
    if (ours > 0 && bare > 0) {
        ovxBench::Compare("heartbeat round trip vs bare serialize + libcurl post + Xerces parse of answer",
                          ovxBench::Figure(ours, "us"), ovxBench::Figure(bare, "us"), ours / bare, "<= 1.3x",
                          ours / bare <= 1.3);
    }
    benchmark::Shutdown();
    SS_ShutDown();
    std::system(("rm -rf '" + dir + "'").c_str());
    Server().Stop();
    curl_global_cleanup();
    return 0;
}
