// How long MacroTune holds the calling thread (call to return), from a host
// that has touched a given amount of heap, beside a bare posix_spawnp of the
// same program in the same run, and a plain fork for scale.
//
//   cmake --build <build> --target quillet_bench_macrotune quillet
//   <build>/bench/plugin/quillet_bench_macrotune [runs] [heap MiB...] [other quillet.so...]
//
// Defaults: 50 runs at 10 and 2048 MiB. Arguments ending in ".so" are other
// builds of the plug-in (an older commit, say), timed in the same run so
// that they meet the same machine.
//
// The program is `true 705` everywhere, found through the same PATH:
// MacroTune's template is "true %CHANNEL%", the bare spawn is
// posix_spawnp("true", {"true", "705"}).
//
// Like with like:
// - In every run the calls come in a shuffled order, so none always meets
//   the caches or the scheduler as another one left them.
// - After every call the bench waits until the started program has ended,
//   so no measurement shares the CPUs with the one before. MacroTune's
//   program is not our child; the bench makes itself a child subreaper so
//   that the program comes back to it and can be waited for.
// - Each size is timed twice: calls back to back (warm caches, busy CPUs),
//   and calls 5 ms apart (the CPUs idle in between, as a host tuning now
//   and then finds them).
// - The fork figures are taken after the others: a fork write-protects the
//   whole heap, and the calls after it would pay the copy-on-write faults.
// Figures: median and 90th percentile of the hold time in ms, and the ratio
// of the medians to the bare spawn's.
#include "quillet.h"

#include <dlfcn.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Waits until every child has ended: the bare spawn's program, and
// MacroTune's once the kernel has handed it to us as the subreaper.
void ReapAll()
{
    while (waitpid(-1, nullptr, 0) > 0 || errno == EINTR) {
    }
}

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

bool EndsWith(const std::string &text, const std::string &tail)
{
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

struct Subject {
    std::string name;
    std::function<double()> time;  // one call; returns the hold time in ms
    std::vector<double> times{};
};

}  // namespace

int main(int argc, char **argv)
{
    int runs = 50;
    std::vector<size_t> heapsMiB;
    std::vector<std::string> plugins{QUILLET_PATH};
    for (int i = 1; i < argc; ++i) {
        if (EndsWith(argv[i], ".so"))
            plugins.push_back(argv[i]);
        else if (i == 1)
            runs = std::atoi(argv[i]);
        else
            heapsMiB.push_back(std::strtoul(argv[i], nullptr, 10));
    }
    if (heapsMiB.empty())
        heapsMiB = {10, 2048};
    if (runs <= 0) {
        std::fprintf(stderr, "usage: %s [runs] [heap MiB...] [other quillet.so...]\n", argv[0]);
        return 2;
    }

    if (prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) {
        std::perror("prctl(PR_SET_CHILD_SUBREAPER)");
        return 1;
    }
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

    std::vector<Subject> subjects;
    std::vector<void *> handles;
    for (const std::string &path : plugins) {
        // RTLD_LOCAL and distinct files: each build keeps its own code.
        void *plugin = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!plugin) {
            std::fprintf(stderr, "%s\n", dlerror());
            return 1;
        }
        handles.push_back(plugin);
        QuilletMacroTuneFn macroTune;
        void *symbol = dlsym(plugin, "MacroTune");
        std::memcpy(&macroTune, &symbol, sizeof macroTune);
        const std::string name = "MacroTune " + std::filesystem::path(path).parent_path().filename().string() +
                                 "/" + std::filesystem::path(path).filename().string();
        subjects.push_back({name, [macroTune] {
                                const auto start = Clock::now();
                                const int32_t result = macroTune(705);
                                const double held = MillisecondsSince(start);
                                if (result != 1) {
                                    std::fprintf(stderr, "MacroTune returned %d\n", result);
                                    std::exit(1);
                                }
                                return held;
                            }});
    }
    const size_t bare = subjects.size();
    subjects.push_back({"posix_spawnp", [&] {
                            pid_t child;
                            const auto start = Clock::now();
                            const int spawned =
                                posix_spawnp(&child, program, nullptr, nullptr, spawnArguments, environ);
                            const double held = MillisecondsSince(start);
                            if (spawned != 0) {
                                std::fprintf(stderr, "posix_spawnp: %s\n", std::strerror(spawned));
                                std::exit(1);
                            }
                            return held;
                        }});
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

    std::printf("%8s %8s %5s %5s  %-40s %9s %9s %7s\n", "heap MiB", "RSS MiB", "pause", "runs", "call", "median",
                "p90", "ratio");
    std::mt19937 shuffler(705);
    std::vector<char *> heap;
    size_t touchedMiB = 0;
    for (size_t targetMiB : heapsMiB) {
        // Touch the heap in 1 MiB blocks, as a host's own data would be.
        for (; touchedMiB < targetMiB; ++touchedMiB) {
            auto *block = static_cast<char *>(std::malloc(1 << 20));
            std::memset(block, 1, 1 << 20);
            heap.push_back(block);
        }
        for (const auto pause : {0ms, 5ms}) {
            std::vector<size_t> order;
            for (size_t i = 0; i < subjects.size(); ++i) {
                subjects[i].time();  // first calls fault in code and data: not counted
                ReapAll();
                subjects[i].times.clear();
                order.push_back(i);
            }
            for (int run = 0; run < runs; ++run) {
                std::shuffle(order.begin(), order.end(), shuffler);
                for (size_t i : order) {
                    subjects[i].times.push_back(subjects[i].time());
                    ReapAll();
                    std::this_thread::sleep_for(pause);
                }
            }
            const double bareMedian = Percentile(subjects[bare].times, 0.5);
            for (const Subject &subject : subjects) {
                const double median = Percentile(subject.times, 0.5);
                std::printf("%8zu %8ld %5lld %5d  %-40s %9.3f %9.3f %7.2f\n", touchedMiB, ResidentMiB(),
                            static_cast<long long>(pause.count()), runs, subject.name.c_str(), median,
                            Percentile(subject.times, 0.9), median / bareMedian);
            }
        }
        std::vector<double> fork;
        for (int run = 0; run < runs; ++run)
            fork.push_back(timeFork());
        std::printf("%8zu %8ld %5s %5d  %-40s %9.3f %9.3f\n", touchedMiB, ResidentMiB(), "", runs, "fork",
                    Percentile(fork, 0.5), Percentile(fork, 0.9));
        std::fflush(stdout);
    }
    for (char *block : heap)
        std::free(block);
    std::filesystem::remove_all(root);
    for (void *plugin : handles)
        dlclose(plugin);
    return 0;
}
