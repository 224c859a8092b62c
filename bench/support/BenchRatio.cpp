#include "BenchRatio.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <optional>

namespace {

// Keeps what the console shows and remembers each run's time and rate for the ratios.
class RecordingReporter : public benchmark::ConsoleReporter {
public:
    struct Result {
        double secondsPerIteration = 0;
        double itemsPerSecond = 0;
        std::optional<double> ratio; // measured against its own floor
    };

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration || run.iterations == 0)
                continue;
            Result& result = results[run.benchmark_name()];
            result.secondsPerIteration =
                run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
            const auto items = run.counters.find("items_per_second");
            if (items != run.counters.end())
                result.itemsPerSecond = items->second.value;
            if (const auto ratio = run.counters.find("ratio"); ratio != run.counters.end())
                result.ratio = ratio->second.value;
        }
        ConsoleReporter::ReportRuns(runs);
    }

    std::map<std::string, Result> results;
};

} // namespace

void RoundRatios::report(benchmark::State& state) {
    if (m_ratios.empty())
        return;
    const auto middle = m_ratios.begin() + m_ratios.size() / 2;
    std::nth_element(m_ratios.begin(), middle, m_ratios.end());
    state.counters["ratio"] = *middle;
}

int runWithRatios(const std::vector<BenchRatio>& ratios) {
    RecordingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    int failures = 0;
    std::printf("\n");
    const auto find = [&reporter](const std::string& name) {
        const auto found = reporter.results.find(name);
        return found == reporter.results.end() ? nullptr : &found->second;
    };
    for (const BenchRatio& ratio : ratios) {
        const RecordingReporter::Result* measured = find(ratio.measured);
        const RecordingReporter::Result* floor = ratio.floor.empty() ? measured : find(ratio.floor);
        if (!measured || !floor || (ratio.floor.empty() && !measured->ratio)) {
            std::printf("target NOT MET  (not measured in this run: %s %s)  %s\n",
                        ratio.measured.c_str(), ratio.floor.c_str(), ratio.label.c_str());
            ++failures;
            continue;
        }
        const double value = ratio.floor.empty() ? *measured->ratio
                             : ratio.higherIsBetter
                                 ? measured->itemsPerSecond / floor->itemsPerSecond
                                 : measured->secondsPerIteration / floor->secondsPerIteration;
        failures +=
            reportTarget(ratio.label, value, "x", ratio.higherIsBetter, ratio.target) ? 0 : 1;
    }
    return failures == 0 ? 0 : 1;
}

bool reportTarget(const std::string& label, double value, const char* unit, bool higherIsBetter,
                  double target) {
    const bool met = higherIsBetter ? value >= target : value <= target;
    std::printf("target %-7s %9.3f %-2s (%s %.3f)  %s\n", met ? "met" : "NOT MET", value, unit,
                higherIsBetter ? ">=" : "<=", target, label.c_str());
    return met;
}
