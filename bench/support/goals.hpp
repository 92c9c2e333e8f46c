#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace kelvara::bench {

// Console output as usual, and every run's time per iteration kept by name, so that one program can
// compare benchmarks measured in the same run.
class CollectingReporter : public ::benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const auto& run : runs) {
            if (run.run_type == Run::RT_Iteration && !run.error_occurred) {
                times_ns_[run.run_name.str()].push_back(run.GetAdjustedRealTime() *
                                                        nanoseconds_per_unit(run.time_unit));
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }

    // Median over the repetitions of one benchmark, in nanoseconds; 0 when it did not run.
    double median_ns(const std::string& name) const {
        const auto found = times_ns_.find(name);
        if (found == times_ns_.end() || found->second.empty()) {
            return 0.0;
        }
        auto times = found->second;
        std::sort(times.begin(), times.end());
        const auto middle = times.size() / 2;
        return times.size() % 2 ? times[middle] : (times[middle - 1] + times[middle]) / 2.0;
    }

private:
    static double nanoseconds_per_unit(::benchmark::TimeUnit unit) {
        switch (unit) {
        case ::benchmark::kSecond:
            return 1e9;
        case ::benchmark::kMillisecond:
            return 1e6;
        case ::benchmark::kMicrosecond:
            return 1e3;
        case ::benchmark::kNanosecond:
            break;
        }
        return 1.0;
    }

    std::map<std::string, std::vector<double>> times_ns_;
};

// Prints "GOAL <name> <value> <op> <target> PASS|MISS"; op is "<", "<=", ">", ">=" or "==".
// A measurement that did not happen (a benchmark filtered out or failed) is never a pass; for times and
// ratios that is a value that is not positive, counts say so with `measured`.
inline bool report_goal(const std::string& name, double value, const std::string& op, double target, bool measured) {
    bool pass = false;
    if (!measured) {
        pass = false;
    } else if (op == "==") {
        pass = value == target;
    } else if (op == "<") {
        pass = value < target;
    } else if (op == "<=") {
        pass = value <= target;
    } else if (op == ">") {
        pass = value > target;
    } else if (op == ">=") {
        pass = value >= target;
    }
    std::printf("GOAL %s %.3f %s %g %s\n", name.c_str(), value, op.c_str(), target, pass ? "PASS" : "MISS");
    std::fflush(stdout);
    return pass;
}

inline bool report_goal(const std::string& name, double value, const std::string& op, double target) {
    return report_goal(name, value, op, target, value > 0.0);
}

// Runs every registered benchmark with the collecting reporter. Repetitions give medians that one noisy
// moment cannot move much.
inline void run_all(int argc, char** argv, CollectingReporter& reporter) {
    ::benchmark::Initialize(&argc, argv);
    ::benchmark::RunSpecifiedBenchmarks(&reporter);
    ::benchmark::Shutdown();
}

} // namespace kelvara::bench
