#include "BenchRatio.h"

#include <cstdio>
#include <map>

namespace {

// Keeps what the console shows and remembers each run's time and rate for the ratios.
class RecordingReporter : public benchmark::ConsoleReporter {
public:
    struct Result {
        double secondsPerIteration = 0;
        double itemsPerSecond = 0;
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
        }
        ConsoleReporter::ReportRuns(runs);
    }

    std::map<std::string, Result> results;
};

} // namespace

int runWithRatios(const std::vector<BenchRatio>& ratios) {
    RecordingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    int failures = 0;
    std::printf("\n");
    for (const BenchRatio& ratio : ratios) {
        const auto measured = reporter.results.find(ratio.measured);
        const auto floor = reporter.results.find(ratio.floor);
        if (measured == reporter.results.end() || floor == reporter.results.end()) {
            std::printf("ratio %s / %s: not measured in this run\n", ratio.measured.c_str(),
                        ratio.floor.c_str());
            continue;
        }
        double value = 0;
        bool met = false;
        if (ratio.higherIsBetter) {
            value = measured->second.itemsPerSecond / floor->second.itemsPerSecond;
            met = value >= ratio.target;
        } else {
            value = measured->second.secondsPerIteration / floor->second.secondsPerIteration;
            met = value <= ratio.target;
        }
        std::printf("ratio %s / %s: %.2fx (target %s %.2fx) %s\n", ratio.measured.c_str(),
                    ratio.floor.c_str(), value, ratio.higherIsBetter ? ">=" : "<=", ratio.target,
                    met ? "met" : "NOT MET");
        failures += met ? 0 : 1;
    }
    return failures == 0 ? 0 : 1;
}
