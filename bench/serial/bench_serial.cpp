// The serial layer's share of a tuning run's latency, against a
// pseudo-terminal: Open (open, lock, settings applied and read back) and
// Write of one 34-byte frame until its last byte is readable on the master.
// Prints figures; it passes or fails nothing.
//   bench_serial [runs]   (default 200)
#include "serial/serialport.h"

#include <QCoreApplication>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

double us(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration<double, std::micro>(to - from).count();
}

void report(const char *what, std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    double sum = 0;
    for (double x : v)
        sum += x;
    std::printf("%-28s median %8.1f us  mean %8.1f us  p95 %8.1f us  max %8.1f us\n", what,
                v[v.size() / 2], sum / double(v.size()), v[v.size() * 95 / 100], v.back());
}

}  // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200;

    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) < 0 || unlockpt(master) < 0) {
        std::perror("posix_openpt");
        return 1;
    }
    const QString slave = QString::fromLocal8Bit(ptsname(master));
    const QByteArray frame = QByteArray::fromHex(
        "00107000020340c827100310780003034000689610031078000410402205604910" "03");

    std::vector<double> openUs, writeUs, closeUs;
    for (int i = 0; i < runs; ++i) {
        kovra::SerialPort port;
        port.setDeviceResolver([&](int) { return slave; });
        (void)port.SetLineSettings(QStringLiteral("9600,N,8,1"));
        (void)port.SetFlowControl(kovra::FlowControl::XonXoff);

        const auto t0 = Clock::now();
        const kovra::Outcome opened = port.Open();
        const auto t1 = Clock::now();
        if (!opened.ok()) {
            std::fprintf(stderr, "%s\n", qPrintable(opened.text));
            return 1;
        }
        const kovra::Outcome written = port.Write(frame);
        if (!written.ok()) {
            std::fprintf(stderr, "%s\n", qPrintable(written.text));
            return 1;
        }
        int got = 0;
        char buffer[64];
        while (got < frame.size()) {
            pollfd pfd{master, POLLIN, 0};
            if (poll(&pfd, 1, 5000) <= 0)
                return 1;
            const ssize_t n = read(master, buffer, sizeof buffer);
            if (n > 0)
                got += int(n);
        }
        const auto t2 = Clock::now();
        (void)port.Close();
        const auto t3 = Clock::now();
        openUs.push_back(us(t0, t1));
        writeUs.push_back(us(t1, t2));
        closeUs.push_back(us(t2, t3));
    }
    std::printf("serial layer on a pseudo-terminal, %d runs\n", runs);
    report("Open", openUs);
    report("Write 34 bytes to master", writeUs);
    report("Close (drain, unlock)", closeUs);
    close(master);
    return 0;
}
