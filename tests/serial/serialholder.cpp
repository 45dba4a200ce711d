// Helper process for the exclusivity tests: opens a device through
// SerialPort, says so on stdout, holds the port for a while, then closes.
//   serialholder <device> <hold ms>
// Prints "open" once the port is held, or "fail <number> <text>".
#include "serial/serialport.h"

#include <QCoreApplication>
#include <QThread>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: serialholder <device> <hold ms>\n");
        return 2;
    }
    const QString device = QString::fromLocal8Bit(argv[1]);
    const int holdMs = QByteArray(argv[2]).toInt();

    kovra::SerialPort port;
    port.setDeviceResolver([device](int) { return device; });
    const kovra::Outcome opened = port.Open();
    if (!opened.ok()) {
        std::printf("fail %d %s\n", opened.number, qPrintable(opened.text));
        return 1;
    }
    std::printf("open\n");
    std::fflush(stdout);
    QThread::msleep(holdMs);
    return port.Close().ok() ? 0 : 1;
}
