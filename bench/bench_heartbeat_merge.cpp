// Merging two heartbeats of n schemas, n modules and n policy items each, at
// 1x, 10x and 100x of a base n: the time per item stays flat (hashed keys),
// where matching by scanning would grow it a hundredfold.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <string>

#include "cml/core/cmlMessage.h"
#include "cml/documents/cmlAgentInfo.h"
#include "cml/documents/cmlPolicy.h"
#include "sensor_services/HbUtils.h"

using namespace ovx::cml;

namespace {

CCmlMessage Heartbeat(int n, int offset) {
    CCmlMessage message;
    CAgentStartupAnnouncement announcement;
    CGetPolicyRequest policies;
    for (int i = 0; i < n; ++i) {
        const std::wstring id = std::to_wstring(i + offset);
        announcement.GetContent().schemas.push_back(CSchemaInfo(L"urn:schema:" + id, L"1.0.0", L""));
        announcement.GetContent().modules.emplace_back(L"module-" + id, L"1");
        policies.AddItem(CPolicyItem(L"policy-" + id, L"urn:p", L"", L"", L"", 0, L"", L"0", L"", L"", L"policy-item"));
    }
    message.AddRequest(announcement);
    message.AddRequest(policies);
    return message;
}

void MergeHeartbeats(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    // Half of the newer heartbeat's items match the pending one's.
    const CCmlMessage newer = Heartbeat(n, n / 2);
    const CCmlMessage pending = Heartbeat(n, 0);
    for (auto _ : state) {
        state.PauseTiming();
        CCmlMessage into(pending);
        state.ResumeTiming();
        ovxSensorServices::HbUtils::Merge(newer, into);
        benchmark::DoNotOptimize(into.GetRequests().size());
    }
    state.counters["items"] = 3.0 * n;
}

class CGrowthReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) times[run.benchmark_name()] = run.GetAdjustedRealTime();
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> times;
};

}  // namespace

BENCHMARK(MergeHeartbeats)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
    mallopt(M_MMAP_THRESHOLD, 1 << 30);
    benchmark::Initialize(&argc, argv);
    CGrowthReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const double base = reporter.times["MergeHeartbeats/100"];
    for (int scale : {10, 100}) {
        const std::string name = "MergeHeartbeats/" + std::to_string(100 * scale);
        if (base > 0 && reporter.times.count(name) != 0) {
            // n log n would give log(100 * scale) / log(100) per item.
            std::printf("%3dx items: %.2fx the base time per item (linear 1.0, n log n %.1f, quadratic %d.0)\n", scale,
                        reporter.times[name] / scale / base, std::log(100.0 * scale) / std::log(100.0), scale);
        }
    }
    benchmark::Shutdown();
    return 0;
}
