// What every benchmark program shares: a reporter that keeps each
// benchmark's time for the comparisons printed after the run, and the
// comparison line itself. Lines that start with "ovx-bench" are read by
// bench/run into one table; a person reading a program's own output sees
// the same figures. The long-run checks of tests/stress print lines of the
// same form.
#ifndef OVX_BENCH_BENCHREPORT_H
#define OVX_BENCH_BENCHREPORT_H

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace ovxBench {

class CTimesReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        // With repetitions, a benchmark's time is its median; runs of single
        // repetitions (or a program run with --benchmark_repetitions=1) are
        // kept as they come.
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "median") continue;
            m_times[WithoutRepeats(run.run_name.str())] = run.GetAdjustedRealTime();
        }
        ConsoleReporter::ReportRuns(runs);
    }
    // The time of a benchmark by its name without the "/repeats:N" part, or
    // 0 if it did not run.
    double Time(const std::string& name) const {
        auto found = m_times.find(name);
        return found == m_times.end() ? 0.0 : found->second;
    }

private:
    static std::string WithoutRepeats(std::string name) {
        const size_t at = name.find("/repeats:");
        if (at == std::string::npos) return name;
        const size_t next = name.find('/', at + 1);
        name.erase(at, next == std::string::npos ? std::string::npos : next - at);
        return name;
    }
    std::map<std::string, double> m_times;
};

// Runs every registered benchmark with `reporter`. A shared virtual machine
// drifts in speed over seconds, which a baseline measured before or after
// its comparison would take for our cost: each benchmark runs five times,
// the runs of all of them interleaved at random, and each is read by its
// median. Flags given on the command line come later and win.
inline void RunAll(int argc, char** argv, CTimesReporter& reporter) {
    std::vector<char*> arguments(argv, argv + argc);
    static char repetitions[] = "--benchmark_repetitions=5";
    static char interleave[] = "--benchmark_enable_random_interleaving=true";
    static char aggregates[] = "--benchmark_report_aggregates_only=true";
    arguments.insert(arguments.begin() + (argc > 0 ? 1 : 0), {repetitions, interleave, aggregates});
    int count = static_cast<int>(arguments.size());
    arguments.push_back(nullptr);
    benchmark::Initialize(&count, arguments.data());
    benchmark::RunSpecifiedBenchmarks(&reporter);
}

// One comparison: our figure, the baseline measured in the same run, their
// ratio, the goal in words and whether it was met.
inline void Compare(const std::string& what, const std::string& ours, const std::string& baseline, double ratio,
                    const std::string& goal, bool met) {
    std::printf("ovx-bench\t%s\t%s\t%s\t%.2fx\t%s\t%s\n", what.c_str(), ours.c_str(), baseline.c_str(), ratio,
                goal.c_str(), met ? "ok" : "MISSED");
    std::fflush(stdout);
}

inline std::string Figure(double value, const char* unit) {
    char text[64];
    std::snprintf(text, sizeof text, value < 10 ? "%.3f %s" : "%.1f %s", value, unit);
    return text;
}

}  // namespace ovxBench

#endif  // OVX_BENCH_BENCHREPORT_H
