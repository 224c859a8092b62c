#pragma once

// Runs the registered benchmarks and prints, for each measured benchmark, its time beside the
// floor measured in the same run and the ratio between the two, with the target it must meet.

#include <benchmark/benchmark.h>
#include <string>
#include <vector>

struct BenchRatio {
    std::string label;    // what the ratio says, for the summary
    std::string measured; // benchmark name, as registered
    // The floor's benchmark name; empty when the measured benchmark ran its floor in turns with
    // itself and reports the ratio as its counter "ratio" (RoundRatios).
    std::string floor;
    double target;               // the ratio the measured benchmark must stay at or below
    bool higherIsBetter = false; // compare items per second instead of time per iteration
};

// For a benchmark that runs its floor in turns with itself: the ratio of each round, and their
// median as the counter "ratio", so that a burst of noise (another process flushing the disk)
// in a few rounds does not decide the result.
class RoundRatios {
public:
    void add(double numerator, double denominator) { m_ratios.push_back(numerator / denominator); }
    void report(benchmark::State& state);

private:
    std::vector<double> m_ratios;
};

// Call from main() after benchmark::Initialize. Returns 0 when every target was met, 1 otherwise.
int runWithRatios(const std::vector<BenchRatio>& ratios);

// Prints one result beside its target as a line starting with "target met" or "target NOT MET",
// the lines `make bench` gathers into its summary. Returns whether the target was met.
bool reportTarget(const std::string& label, double value, const char* unit, bool higherIsBetter,
                  double target);
