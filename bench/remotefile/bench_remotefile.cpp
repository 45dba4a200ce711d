// Save and load speed of the remote file, and the memory a load needs.
//   bench_remotefile [megabytes...]      (default: 10 20)
// For each size it writes a remote file of about that size (blocks of 100
// bytes, as long code blocks are the bulk of real files), then measures
// LoadRemotes and SaveRemotes in child processes: the best of three runs in
// MB/s, and each child's peak resident memory. The last line gives the time
// ratio of the largest size to the smallest (about the size ratio when the
// work grows linearly).
#include "quillet.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

std::string MakeFile(size_t megabytes)
{
    const size_t target = megabytes * 1000 * 1000;
    std::string text;
    text.reserve(target + 4096);
    char line[64];
    for (unsigned remote = 0; text.size() < target; ++remote) {
        std::snprintf(line, sizeof line, "Remote%u 38000 1200\n", remote);
        text += line;
        for (unsigned command = 0; command < 50 && text.size() < target; ++command) {
            std::snprintf(line, sizeof line, "Key%u", command);
            text += line;
            for (unsigned block = 0; block < 3; ++block) {
                std::snprintf(line, sizeof line, " %u %c", block + 1, 'A' + block);
                text += line;
                for (unsigned i = 0; i < 100; ++i) {
                    std::snprintf(line, sizeof line, " %02x", (remote + command * 7 + i * 13) & 0xff);
                    text += line;
                }
                text += '\n';
            }
        }
        text += '\n';
    }
    return text;
}

struct Measure {
    double seconds;
    long peakKilobytes;
};

// Runs `work` in a child; its result is the time it reports and its peak RSS.
template <typename Work>
Measure InChild(Work work)
{
    int fds[2];
    if (pipe(fds) != 0)
        std::exit(1);
    const pid_t child = fork();
    if (child == 0) {
        close(fds[0]);
        const double seconds = work();
        if (write(fds[1], &seconds, sizeof seconds) != sizeof seconds)
            _exit(1);
        _exit(0);
    }
    close(fds[1]);
    double seconds = -1;
    if (read(fds[0], &seconds, sizeof seconds) != sizeof seconds)
        seconds = -1;
    close(fds[0]);
    int status = 0;
    struct rusage usage {};
    wait4(child, &status, 0, &usage);
    return {seconds, usage.ru_maxrss};
}

double Timed(auto action)
{
    const auto start = std::chrono::steady_clock::now();
    action();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char **argv)
{
    std::vector<size_t> sizes;
    for (int i = 1; i < argc; ++i)
        sizes.push_back(std::strtoul(argv[i], nullptr, 10));
    if (sizes.empty())
        sizes = {10, 20};

    char pattern[] = "/tmp/bench_remotefile.XXXXXX";
    if (mkdtemp(pattern) == nullptr)
        return 1;
    const std::string in = std::string(pattern) + "/in.rmt", out = std::string(pattern) + "/out.rmt";

    const Measure idle = InChild([] { return 0.0; });
    std::printf("peak memory of a child that does nothing: %ld KB\n", idle.peakKilobytes);
    std::printf("%8s %10s %12s %12s %14s %14s\n", "size MB", "bytes", "load MB/s", "save MB/s", "load peak KB",
                "save peak KB");
    std::vector<std::pair<double, double>> times;  // best load and save seconds per size
    for (size_t megabytes : sizes) {
        std::string text = MakeFile(megabytes);
        const size_t bytes = text.size();
        FILE *file = std::fopen(in.c_str(), "w");
        std::fwrite(text.data(), 1, bytes, file);
        std::fclose(file);
        std::string().swap(text);  // the children's peak memory is theirs alone

        Measure load{1e9, 0}, save{1e9, 0};
        for (int run = 0; run < 3; ++run) {
            const Measure l = InChild([&] {
                Remote *list = nullptr;
                const double s = Timed([&] { list = LoadRemotes(in.c_str()); });
                FreeRemotes(&list);
                return s;
            });
            const Measure s = InChild([&] {
                Remote *list = LoadRemotes(in.c_str());
                const double seconds = Timed([&] { SaveRemotes(list, out.c_str()); });
                FreeRemotes(&list);
                return seconds;
            });
            load = {std::min(load.seconds, l.seconds), std::max(load.peakKilobytes, l.peakKilobytes)};
            save = {std::min(save.seconds, s.seconds), std::max(save.peakKilobytes, s.peakKilobytes)};
        }
        const double mb = static_cast<double>(bytes) / 1e6;
        std::printf("%8zu %10zu %12.1f %12.1f %14ld %14ld\n", megabytes, bytes, mb / load.seconds,
                    mb / save.seconds, load.peakKilobytes, save.peakKilobytes);
        times.emplace_back(load.seconds, save.seconds);
    }
    if (times.size() >= 2)
        std::printf("time ratio %zu MB / %zu MB: load %.2f, save %.2f\n", sizes.back(), sizes.front(),
                    times.back().first / times.front().first, times.back().second / times.front().second);
    std::remove(in.c_str());
    std::remove(out.c_str());
    rmdir(pattern);
    return 0;
}
