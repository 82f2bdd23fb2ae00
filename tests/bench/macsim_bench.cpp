// What one stand-in call and one lock-and-unlock of a full volume cost on the
// virtual Mac. Prints the medians; fails only when one is far over its target,
// so a slow machine does not fail the suite but a slow design does.
#include "platform/posix/posix_tool_runner.h"
#include "tests/bench/bench_support.h"
#include "tests/e2e/e2e_harness.h"

#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <stdexcept>

using ferrolatch::PosixToolRunner;
using ferrolatch::SecretBytes;
using ferrolatch::ToolOutcome;
using ferrolatch::e2e::VirtualMac;

namespace {

const std::string password = "benchmark password";
std::unique_ptr<VirtualMac> mac;
std::unique_ptr<PosixToolRunner> runner;

std::string diskutil(const std::vector<std::string>& arguments, const SecretBytes* input = nullptr)
{
    ToolOutcome outcome = runner->launch("/usr/sbin/diskutil", arguments, input);
    if (outcome.status != 0)
        throw std::runtime_error("diskutil failed: " + outcome.standardError);
    return outcome.standardOutput;
}

void prepare()
{
    mac = std::make_unique<VirtualMac>();
    runner = std::make_unique<PosixToolRunner>(mac->sysroot(), std::vector<std::string> {"/usr/sbin/diskutil"});
    mac->macsimOrThrow({"disk", "add", "--media", "Bench", "--size", "2g", "--bus", "USB"});
    diskutil({"eraseDisk", "APFS", "FERROLATCH", "GPT", "/dev/disk4"});
    SecretBytes input = SecretBytes::copyOf(password + "\n");
    diskutil({"apfs", "addVolume", "disk5", "APFS", "DATA", "-stdinpassphrase"}, &input);
    // 100 MiB in ten files, as a filled data volume would hold.
    std::string chunk(10 * 1024 * 1024, '\0');
    for (std::size_t index = 0; index < chunk.size(); ++index)
        chunk[index] = static_cast<char>((index * 2654435761u) >> 13);
    for (int file = 0; file < 10; ++file)
        std::ofstream(mac->sysroot() + "/Volumes/DATA/file" + std::to_string(file), std::ios::binary) << chunk;
}

void standInInfo(benchmark::State& state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(diskutil({"info", "-plist", "disk5s2"}));
}

void standInApfsList(benchmark::State& state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(diskutil({"apfs", "list", "-plist"}));
}

void lockAndUnlock100MiB(benchmark::State& state)
{
    SecretBytes input = SecretBytes::copyOf(password + "\n");
    for (auto _ : state) {
        diskutil({"apfs", "lockVolume", "disk5s2"});
        diskutil({"apfs", "unlockVolume", "disk5s2", "-stdinpassphrase"}, &input);
    }
}

void registerBenchmarks(bool smoke)
{
    using ferrolatch::bench::Scale;
    auto add = [smoke](const char* name, void (*function)(benchmark::State&), Scale measured) {
        Scale chosen = ferrolatch::bench::scale(smoke, measured);
        benchmark::RegisterBenchmark(name, function)->Iterations(chosen.iterations)->Repetitions(chosen.repetitions)
            ->Unit(benchmark::kMillisecond)->UseRealTime();
    };
    add("standInInfo", standInInfo, {10, 5});
    add("standInApfsList", standInApfsList, {10, 5});
    add("lockAndUnlock100MiB", lockAndUnlock100MiB, {1, 3});
}

}

int main(int argc, char** argv)
{
    registerBenchmarks(ferrolatch::bench::takeSmokeSwitch(argc, argv));
    benchmark::Initialize(&argc, argv);
    try {
        prepare();
    } catch (const std::exception& error) {
        std::cerr << "macsim_bench: " << error.what() << "\n";
        return 1;
    }
    ferrolatch::bench::MedianReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);

    // Targets in milliseconds; "grossly over" is three times the target.
    const std::map<std::string, double> targets {
        {"standInInfo", 20}, {"standInApfsList", 20}, {"lockAndUnlock100MiB", 1500}};
    int status = reporter.failed ? 1 : 0;
    for (const auto& [name, target] : targets) {
        auto found = reporter.medians.find(name);
        if (found == reporter.medians.end())
            continue; // filtered out
        std::printf("median %-20s %9.1f ms (target %.0f ms)\n", name.c_str(), found->second, target);
        if (found->second > 3 * target) {
            std::printf("  far over target\n");
            status = 1;
        }
    }
    runner.reset();
    mac.reset();
    return status;
}
