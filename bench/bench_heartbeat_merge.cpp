// Merging two heartbeats of n schemas, n modules and n policy items each, at
// 1x, 10x and 100x of a base n: the time per item stays flat (hashed keys),
// where matching by scanning would grow it a hundredfold.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <cstdio>
#include <memory>
#include <string>

#include "BenchReport.h"
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
        auto into = std::make_unique<CCmlMessage>(pending);
        state.ResumeTiming();
        ovxSensorServices::HbUtils::Merge(newer, *into);
        benchmark::DoNotOptimize(into->GetRequests().size());
        // Making the copy and freeing the result are not the merge.
        state.PauseTiming();
        into.reset();
        state.ResumeTiming();
    }
    state.counters["items"] = 3.0 * n;
}

}  // namespace

BENCHMARK(MergeHeartbeats)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
    mallopt(M_MMAP_THRESHOLD, 1 << 30);
    ovxBench::CTimesReporter reporter;
    ovxBench::RunAll(argc, argv, reporter);
    const double base = reporter.Time("MergeHeartbeats/100");
    for (int scale : {10, 100}) {
        const double time = reporter.Time("MergeHeartbeats/" + std::to_string(100 * scale));
        if (base <= 0 || time <= 0) continue;
        const double perItem = time / scale;
        ovxBench::Compare("heartbeat merge " + std::to_string(scale) + "x items, time per item vs 1x",
                          ovxBench::Figure(perItem * 1000 / 300, "us/item"),
                          ovxBench::Figure(base * 1000 / 300, "us/item"), perItem / base, "<= 1.5x (linear)",
                          perItem / base <= 1.5);
    }
    benchmark::Shutdown();
    return 0;
}
