// What starting the product costs: a usage error (no command runs, nothing is
// loaded for UI) against /bin/true, measured side by side in one run. Prints
// both medians and the difference; fails only when the difference is far
// over its target, so a slow machine does not fail the suite but a start-up
// that maps a windowing toolkit again does.
#include "tests/bench/bench_support.h"
#include "tests/e2e/e2e_harness.h"

#include <cstdio>
#include <fcntl.h>
#include <map>
#include <spawn.h>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

// Runs the program to its end with standard output and error discarded.
int runQuietly(const std::vector<std::string>& argv)
{
    std::vector<char*> pointers;
    for (const std::string& word : argv)
        pointers.push_back(const_cast<char*>(word.c_str()));
    pointers.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t child = 0;
    int failed = posix_spawn(&child, pointers[0], &actions, nullptr, pointers.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0)
        throw std::runtime_error("could not start " + argv[0]);
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void binTrue(benchmark::State& state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(runQuietly({"/bin/true"}));
}

void usageError(benchmark::State& state)
{
    for (auto _ : state) {
        if (runQuietly({ferrolatch::e2e::ferrolatchExecutable(), "lock-drive"}) != 64)
            state.SkipWithError("the usage error did not exit 64");
    }
}

// The test interleaves the repetitions, so a burst of load on the machine does
// not land on one side only.
void registerBenchmarks(bool smoke)
{
    auto add = [smoke](const char* name, void (*function)(benchmark::State&)) {
        ferrolatch::bench::Scale chosen = ferrolatch::bench::scale(smoke, {50, 7});
        benchmark::RegisterBenchmark(name, function)->Iterations(chosen.iterations)->Repetitions(chosen.repetitions)
            ->Unit(benchmark::kMillisecond)->UseRealTime();
    };
    add("binTrue", binTrue);
    add("usageError", usageError);
}

}

int main(int argc, char** argv)
{
    registerBenchmarks(ferrolatch::bench::takeSmokeSwitch(argc, argv));
    benchmark::Initialize(&argc, argv);
    ferrolatch::bench::MedianReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    if (reporter.failed)
        return 1;

    auto plain = reporter.medians.find("binTrue");
    auto product = reporter.medians.find("usageError");
    if (plain == reporter.medians.end() || product == reporter.medians.end())
        return 0; // filtered out
    const double target = 3; // milliseconds over /bin/true
    double difference = product->second - plain->second;
    std::printf("median /bin/true                      %7.2f ms\n", plain->second);
    std::printf("median ferrolatch-proof usage error   %7.2f ms\n", product->second);
    std::printf("difference                            %7.2f ms (target %.0f ms)\n", difference, target);
    if (difference > 3 * target) {
        std::printf("  far over target\n");
        return 1;
    }
    return 0;
}
