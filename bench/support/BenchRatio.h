#pragma once

// Runs the registered benchmarks and prints, for each measured benchmark, its time beside the
// floor measured in the same run and the ratio between the two, with the target it must meet.

#include <benchmark/benchmark.h>
#include <string>
#include <vector>

struct BenchRatio {
    std::string measured;        // benchmark name, as registered
    std::string floor;           // the floor's benchmark name
    double target;               // the ratio the measured benchmark must stay at or below
    bool higherIsBetter = false; // compare items per second instead of time per iteration
};

// Call from main() after benchmark::Initialize. Returns 0 when every target was met, 1 otherwise.
int runWithRatios(const std::vector<BenchRatio>& ratios);
