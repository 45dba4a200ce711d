#include "serialport.h"

#include "linecounters.h"
#include "termiossettings.h"

#include <QFile>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>

#include <chrono>
#include <climits>
#include <thread>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace kovra {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr auto kOpenWait = 5s;          // how long Open waits for a held port
constexpr auto kOpenRetry = 50ms;
constexpr auto kWriteStall = 2s;        // no byte taken for this long: Write fails
constexpr int kCounterPollMs = 50;      // line-error and modem-line counters
constexpr int kCloseDrainMs = 1000;

QString describe(const QString &call, const QString &device, int port, int err,
                 const QString &hint = {})
{
    QString text = QStringLiteral("%1 %2 (port %3): %4")
                       .arg(call, device).arg(port).arg(QString::fromLocal8Bit(std::strerror(err)));
    if (!hint.isEmpty())
        text += QStringLiteral("; ") + hint;
    return text;
}

// How a failing open() is reported: a missing device is "no port", a device
// the user may not use says so, anything else is an I/O failure.
int openFailureNumber(int err)
{
    switch (err) {
    case ENOENT: case ENODEV: case ENXIO: case EIO: case ENOTDIR: case EISDIR:
        return kNoPort;
    case EACCES: case EPERM: case EROFS:
        return kPermissionDenied;
    case EBUSY:
        return kPortInUse;
    default:
        return kSerialIoError;
    }
}

}  // namespace

struct SerialPort::Private {
    DeviceResolver resolver;
    qint16 portNumber = 1;
    LineSettings line;
    FlowControl flow = FlowControl::None;
    quint16 readSize = 0;

    int fd = -1;
    QString device;  // of the open port
    quint64 generation = 0;  // counts opens, so handlers notice a close/reopen
    QSocketNotifier *notifier = nullptr;
    QTimer *counterTimer = nullptr;
    serial_icounter_struct counters{};
    bool inReceiveEvent = false;
    bool readSinceEvent = false;

    Outcome failure(int number, const QString &call, int err, const QString &hint = {}) const
    {
        return {number, describe(call, device, portNumber, err, hint), err};
    }
    Outcome notOpen(const char *what) const
    {
        return {kPortNotOpen, QStringLiteral("%1: port %2 is not open").arg(QLatin1String(what)).arg(portNumber), 0};
    }
};

SerialPort::SerialPort(QObject *parent) : QObject(parent), d(new Private)
{
    d->counterTimer = new QTimer(this);
    d->counterTimer->setInterval(kCounterPollMs);
    connect(d->counterTimer, &QTimer::timeout, this, [this] {
        const quint64 generation = d->generation;
        serial_icounter_struct now{};
        if (::ioctl(d->fd, TIOCGICOUNT, &now) < 0) {
            d->counterTimer->stop();
            return;
        }
        const serial_icounter_struct before = d->counters;
        d->counters = now;  // before emitting: a handler may run a nested event loop
        QPointer<SerialPort> self(this);
        for (const qint16 code : lineEvents(before, now)) {
            emit SerialEvent(code);
            if (!self || d->fd < 0 || d->generation != generation)
                return;
        }
    });
}

SerialPort::~SerialPort()
{
    (void)Close();
    delete d;
}

QString SerialPort::defaultDevice(int portNumber)
{
    if (portNumber < 1)
        return {};
    return QStringLiteral("/dev/ttyS%1").arg(portNumber - 1);
}

void SerialPort::setDeviceResolver(DeviceResolver resolver)
{
    d->resolver = std::move(resolver);
}

QString SerialPort::devicePath() const
{
    return d->resolver ? d->resolver(d->portNumber) : defaultDevice(d->portNumber);
}

Outcome SerialPort::SetPortNumber(qint16 number)
{
    if (d->fd >= 0)
        return {kPortOpen, QStringLiteral("cannot change the port number to %1 while port %2 is open")
                               .arg(number).arg(d->portNumber), 0};
    d->portNumber = number;
    return Outcome::success();
}

Outcome SerialPort::SetLineSettings(const QString &settings)
{
    return parseLineSettings(settings, d->line);
}

Outcome SerialPort::SetReadSize(quint16 count)
{
    d->readSize = count;
    return Outcome::success();
}

Outcome SerialPort::SetFlowControl(FlowControl flow)
{
    d->flow = flow;
    return Outcome::success();
}

bool SerialPort::IsOpen() const
{
    return d->fd >= 0;
}

