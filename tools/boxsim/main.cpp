// boxsim: a simulated set-top box on a pseudo-terminal.
//
// Prints the slave path, then one line per frame received and the channel
// the box is on afterwards. See usage() for the line format.
#include "framedecoder.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include <fcntl.h>
#include <poll.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kFlushAfterMs = 200;  // an unfinished frame this old is reported

void usage(std::FILE *out)
{
    std::fputs(
        "usage: boxsim [--channel N] [--exit-after-idle MS] [--burst-gap MS]\n"
        "\n"
        "Opens a pseudo-terminal and acts as the set-top box on it: digit keys\n"
        "are collected, Enter tunes to them, channel up/down step by one.\n"
        "\n"
        "  --channel N           channel at start (default 1)\n"
        "  --exit-after-idle MS  once input has arrived, exit after MS ms without input\n"
        "  --burst-gap MS        silence that starts a new burst (default 2000)\n"
        "\n"
        "Standard output, one record per line, fields separated by one blank:\n"
        "  <slave path>                                   first line, e.g. /dev/pts/3\n"
        "  key <burst_ms> <run_ms> <name> <channel> <digits>\n"
        "  error <burst_ms> <run_ms> <reason>: <hex bytes>\n"
        "  end <channel>                                  last line, on SIGINT/SIGTERM/idle exit\n"
        "burst_ms: ms from the first byte of the burst's first frame to this frame's\n"
        "first byte (a burst begins after --burst-gap ms of silence); run_ms: ms since\n"
        "boxsim started; both with one decimal. name: Key0..Key9, KeyChanUp,\n"
        "KeyChanDown, KeyEnter. channel: the channel after the key. digits: digits\n"
        "entered and not yet confirmed by Enter, or - when none.\n"
        "The slave stays open in boxsim, so the line never hangs up between clients;\n"
        "boxsim takes no lock on it.\n",
        out);
}

std::optional<long> parseNumber(const char *text)
{
    if (!text || !*text)
        return std::nullopt;
    char *end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    if (errno || *end)
        return std::nullopt;
    return value;
}

[[noreturn]] void die(const char *call)
{
    std::fprintf(stderr, "boxsim: %s: %s\n", call, std::strerror(errno));
    std::exit(1);
}

struct Box {
    long channel = 1;
    std::string digits;

    void press(uint8_t code)
    {
        if (code <= 9) {
            if (digits.size() < 9)
                digits += char('0' + code);
        } else if (code == 0x0B) {
            ++channel;
            digits.clear();
        } else if (code == 0x0C) {
            --channel;
            digits.clear();
        } else if (code == 0x11 && !digits.empty()) {
            channel = std::strtol(digits.c_str(), nullptr, 10);
            digits.clear();
        }
    }
};

double msBetween(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration<double, std::milli>(to - from).count();
}

}  // namespace

int main(int argc, char **argv)
{
    Box box;
    long exitAfterIdleMs = -1;
    long burstGapMs = 2000;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            usage(stdout);
            return 0;
        }
        long *target = arg == "--channel" ? &box.channel
                     : arg == "--exit-after-idle" ? &exitAfterIdleMs
                     : arg == "--burst-gap" ? &burstGapMs
                     : nullptr;
        const std::optional<long> value = i + 1 < argc ? parseNumber(argv[i + 1]) : std::nullopt;
        if (!target || !value || (target != &box.channel && *value < 0)) {
            std::fprintf(stderr, "boxsim: bad argument \"%s\"\n", argv[i]);
            usage(stderr);
            return 2;
        }
        *target = *value;
        ++i;
    }

    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    if (sigprocmask(SIG_BLOCK, &signals, nullptr) < 0)
        die("sigprocmask");
    const int signalFd = signalfd(-1, &signals, SFD_CLOEXEC);
    if (signalFd < 0)
        die("signalfd");
    std::signal(SIGPIPE, SIG_IGN);

    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0)
        die("posix_openpt");
    if (grantpt(master) < 0)
        die("grantpt");
    if (unlockpt(master) < 0)
        die("unlockpt");
    const char *slavePath = ptsname(master);
    if (!slavePath)
        die("ptsname");
    // Held for the whole run: without it the master sees a hang-up each
    // time a client closes the slave.
    const int slave = open(slavePath, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0)
        die("open slave");

    std::printf("%s\n", slavePath);
    std::fflush(stdout);

    const auto started = Clock::now();
    std::optional<Clock::time_point> burstStart;
    std::optional<Clock::time_point> lastInput;
    Clock::time_point frameStart = started;
    Clock::time_point pendingStart = started;  // first read of the unfinished frame
    framedecoder::FrameDecoder decoder;

    auto report = [&](const framedecoder::FrameResult &r) {
        const double burstMs = msBetween(*burstStart, frameStart);
        const double runMs = msBetween(started, frameStart);
        if (r.valid) {
            box.press(r.key.code);
            std::printf("key %.1f %.1f %s %ld %s\n", burstMs, runMs, r.key.name, box.channel,
                        box.digits.empty() ? "-" : box.digits.c_str());
        } else {
            std::printf("error %.1f %.1f %s: %s\n", burstMs, runMs, r.error.c_str(),
                        framedecoder::hexBytes(r.bytes.data(), r.bytes.size()).c_str());
        }
        if (std::fflush(stdout) != 0)
            std::exit(1);  // nobody reads the report any more
    };

    for (;;) {
        int timeoutMs = -1;
        const auto now = Clock::now();
        if (lastInput) {
            const long idle = long(msBetween(*lastInput, now));
            if (exitAfterIdleMs >= 0)
                timeoutMs = int(std::max(0L, exitAfterIdleMs - idle));
            if (decoder.pending()) {
                const int flushIn = int(std::max(0L, kFlushAfterMs - idle));
                timeoutMs = timeoutMs < 0 ? flushIn : std::min(timeoutMs, flushIn);
            }
        }
        pollfd fds[2] = {{master, POLLIN, 0}, {signalFd, POLLIN, 0}};
        const int ready = poll(fds, 2, timeoutMs);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            die("poll");
        }
        if (fds[1].revents & POLLIN)
            break;
        if (fds[0].revents & POLLIN) {
            uint8_t buffer[4096];
            const ssize_t n = read(master, buffer, sizeof buffer);
            if (n < 0) {
                if (errno == EINTR || errno == EAGAIN)
                    continue;
                die("read");
            }
            const auto arrived = Clock::now();
            if (!lastInput || msBetween(*lastInput, arrived) >= double(burstGapMs))
                burstStart = arrived;
            lastInput = arrived;
            // A frame is stamped with the read that brought its first byte:
            // the first result may finish a frame begun in an earlier read.
            const bool carried = decoder.pending() > 0;
            const auto results = decoder.feed(buffer, size_t(n));
            for (size_t k = 0; k < results.size(); ++k) {
                frameStart = (k == 0 && carried) ? pendingStart : arrived;
                report(results[k]);
            }
            if (!carried || !results.empty())
                pendingStart = arrived;
            continue;
        }
        if (ready == 0 && lastInput) {
            const double idle = msBetween(*lastInput, Clock::now());
            if (decoder.pending() && idle >= kFlushAfterMs) {
                frameStart = pendingStart;
                for (const auto &r : decoder.flush())
                    report(r);
            }
            if (exitAfterIdleMs >= 0 && idle >= double(exitAfterIdleMs))
                break;
        }
    }
    std::printf("end %ld\n", box.channel);
    std::fflush(stdout);
    close(slave);
    close(master);
    return 0;
}
