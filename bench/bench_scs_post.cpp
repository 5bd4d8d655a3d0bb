// Posting 2 KB bodies over one kept-alive loopback connection: SCS_PostData
// against a bare libcurl loop doing the same posts to the same server. The
// difference is what our library adds (settings lookup, handle pool, status
// mapping, the answer copy), which should stay small next to a round trip.
#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "BenchReport.h"
#include "scs/ScsDeclarations.h"
#include "support/TestServer.h"

namespace {

const std::string kBody(2048, 'h');

ovxTest::TestServer& Server() {
    static ovxTest::TestServer* server = [] {
        auto* created = new ovxTest::TestServer();
        created->server().Post("/cml", [](const httplib::Request& request, httplib::Response& response) {
            response.set_content(request.body.substr(0, 256), "text/xml; charset=UTF-8");
        });
        created->Start();
        return created;
    }();
    return *server;
}

size_t Collect(char* data, size_t size, size_t count, void* sink) {
    static_cast<std::string*>(sink)->append(data, size * count);
    return size * count;
}

void BareLibcurl(benchmark::State& state) {
    std::string url = Server().Url() + "/cml";
    CURL* curl = curl_easy_init();
    curl_slist* headers = curl_slist_append(nullptr, "Content-Type: text/xml; charset=UTF-8");
    std::string answer;
    for (auto _ : state) {
        answer.clear();
        curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, kBody.data());
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(kBody.size()));
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &Collect);
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer);
        if (curl_easy_perform(curl) != CURLE_OK || answer.size() != 256) {
            state.SkipWithError("bare libcurl post failed");
            break;
        }
    }
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
    state.counters["posts/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

void ScsPostData(benchmark::State& state) {
    char pattern[] = "/tmp/ovx-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        state.SkipWithError("no temporary folder");
        return;
    }
    std::string dir = pattern;
    std::ofstream(dir + "/local.ini") << "[scs]\n";
    std::ofstream(dir + "/comm.ini") << "[server.1]\nurl=" << Server().Url() << "\n";
    SS_TraceSink sink{0, 0, nullptr};
    int32_t destination = -1;
    if (SCS_Init("5.9", "ovx-bench", nullptr, &sink) != 0 ||
        SCS_AddDestinationFiles((dir + "/local.ini").c_str(), (dir + "/comm.ini").c_str(), &destination) != 0) {
        state.SkipWithError("SCS set-up failed");
        return;
    }
    for (auto _ : state) {
        uint8_t* answer = nullptr;
        uint32_t length = 0;
        uint32_t status = SCS_PostData(destination, 0, "/cml", 0, "text/xml; charset=UTF-8",
                                       reinterpret_cast<const uint8_t*>(kBody.data()),
                                       static_cast<uint32_t>(kBody.size()), nullptr, &answer, &length);
        SCS_Free(answer);
        if (status != 0 || length != 256) {
            state.SkipWithError("SCS_PostData failed");
            break;
        }
    }
    SCS_ShutDown();
    std::string command = "rm -rf '" + dir + "'";
    if (system(command.c_str()) != 0) state.SkipWithError("cannot remove the temporary folder");
    state.counters["posts/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

}  // namespace

BENCHMARK(BareLibcurl)->MinTime(1.0)->UseRealTime();
BENCHMARK(ScsPostData)->MinTime(1.0)->UseRealTime();

int main(int argc, char** argv) {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    ovxBench::CTimesReporter reporter;
    ovxBench::RunAll(argc, argv, reporter);
    const double ours = reporter.Time("ScsPostData/min_time:1.000/real_time"),
                 bare = reporter.Time("BareLibcurl/min_time:1.000/real_time");
    if (ours > 0 && bare > 0) {
        // A rate: ours over the baseline's, higher is better.
        ovxBench::Compare("SCS_PostData posts/s vs bare libcurl", ovxBench::Figure(1e9 / ours, "/s"),
                          ovxBench::Figure(1e9 / bare, "/s"), bare / ours, ">= 0.8x", bare / ours >= 0.8);
    }
    benchmark::Shutdown();
    Server().Stop();
    return 0;
}
