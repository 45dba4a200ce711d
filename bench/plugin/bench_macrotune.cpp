// How long MacroTune holds the calling thread (call to return), from a host
// that has touched a given amount of heap, beside a bare posix_spawn of the
// same program and a plain fork in the same run. Medians of N calls.
//
//   cmake --build <build> --target quillet_bench_macrotune
//   <build>/bench/plugin/quillet_bench_macrotune [runs] [heap MiB...]
//
// Defaults: 50 runs at 10 and 2048 MiB. The program started is `true`.
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
#include <vector>

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

double MillisecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
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

    std::printf("%10s %6s %16s %16s %8s %14s\n", "heap MiB", "runs", "MacroTune ms", "posix_spawn ms",
                "ratio", "fork ms");
    std::vector<char *> heap;
    size_t touchedMiB = 0;
    for (size_t targetMiB : heapsMiB) {
        // Touch the heap in 1 MiB blocks, as a host's own data would be.
        for (; touchedMiB < targetMiB; ++touchedMiB) {
            auto *block = static_cast<char *>(std::malloc(1 << 20));
            std::memset(block, 1, 1 << 20);
            heap.push_back(block);
        }
        std::vector<double> tune, spawn, fork;
        for (int run = 0; run < runs; ++run) {
            auto start = Clock::now();
            const int32_t result = macroTune(705);
            tune.push_back(MillisecondsSince(start));
            if (result != 1) {
                std::fprintf(stderr, "MacroTune returned %d\n", result);
                return 1;
            }

            pid_t child;
            start = Clock::now();
            const int spawned = posix_spawnp(&child, program, nullptr, nullptr, spawnArguments, environ);
            spawn.push_back(MillisecondsSince(start));
            if (spawned == 0)
                waitpid(child, nullptr, 0);

            start = Clock::now();
            child = ::fork();
            if (child == 0) {
                execvp(program, spawnArguments);
                _exit(127);
            }
            fork.push_back(MillisecondsSince(start));
            if (child > 0)
                waitpid(child, nullptr, 0);
        }
        const double tuneMedian = Median(tune);
        const double spawnMedian = Median(spawn);
        std::printf("%10zu %6d %16.3f %16.3f %8.2f %14.3f\n", touchedMiB, runs, tuneMedian, spawnMedian,
                    tuneMedian / spawnMedian, Median(fork));
    }
    for (char *block : heap)
        std::free(block);
    std::filesystem::remove_all(root);
    dlclose(plugin);
    return 0;
}
