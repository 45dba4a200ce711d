// How long MacroTune holds the calling thread (call to return), from a host
// that has touched a given amount of heap, beside a bare posix_spawnp of the
// same program in the same run, and a plain fork for scale.
//
//   cmake --build <build> --target quillet_bench_macrotune quillet
//   <build>/bench/plugin/quillet_bench_macrotune [runs] [heap MiB...]
//
// Defaults: 50 runs at 10 and 2048 MiB. The program is `true 705` in both
// cases, found through the same PATH: MacroTune's template is
// "true %CHANNEL%", the bare spawn is posix_spawnp("true", {"true", "705"}).
//
// Like with like:
// - MacroTune and the bare spawn alternate, each going first in every other
//   run, so neither always meets the caches or the scheduler as the other
//   left them.
// - After every call the bench lets the started program end before the next
//   measurement (the bare spawn's is reaped; MacroTune's is not our child, so
//   the bench pauses), so no measurement shares the CPUs with the previous
//   program.
// - The fork figures are taken after the others: a fork write-protects the
//   whole heap, and the calls after it would pay the copy-on-write faults.
// Figures: median and 90th percentile of the hold time in ms.
#include "quillet.h"

#include <dlfcn.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Long enough for `true` to have ended on a busy machine.
constexpr auto settle = 5ms;

double Percentile(std::vector<double> values, double fraction)
{
    std::sort(values.begin(), values.end());
    const double position = fraction * static_cast<double>(values.size() - 1);
    const size_t below = static_cast<size_t>(position);
    const size_t above = std::min(below + 1, values.size() - 1);
    return values[below] + (values[above] - values[below]) * (position - static_cast<double>(below));
}

double MillisecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Resident set size in MiB, to show the heap really is touched.
long ResidentMiB()
{
    std::ifstream status("/proc/self/status");
    std::string field;
    long kiB = 0;
    while (status >> field)
        if (field == "VmRSS:" && status >> kiB)
            break;
    return kiB / 1024;
}

}  // namespace

int main(int argc, char **argv)
{
    const int runs = argc > 1 ? std::atoi(argv[1]) : 50;
    std::vector<size_t> heapsMiB;
    for (int i = 2; i < argc; ++i)
        heapsMiB.push_back(std::strtoul(argv[i], nullptr, 10));
    if (heapsMiB.empty())
        heapsMiB = {10, 2048};
    if (runs <= 0) {
        std::fprintf(stderr, "usage: %s [runs] [heap MiB...]\n", argv[0]);
        return 2;
    }

    void *plugin = dlopen(QUILLET_PATH, RTLD_NOW | RTLD_LOCAL);
    if (!plugin) {
        std::fprintf(stderr, "%s\n", dlerror());
        return 1;
    }
    QuilletMacroTuneFn macroTune;
    void *symbol = dlsym(plugin, "MacroTune");
    std::memcpy(&macroTune, &symbol, sizeof macroTune);

    char pattern[] = "/tmp/quillet-bench-XXXXXX";
    if (!mkdtemp(pattern))
        return 1;
    const std::filesystem::path root = pattern;
    std::filesystem::create_directories(root / "Software/Tavrin/DOROzoduVezuru");
    std::ofstream(root / "Software/Tavrin/DOROzoduVezuru/command") << "true %CHANNEL%\n";
    setenv("QUILLET_CONFIG_ROOT", root.c_str(), 1);

    char program[] = "true";
    char channel[] = "705";
    char *spawnArguments[] = {program, channel, nullptr};

    auto timeMacroTune = [&] {
        const auto start = Clock::now();
        const int32_t result = macroTune(705);
        const double held = MillisecondsSince(start);
        if (result != 1) {
            std::fprintf(stderr, "MacroTune returned %d\n", result);
            std::exit(1);
        }
        std::this_thread::sleep_for(settle);
        return held;
    };
    auto timeSpawn = [&] {
        pid_t child;
        const auto start = Clock::now();
        const int spawned = posix_spawnp(&child, program, nullptr, nullptr, spawnArguments, environ);
        const double held = MillisecondsSince(start);
        if (spawned != 0) {
            std::fprintf(stderr, "posix_spawnp: %s\n", std::strerror(spawned));
            std::exit(1);
        }
        waitpid(child, nullptr, 0);
        std::this_thread::sleep_for(settle);
        return held;
    };
    auto timeFork = [&] {
        const auto start = Clock::now();
        const pid_t child = ::fork();
        if (child == 0) {
            execvp(program, spawnArguments);
            _exit(127);
        }
        const double held = MillisecondsSince(start);
        if (child < 0) {
            std::perror("fork");
            std::exit(1);
        }
        waitpid(child, nullptr, 0);
        return held;
    };

    std::printf("%8s %8s %5s %14s %14s %14s %14s %7s %10s\n", "heap MiB", "RSS MiB", "runs",
                "MacroTune med", "MacroTune p90", "spawn med", "spawn p90", "ratio", "fork med");
    std::vector<char *> heap;
    size_t touchedMiB = 0;
    for (size_t targetMiB : heapsMiB) {
        // Touch the heap in 1 MiB blocks, as a host's own data would be.
        for (; touchedMiB < targetMiB; ++touchedMiB) {
            auto *block = static_cast<char *>(std::malloc(1 << 20));
            std::memset(block, 1, 1 << 20);
            heap.push_back(block);
        }
        timeMacroTune();  // first calls fault in code and data: not counted
        timeSpawn();
        std::vector<double> tune, spawn, fork;
        for (int run = 0; run < runs; ++run) {
            if (run % 2 == 0) {
                tune.push_back(timeMacroTune());
                spawn.push_back(timeSpawn());
            } else {
                spawn.push_back(timeSpawn());
                tune.push_back(timeMacroTune());
            }
        }
        for (int run = 0; run < runs; ++run)
            fork.push_back(timeFork());
        const double tuneMedian = Percentile(tune, 0.5);
        const double spawnMedian = Percentile(spawn, 0.5);
        std::printf("%8zu %8ld %5d %14.3f %14.3f %14.3f %14.3f %7.2f %10.3f\n", touchedMiB, ResidentMiB(), runs,
                    tuneMedian, Percentile(tune, 0.9), spawnMedian, Percentile(spawn, 0.9),
                    tuneMedian / spawnMedian, Percentile(fork, 0.5));
        std::fflush(stdout);
    }
    for (char *block : heap)
        std::free(block);
    std::filesystem::remove_all(root);
    dlclose(plugin);
    return 0;
}
