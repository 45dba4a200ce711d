// Figures for kovra's tuning runs against a pseudo-terminal, headless:
//   1. process start to the first frame byte (channel-up path), beside a
//      minimal program that opens the same device and writes 34 bytes;
//   2. the digit steps' spacing against 1, 600, 1200, 1800 ms;
//   3. the Enter frame's last byte to process exit;
//   4. peak memory (maximum resident set) of a tuning run.
// Usage: kovra_bench <kovra> <floor_write> [runs]
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <numeric>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;

double ms(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

struct Pty {
    int master = -1, slave = -1;
    std::string path;
    Pty()
    {
        master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        grantpt(master);
        unlockpt(master);
        path = ptsname(master);
        slave = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);  // keeps the line up between runs
        termios t{};
        tcgetattr(slave, &t);
        cfmakeraw(&t);
        tcsetattr(slave, TCSANOW, &t);
    }
};

struct Run {
    std::vector<Clock::time_point> frameFirstByte;
    Clock::time_point lastByte, exited, started;
    long maxRssKb = 0;
    int status = -1;
};

std::string configHome;

void writeSettings(const Pty &pty, const char *channel)
{
    FILE *f = std::fopen((configHome + "/KOVRA.ini").c_str(), "w");
    std::fprintf(f, "[Ports]\n1=%s\n\n[Channel]\nvalue=%s\n", pty.path.c_str(), channel);
    std::fclose(f);
}

// Starts the program and reads `frames` frames from the master, then waits
// for the program to end.
Run run(const Pty &pty, const std::vector<std::string> &args, std::size_t frames)
{
    std::vector<std::string> env;
    for (char **e = environ; *e; ++e) {
        const std::string v = *e;
        if (v.rfind("DISPLAY=", 0) && v.rfind("WAYLAND_DISPLAY=", 0) && v.rfind("QT_QPA_PLATFORM=", 0)
            && v.rfind("XDG_CONFIG_HOME=", 0))
            env.push_back(v);
    }
    env.push_back("XDG_CONFIG_HOME=" + configHome);
    std::vector<char *> envp, argv;
    for (auto &v : env)
        envp.push_back(v.data());
    envp.push_back(nullptr);
    std::vector<std::string> copies = args;
    for (auto &a : copies)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    Run r;
    pid_t pid = -1;
    r.started = Clock::now();
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) {
        std::perror("posix_spawn");
        std::exit(1);
    }
    posix_spawn_file_actions_destroy(&actions);

    std::size_t got = 0;
    const std::size_t want = frames * 34;
    while (got < want) {
        pollfd p{pty.master, POLLIN, 0};
        if (poll(&p, 1, 10000) <= 0) {
            std::fprintf(stderr, "no frame within 10 s\n");
            break;
        }
        std::array<char, 512> buf;
        const ssize_t n = read(pty.master, buf.data(), buf.size());
        const auto now = Clock::now();
        if (n <= 0)
            continue;
        for (std::size_t i = got; i < got + std::size_t(n); ++i)
            if (i % 34 == 0)
                r.frameFirstByte.push_back(now);
        got += std::size_t(n);
        r.lastByte = now;
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    r.exited = Clock::now();
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.maxRssKb = usage.ru_maxrss;
    return r;
}

struct Stats {
    double median, mean, min, max;
};

Stats stats(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    const double median = n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
    return {median, std::accumulate(v.begin(), v.end(), 0.0) / double(n), v.front(), v.back()};
}

void print(const char *what, const std::vector<double> &v, const char *unit = "ms")
{
    const Stats s = stats(v);
    std::printf("  %-44s median %8.2f  mean %8.2f  min %8.2f  max %8.2f %s\n", what, s.median, s.mean,
                s.min, s.max, unit);
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s <kovra> <floor_write> [runs]\n", argv[0]);
        return 2;
    }
    const std::string kovra = argv[1], floorProgram = argv[2];
    const int runs = argc > 3 ? std::max(20, std::atoi(argv[3])) : 20;
    char dir[] = "/tmp/kovra-bench-XXXXXX";
    configHome = mkdtemp(dir);
    Pty pty;

    std::printf("kovra tuning-run figures, %d runs each, headless, pseudo-terminal %s\n", runs, pty.path.c_str());

    // 1. Start to first frame byte, channel-up path, beside the floor.
    std::vector<double> firstByte, floorFirstByte, ratio, overhead;
    for (int i = 0; i < runs; ++i) {
        writeSettings(pty, "1");
        const Run k = run(pty, {kovra, "2"}, 1);
        const Run f = run(pty, {floorProgram, pty.path}, 1);
        if (k.status != 0 || f.status != 0 || k.frameFirstByte.empty() || f.frameFirstByte.empty()) {
            std::fprintf(stderr, "run %d failed (kovra %d, floor %d)\n", i, k.status, f.status);
            return 1;
        }
        const double kMs = ms(k.frameFirstByte[0] - k.started), fMs = ms(f.frameFirstByte[0] - f.started);
        firstByte.push_back(kMs);
        floorFirstByte.push_back(fMs);
        ratio.push_back(kMs / fMs);
        overhead.push_back(kMs - fMs);
    }
    std::printf("1. process start to first frame byte (channel up):\n");
    print("kovra", firstByte);
    print("floor (open + write 34 bytes)", floorFirstByte);
    print("kovra - floor", overhead);
    print("kovra / floor", ratio, "x");

    // 2-4. Digit sequence: "123" with 5 remembered.
    std::vector<double> late[3], exitAfterEnter, rss;
    double earliest = 1e9;
    const double due[3] = {600, 1200, 1800};
    for (int i = 0; i < runs; ++i) {
        writeSettings(pty, "5");
        const Run k = run(pty, {kovra, "123"}, 4);
        if (k.status != 0 || k.frameFirstByte.size() != 4) {
            std::fprintf(stderr, "digit run %d failed (status %d)\n", i, k.status);
            return 1;
        }
        // The timers start together; step 1 is due 1 ms after that, so
        // step k is due (interval_k - 1) ms after step 1's frame.
        for (int s = 0; s < 3; ++s) {
            const double lateness = ms(k.frameFirstByte[std::size_t(s) + 1] - k.frameFirstByte[0]) - (due[s] - 1);
            late[s].push_back(lateness);
            earliest = std::min(earliest, lateness);
        }
        exitAfterEnter.push_back(ms(k.exited - k.lastByte));
        rss.push_back(double(k.maxRssKb) / 1024.0);
    }
    std::printf("2. digit steps, lateness against 600/1200/1800 ms (measured from step 1's frame):\n");
    print("step 2 (600 ms)", late[0]);
    print("step 3 (1200 ms)", late[1]);
    print("Enter (1800 ms)", late[2]);
    std::vector<double> all;
    for (auto &v : late)
        all.insert(all.end(), v.begin(), v.end());
    print("all steps", all);
    std::printf("  earliest step: %+.2f ms (negative would be early)\n", earliest);
    std::printf("3. Enter frame's last byte to process exit:\n");
    print("exit after Enter", exitAfterEnter);
    std::printf("4. peak memory of a tuning run (max resident set):\n");
    print("max RSS", rss, "MiB");

    std::remove((configHome + "/KOVRA.ini").c_str());
    rmdir(configHome.c_str());
    return 0;
}