Outcome SerialPort::Open()
{
    if (d->fd >= 0)
        return {kPortOpen, QStringLiteral("port %1 is already open").arg(d->portNumber), 0};
    d->device = devicePath();
    if (d->device.isEmpty())
        return {kNoPort, QStringLiteral("port %1 names no serial port").arg(d->portNumber), 0};

    const QByteArray path = QFile::encodeName(d->device);
    const auto deadline = Clock::now() + kOpenWait;
    const QString inUse = QStringLiteral("the port is in use by another program");
    int fd = -1;
    for (;;) {
        Outcome busy;
        // O_NONBLOCK so that open does not wait for a modem's carrier.
        fd = ::open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            const int err = errno;
            if (err == EINTR)
                continue;
            const int number = openFailureNumber(err);
            if (number == kPermissionDenied)
                return d->failure(number, QStringLiteral("open"), err,
                                  QStringLiteral("the user needs read and write access to the device "
                                                 "(on Debian: membership of the dialout group)"));
            if (number != kPortInUse)  // EBUSY: TIOCEXCL of another process; wait for it
                return d->failure(number, QStringLiteral("open"), err);
            busy = d->failure(kPortInUse, QStringLiteral("open"), err, inUse);
        } else {
            if (!::isatty(fd)) {
                const int err = errno;
                ::close(fd);
                return d->failure(kNoPort, QStringLiteral("isatty"), err,
                                  QStringLiteral("not a serial device"));
            }
            if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
                break;
            const int err = errno;
            ::close(fd);
            if (err != EWOULDBLOCK && err != EINTR)
                return d->failure(kSerialIoError, QStringLiteral("flock"), err);
            busy = d->failure(kPortInUse, QStringLiteral("flock"), err, inUse);
        }
        if (Clock::now() >= deadline) {
            busy.text += QStringLiteral(" (waited 5 s)");
            return busy;
        }
        std::this_thread::sleep_for(kOpenRetry);
    }

    auto fail = [&](int number, const QString &call, int err, const QString &hint = {}) {
        ::ioctl(fd, TIOCNXCL);
        ::close(fd);
        return d->failure(number, call, err, hint);
    };
    // Root ignores TIOCEXCL; the flock above is what keeps root processes apart.
    if (::ioctl(fd, TIOCEXCL) < 0)
        return fail(kSerialIoError, QStringLiteral("ioctl TIOCEXCL"), errno);
    const termios wanted = makeTermios(d->line, d->flow);
    if (::tcsetattr(fd, TCSANOW, &wanted) < 0)
        return fail(kSerialIoError, QStringLiteral("tcsetattr"), errno);
    termios got{};
    if (::tcgetattr(fd, &got) < 0)
        return fail(kSerialIoError, QStringLiteral("tcgetattr"), errno);
    const QString difference = termiosDifference(wanted, got);
    if (!difference.isEmpty())
        return fail(kSettingsNotApplied, QStringLiteral("tcgetattr"), 0,
                    QStringLiteral("the device did not keep the line settings: ") + difference);

    // The descriptor stays non-blocking: Write waits with poll and a bound,
    // so a box that holds XOFF cannot stop the program for good.
    d->fd = fd;
    ++d->generation;
    d->notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(d->notifier, &QSocketNotifier::activated, this, [this] {
        // Level-triggered: stay quiet until someone has read, so that data
        // nobody reads does not raise events in a busy loop.
        QPointer<QSocketNotifier> notifier(d->notifier);
        notifier->setEnabled(false);
        // Readable with nothing to read: the line hung up (a USB adapter
        // pulled, the other end of a pseudo-terminal gone). No data event;
        // the next write reports the failure.
        int waiting = 0;
        if (::ioctl(d->fd, FIONREAD, &waiting) < 0 || waiting == 0)
            return;
        d->readSinceEvent = false;
        d->inReceiveEvent = true;
        QPointer<SerialPort> self(this);
        emit SerialEvent(kEventReceive);
        if (!self)
            return;
        d->inReceiveEvent = false;
        if (notifier && notifier == d->notifier && d->readSinceEvent)
            notifier->setEnabled(true);
    });
    // Real UARTs and USB adapters count line errors and modem-line changes;
    // a pseudo-terminal refuses TIOCGICOUNT, and then there is nothing to poll.
    if (::ioctl(fd, TIOCGICOUNT, &d->counters) == 0)
        d->counterTimer->start();
    return Outcome::success();
}

Outcome SerialPort::Close()
{
    if (d->fd < 0)
        return Outcome::success();
    d->counterTimer->stop();
    // Close may run inside the notifier's own signal (a handler reacting to
    // received data), so it is not deleted on the spot.
    d->notifier->setEnabled(false);
    d->notifier->deleteLater();
    d->notifier = nullptr;
    d->inReceiveEvent = false;

    // The kernel waits up to 30 s on close for queued output; a box holding
    // XOFF must not keep us that long.
    if (!Drain(kCloseDrainMs).ok())
        ::tcflush(d->fd, TCOFLUSH);
    ::ioctl(d->fd, TIOCNXCL);  // the tty may outlive us (a pty whose slave stays open)
    const int fd = d->fd;
    d->fd = -1;
    if (::close(fd) < 0 && errno != EINTR)
        return d->failure(kSerialIoError, QStringLiteral("close"), errno);
    return Outcome::success();
}

