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
        for (const Run& run : runs) m_times[run.benchmark_name()] = run.GetAdjustedRealTime();
        ConsoleReporter::ReportRuns(runs);
    }
    // The time of a benchmark by name, or 0 if it did not run.
    double Time(const std::string& name) const {
        auto found = m_times.find(name);
        return found == m_times.end() ? 0.0 : found->second;
    }

private:
    std::map<std::string, double> m_times;
};

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
