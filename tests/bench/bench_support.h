#pragma once

// What the Google Benchmark programs share: the --smoke switch that makes
// every test run try them on the smallest scale, and a reporter that keeps
// the medians and notices a benchmark that failed.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace ferrolatch::bench {

// Takes "--smoke" out of the command line and tells whether it was there.
inline bool takeSmokeSwitch(int& argc, char** argv)
{
    char** end = std::remove_if(argv + 1, argv + argc, [](const char* word) { return std::string_view(word) == "--smoke"; });
    bool smoke = end != argv + argc;
    argc = static_cast<int>(end - argv);
    return smoke;
}

// Iterations and repetitions of one benchmark: a smoke run does the least
// that still runs every line of it.
struct Scale {
    benchmark::IterationCount iterations;
    int repetitions;
};
inline Scale scale(bool smoke, Scale measured) { return smoke ? Scale {1, 1} : measured; }

// Collects the medians while the console shows everything as usual.
class MedianReporter : public benchmark::ConsoleReporter {
public:
    MedianReporter() : ConsoleReporter(OO_None) {} // plain text, for logs
    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& run : runs) {
            if (run.error_occurred)
                failed = true;
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median")
                medians[run.run_name.function_name] = run.GetAdjustedRealTime();
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> medians; // milliseconds
    bool failed = false;
};

}