Outcome SerialPort::Write(const QByteArray &bytes)
{
    if (d->fd < 0)
        return d->notOpen("write");
    const char *next = bytes.constData();
    qsizetype left = bytes.size();
    auto lastProgress = Clock::now();
    bool pollSaidReady = false;
    while (left > 0) {
        const ssize_t n = ::write(d->fd, next, size_t(left));
        if (n > 0) {
            next += n;
            left -= n;
            lastProgress = Clock::now();
            pollSaidReady = false;
            continue;
        }
        const int err = n < 0 ? errno : EAGAIN;
        if (err == EINTR)
            continue;
        const QString progress = QStringLiteral("%1 of %2 bytes sent").arg(bytes.size() - left).arg(bytes.size());
        if (err != EAGAIN)
            return d->failure(kSerialIoError, QStringLiteral("write"), err, progress);
        const auto waited = Clock::now() - lastProgress;
        if (waited >= kWriteStall)
            return d->failure(kSerialIoError, QStringLiteral("write"), ETIMEDOUT,
                              QStringLiteral("the device took no byte for 2 s (held by XOFF?); ") + progress);
        // A tty stopped by XOFF still polls writable; sleep briefly then.
        if (pollSaidReady)
            std::this_thread::sleep_for(5ms);
        const int timeoutMs = int(std::chrono::duration_cast<std::chrono::milliseconds>(kWriteStall - waited).count()) + 1;
        pollfd pfd{d->fd, POLLOUT, 0};
        const int r = ::poll(&pfd, 1, timeoutMs);
        if (r < 0 && errno != EINTR)
            return d->failure(kSerialIoError, QStringLiteral("poll"), errno, progress);
        pollSaidReady = r > 0;
    }
    return Outcome::success();
}

Outcome SerialPort::WaitingCount(qint16 &count)
{
    if (d->fd < 0)
        return d->notOpen("waiting count");
    int waiting = 0;
    if (::ioctl(d->fd, FIONREAD, &waiting) < 0)
        return d->failure(kSerialIoError, QStringLiteral("ioctl FIONREAD"), errno);
    count = qint16(qBound(0, waiting, 32767));
    return Outcome::success();
}

Outcome SerialPort::ReadWaiting(QByteArray &data)
{
    if (d->fd < 0)
        return d->notOpen("read");
    data.clear();
    const qsizetype limit = d->readSize ? qsizetype(d->readSize) : qsizetype(INT_MAX);
    char buffer[4096];
    while (data.size() < limit) {
        const size_t want = size_t(qMin<qsizetype>(sizeof buffer, limit - data.size()));
        const ssize_t n = ::read(d->fd, buffer, want);
        if (n > 0) {
            data.append(buffer, n);
            continue;
        }
        if (n == 0 || errno == EAGAIN)
            break;
        if (errno == EINTR)
            continue;
        return d->failure(kSerialIoError, QStringLiteral("read"), errno);
    }
    d->readSinceEvent = true;
    if (!d->inReceiveEvent && d->notifier)
        d->notifier->setEnabled(true);
    return Outcome::success();
}

Outcome SerialPort::SendThreshold(qint16 &threshold)
{
    threshold = 0;
    return Outcome::success();
}

Outcome SerialPort::Drain(int timeoutMs)
{
    if (d->fd < 0)
        return d->notOpen("drain");
    const auto deadline = Clock::now() + std::chrono::milliseconds(qMax(0, timeoutMs));
    for (;;) {
        int queued = 0;
        if (::ioctl(d->fd, TIOCOUTQ, &queued) < 0)
            return d->failure(kSerialIoError, QStringLiteral("ioctl TIOCOUTQ"), errno);
        if (queued == 0) {
            // The UART's shift register may still hold the last byte; drivers
            // that cannot tell (USB adapters, pseudo-terminals) refuse the ioctl.
            unsigned int lsr = 0;
            if (::ioctl(d->fd, TIOCSERGETLSR, &lsr) < 0 || (lsr & TIOCSER_TEMT))
                return Outcome::success();
        }
        if (Clock::now() >= deadline)
            return {kDrainTimeout,
                    QStringLiteral("drain %1 (port %2): %3 bytes still queued after %4 ms (held by XOFF?)")
                        .arg(d->device).arg(d->portNumber).arg(queued).arg(timeoutMs),
                    ETIMEDOUT};
        std::this_thread::sleep_for(2ms);
    }
}

}  // namespace kovra
