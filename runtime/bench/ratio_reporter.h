// Console reporter that also keeps each benchmark's real time per iteration,
// so that a benchmark program can print ratios between its cases.
#ifndef KESTRUNE_BENCH_RATIO_REPORTER_H
#define KESTRUNE_BENCH_RATIO_REPORTER_H

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& r : runs)
            if (r.run_type == Run::RT_Iteration && r.iterations > 0)
                per_iteration[r.benchmark_name()] = r.GetAdjustedRealTime();
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> per_iteration;
};

#endif
