// SerialPort against a pseudo-terminal: the test plays the box on the master
// side and opens the slave through a device resolver.
#include "serial/serialport.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QtTest>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

using namespace kovra;

namespace {

const QByteArray kKey5Frame = QByteArray::fromHex(
    "00107000020340c827100310780003034000689610031078000410402205604910" "03");

struct Pty {
    int master = -1;
    QString slave;

    Pty()
    {
        master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0)
            slave = QString::fromLocal8Bit(ptsname(master));
    }
    ~Pty()
    {
        if (master >= 0)
            ::close(master);
    }
    Pty(const Pty &) = delete;
    Pty &operator=(const Pty &) = delete;

    // Reads from the master until `count` bytes came or 10 s passed.
    QByteArray read(int count) const
    {
        QByteArray got;
        QElapsedTimer timer;
        timer.start();
        while (got.size() < count && timer.elapsed() < 10000) {
            pollfd pfd{master, POLLIN, 0};
            if (::poll(&pfd, 1, 100) <= 0)
                continue;
            char buffer[256];
            const ssize_t n = ::read(master, buffer, sizeof buffer);
            if (n > 0)
                got.append(buffer, n);
            else if (n < 0 && errno != EAGAIN && errno != EINTR)
                break;
        }
        return got;
    }
    bool write(const QByteArray &bytes) const
    {
        return ::write(master, bytes.constData(), size_t(bytes.size())) == bytes.size();
    }
};

void useDevice(SerialPort &port, const QString &device)
{
    port.setDeviceResolver([device](int) { return device; });
}

// Opens `port` on `device` with the program's settings.
Outcome openAsKovra(SerialPort &port, const QString &device)
{
    useDevice(port, device);
    Outcome o = port.SetLineSettings(QStringLiteral("9600,N,8,1"));
    if (!o.ok())
        return o;
    o = port.SetFlowControl(FlowControl::XonXoff);
    if (!o.ok())
        return o;
    return port.Open();
}

}  // namespace

class tst_SerialPort : public QObject {
    Q_OBJECT
private slots:
    void defaultDeviceNames();
    void bytesLeaveUnchanged();
    void lineSettingsReachTheDevice();
    void openFailures_data();
    void openFailures();
    void permissionDeniedNamesTheGroup();
    void operationsNeedAnOpenPort();
    void openOnlyOnceAndNumberOnlyWhileClosed();
    void exclusiveWhileOpenReleasedOnClose();
    void secondPortWaitsThenReportsInUse();
    void waitsForAnotherProcessToClose();
    void anotherProcessHoldingTooLongIsInUse();
    void unprivilegedProcessesTakeTurns();
    void receivedDataRaisesEvent();
    void unreadDataRaisesNoStormOfEvents();
    void readSizeLimitsOneRead();
    void closeAndReopenFromTheReceiveHandler();
    void xoffHoldsWriteWithoutHanging();
    void drainReturnsWhenNobodyReads();
    void masterGoneIsNoHang();
    void reopensOnAnotherPort();
};

void tst_SerialPort::defaultDeviceNames()
{
    QCOMPARE(SerialPort::defaultDevice(1), QStringLiteral("/dev/ttyS0"));
    QCOMPARE(SerialPort::defaultDevice(4), QStringLiteral("/dev/ttyS3"));
    QVERIFY(SerialPort::defaultDevice(0).isEmpty());
    QVERIFY(SerialPort::defaultDevice(-1).isEmpty());

    SerialPort port;
    QVERIFY(port.SetPortNumber(3).ok());
    QCOMPARE(port.devicePath(), QStringLiteral("/dev/ttyS2"));
    port.setDeviceResolver([](int n) { return QStringLiteral("/dev/box%1").arg(n); });
    QCOMPARE(port.devicePath(), QStringLiteral("/dev/box3"));
    port.setDeviceResolver({});  // back to the default
    QCOMPARE(port.devicePath(), QStringLiteral("/dev/ttyS2"));
}

void tst_SerialPort::bytesLeaveUnchanged()
{
    Pty pty;
    QVERIFY(!pty.slave.isEmpty());
    SerialPort port;
    const Outcome opened = openAsKovra(port, pty.slave);
    QVERIFY2(opened.ok(), qPrintable(opened.text));
    QVERIFY(port.IsOpen());

    // Line feed, carriage return, XON, XOFF, DLE, NUL, DEL and a high byte
    // must all pass untouched: no output processing, no flow-control
    // characters eaten on the way out.
    const QByteArray bytes = QByteArray::fromHex("0a0d1113100000ff7f0a") + kKey5Frame;
    const Outcome written = port.Write(bytes);
    QVERIFY2(written.ok(), qPrintable(written.text));
    QCOMPARE(pty.read(int(bytes.size())).toHex(' '), bytes.toHex(' '));
}

void tst_SerialPort::lineSettingsReachTheDevice()
{
    Pty pty;
    SerialPort port;
    const Outcome opened = openAsKovra(port, pty.slave);
    QVERIFY2(opened.ok(), qPrintable(opened.text));

    // Termios requests on the master act on the slave.
    termios t{};
    QCOMPARE(::tcgetattr(pty.master, &t), 0);
    QCOMPARE(cfgetospeed(&t), speed_t(B9600));
    QCOMPARE(cfgetispeed(&t), speed_t(B9600));
    QCOMPARE(t.c_cflag & CSIZE, tcflag_t(CS8));
    QCOMPARE(t.c_cflag & (PARENB | CSTOPB), tcflag_t(0));
    QCOMPARE(t.c_cflag & (CLOCAL | CREAD), tcflag_t(CLOCAL | CREAD));
    QCOMPARE(t.c_iflag & (IXON | IXOFF), tcflag_t(IXON | IXOFF));
    QCOMPARE(t.c_oflag & OPOST, tcflag_t(0));
    QCOMPARE(t.c_lflag & (ICANON | ECHO | ISIG), tcflag_t(0));
}

void tst_SerialPort::openFailures_data()
{
    QTest::addColumn<int>("portNumber");
    QTest::addColumn<QString>("device");  // "default": keep the default resolver
    QTest::addColumn<int>("number");

    QTest::newRow("port 0") << 0 << "default" << int(kNoPort);
    QTest::newRow("negative port") << -3 << "default" << int(kNoPort);
    QTest::newRow("unmapped port") << 7 << "" << int(kNoPort);
    QTest::newRow("missing device") << 2 << "/dev/kovra-no-such-tty" << int(kNoPort);
    QTest::newRow("missing directory") << 2 << "/nonexistent/dir/tty" << int(kNoPort);
    QTest::newRow("/dev/null is no terminal") << 2 << "/dev/null" << int(kNoPort);
    QTest::newRow("directory") << 2 << "/tmp" << int(kNoPort);
    QTest::newRow("regular file") << 2 << "regular file" << int(kNoPort);
}

void tst_SerialPort::openFailures()
{
    QFETCH(int, portNumber);
    QFETCH(QString, device);
    QFETCH(int, number);

    QTemporaryFile file;
    if (device == QLatin1String("regular file")) {
        QVERIFY(file.open());
        device = file.fileName();
    }
    SerialPort port;
    QVERIFY(port.SetPortNumber(qint16(portNumber)).ok());
    if (device != QLatin1String("default"))
        useDevice(port, device);

    const Outcome opened = port.Open();
    QCOMPARE(opened.number, number);
    QVERIFY(!port.IsOpen());
    QVERIFY2(opened.text.contains(QStringLiteral("port %1").arg(portNumber)), qPrintable(opened.text));
    if (device != QLatin1String("default") && !device.isEmpty()) {
        QVERIFY2(opened.text.contains(device), qPrintable(opened.text));
        QVERIFY(opened.osError != 0);
    }
}

void tst_SerialPort::permissionDeniedNamesTheGroup()
{
    Pty pty;
    if (::geteuid() != 0) {
        QCOMPARE(::chmod(QFile::encodeName(pty.slave).constData(), 0), 0);
        SerialPort port;
        useDevice(port, pty.slave);
        const Outcome opened = port.Open();
        QCOMPARE(opened.number, int(kPermissionDenied));
        QCOMPARE(opened.osError, EACCES);
        QVERIFY2(opened.text.startsWith(QLatin1String("open ") + pty.slave), qPrintable(opened.text));
        QVERIFY2(opened.text.contains(QLatin1String("dialout")), qPrintable(opened.text));
        return;
    }
    // Root opens anything: try as an unprivileged user in a second process.
    QCOMPARE(::chmod(QFile::encodeName(pty.slave).constData(), 0600), 0);
    QProcess holder;
    holder.setChildProcessModifier([] {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0)
            ::_exit(99);
    });
    holder.start(QStringLiteral(SERIALHOLDER), {pty.slave, QStringLiteral("0")});
    if (!holder.waitForFinished(10000) || holder.exitCode() == 99 || holder.exitStatus() != QProcess::NormalExit)
        QSKIP("cannot run the helper as an unprivileged user here");
    const QByteArray out = holder.readAllStandardOutput();
    if (out.isEmpty())
        QSKIP("the helper could not run as an unprivileged user here");
    QVERIFY2(out.startsWith("fail " + QByteArray::number(int(kPermissionDenied)) + " open " + pty.slave.toLocal8Bit()),
             out.constData());
    QVERIFY2(out.contains("Permission denied"), out.constData());
    QVERIFY2(out.contains("dialout"), out.constData());
}

void tst_SerialPort::operationsNeedAnOpenPort()
{
    SerialPort port;
    QCOMPARE(port.Write(kKey5Frame).number, int(kPortNotOpen));
    qint16 count = -1;
    QCOMPARE(port.WaitingCount(count).number, int(kPortNotOpen));
    QByteArray data;
    QCOMPARE(port.ReadWaiting(data).number, int(kPortNotOpen));
    QCOMPARE(port.Drain(100).number, int(kPortNotOpen));
    QVERIFY(port.Close().ok());  // closing a closed port is harmless

    // Also after a port was open and closed again.
    Pty pty;
    QVERIFY(openAsKovra(port, pty.slave).ok());
    QVERIFY(port.Close().ok());
    QVERIFY(!port.IsOpen());
    const Outcome written = port.Write(kKey5Frame);
    QCOMPARE(written.number, int(kPortNotOpen));
    QVERIFY(!written.text.isEmpty());
}

void tst_SerialPort::openOnlyOnceAndNumberOnlyWhileClosed()
{
    Pty pty;
    SerialPort port;
    QVERIFY(openAsKovra(port, pty.slave).ok());
    QCOMPARE(port.Open().number, int(kPortOpen));
    QVERIFY(port.IsOpen());
    QCOMPARE(port.SetPortNumber(2).number, int(kPortOpen));
    QCOMPARE(port.SetLineSettings(QStringLiteral("9600;N;8;1")).number, int(kInvalidSetting));
    qint16 threshold = -1;
    QVERIFY(port.SendThreshold(threshold).ok());
    QCOMPARE(threshold, qint16(0));
}

void tst_SerialPort::exclusiveWhileOpenReleasedOnClose()
{
    Pty pty;
    // A descriptor of our own keeps the slave alive across the port's close,
    // as boxsim does; the exclusive flag must not outlive the port.
    const int own = ::open(QFile::encodeName(pty.slave).constData(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    QVERIFY(own >= 0);
    SerialPort port;
    QVERIFY(openAsKovra(port, pty.slave).ok());
    int exclusive = 0;
    QCOMPARE(::ioctl(own, TIOCGEXCL, &exclusive), 0);
    QCOMPARE(exclusive, 1);
    QVERIFY(port.Close().ok());
    QCOMPARE(::ioctl(own, TIOCGEXCL, &exclusive), 0);
    QCOMPARE(exclusive, 0);
    ::close(own);
}

void tst_SerialPort::secondPortWaitsThenReportsInUse()
{
    Pty pty;
    SerialPort first;
    QVERIFY(openAsKovra(first, pty.slave).ok());

    SerialPort second;
    QElapsedTimer timer;
    timer.start();
    const Outcome opened = openAsKovra(second, pty.slave);
    QCOMPARE(opened.number, int(kPortInUse));
    QVERIFY2(timer.elapsed() >= 4000, "Open gave up without waiting");
    QVERIFY2(opened.text.contains(pty.slave), qPrintable(opened.text));
    QVERIFY2(opened.text.contains(QLatin1String("in use")), qPrintable(opened.text));
    QVERIFY(!second.IsOpen());
    QVERIFY(first.IsOpen());

    QVERIFY(first.Close().ok());
    const Outcome reopened = second.Open();
    QVERIFY2(reopened.ok(), qPrintable(reopened.text));
}

void tst_SerialPort::waitsForAnotherProcessToClose()
{
    Pty pty;
    QProcess holder;
    holder.start(QStringLiteral(SERIALHOLDER), {pty.slave, QStringLiteral("1500")});
    QVERIFY(holder.waitForReadyRead(10000));
    QCOMPARE(holder.readLine().trimmed(), QByteArray("open"));

    SerialPort port;
    QElapsedTimer timer;
    timer.start();
    const Outcome opened = openAsKovra(port, pty.slave);
    QVERIFY2(opened.ok(), qPrintable(opened.text));
    QVERIFY2(timer.elapsed() >= 500, "opened while the other process still held the port");
    QVERIFY(holder.waitForFinished(10000));
    QCOMPARE(holder.exitCode(), 0);

    QVERIFY(port.Write(kKey5Frame).ok());
    QCOMPARE(pty.read(int(kKey5Frame.size())), kKey5Frame);
}

void tst_SerialPort::anotherProcessHoldingTooLongIsInUse()
{
    Pty pty;
    QProcess holder;
    holder.start(QStringLiteral(SERIALHOLDER), {pty.slave, QStringLiteral("8000")});
    QVERIFY(holder.waitForReadyRead(10000));
    QCOMPARE(holder.readLine().trimmed(), QByteArray("open"));

    SerialPort port;
    const Outcome opened = openAsKovra(port, pty.slave);
    QCOMPARE(opened.number, int(kPortInUse));
    QVERIFY(opened.number != int(kNoPort));
    holder.kill();
    holder.waitForFinished(10000);
}

void tst_SerialPort::unprivilegedProcessesTakeTurns()
{
    // Without root, TIOCEXCL turns a second open away (EBUSY), and it must
    // be waited out like the lock. The slave stays open here, as in boxsim,
    // so the exclusive flag outlives the first process unless it clears it.
    Pty pty;
    QCOMPARE(::chmod(QFile::encodeName(pty.slave).constData(), 0666), 0);
    const int own = ::open(QFile::encodeName(pty.slave).constData(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    QVERIFY(own >= 0);
    auto unprivileged = [](QProcess &p) {
        if (::geteuid() == 0)
            p.setChildProcessModifier([] {
                if (::setgid(65534) != 0 || ::setuid(65534) != 0)
                    ::_exit(99);
            });
    };
    QProcess first, second;
    unprivileged(first);
    unprivileged(second);
    first.start(QStringLiteral(SERIALHOLDER), {pty.slave, QStringLiteral("1500")});
    if (!first.waitForReadyRead(10000))
        QSKIP("cannot run the helper as an unprivileged user here");
    QCOMPARE(first.readLine().trimmed(), QByteArray("open"));

    QElapsedTimer timer;
    timer.start();
    second.start(QStringLiteral(SERIALHOLDER), {pty.slave, QStringLiteral("0")});
    QVERIFY(second.waitForFinished(15000));
    const QByteArray out = second.readAllStandardOutput();
    QVERIFY2(out.trimmed() == "open", out.constData());
    QCOMPARE(second.exitCode(), 0);
    QVERIFY2(timer.elapsed() >= 500, "the second process did not wait for the first");
    QVERIFY(first.waitForFinished(10000));
    ::close(own);
}

void tst_SerialPort::receivedDataRaisesEvent()
{
    Pty pty;
    SerialPort port;
    QVERIFY(openAsKovra(port, pty.slave).ok());
    QSignalSpy spy(&port, &SerialPort::SerialEvent);

    const QByteArray sent = QByteArray::fromHex("00010a0d10ff") + "box says hello";
    QVERIFY(pty.write(sent));
    QTRY_VERIFY_WITH_TIMEOUT(!spy.isEmpty(), 10000);
    QCOMPARE(spy.first().first().value<qint16>(), qint16(kEventReceive));

    qint16 count = 0;
    QVERIFY(port.WaitingCount(count).ok());
    QCOMPARE(count, qint16(sent.size()));
    QByteArray data;
    QVERIFY(port.ReadWaiting(data).ok());
    QCOMPARE(data.toHex(' '), sent.toHex(' '));
    QVERIFY(port.WaitingCount(count).ok());
    QCOMPARE(count, qint16(0));

    // Later data raises a new event.
    spy.clear();
    QVERIFY(pty.write("more"));
    QTRY_VERIFY_WITH_TIMEOUT(!spy.isEmpty(), 10000);
    QVERIFY(port.ReadWaiting(data).ok());
    QCOMPARE(data, QByteArray("more"));
}

void tst_SerialPort::unreadDataRaisesNoStormOfEvents()
{
    Pty pty;
    SerialPort port;
    QVERIFY(openAsKovra(port, pty.slave).ok());
    QSignalSpy spy(&port, &SerialPort::SerialEvent);

    QVERIFY(pty.write("unread"));
    QTRY_VERIFY_WITH_TIMEOUT(!spy.isEmpty(), 10000);
    QTest::qWait(300);
    QCOMPARE(spy.size(), 1);  // nobody read: no repeat while the data waits

    QByteArray data;
    QVERIFY(port.ReadWaiting(data).ok());
    QCOMPARE(data, QByteArray("unread"));
    QVERIFY(pty.write("next"));
    QTRY_COMPARE_WITH_TIMEOUT(spy.size(), 2, 10000);
}

void tst_SerialPort::readSizeLimitsOneRead()
{
    Pty pty;
    SerialPort port;
    QVERIFY(openAsKovra(port, pty.slave).ok());
    QVERIFY(port.SetReadSize(4).ok());
    QSignalSpy spy(&port, &SerialPort::SerialEvent);
    QVERIFY(pty.write("0123456789"));
    QTRY_VERIFY_WITH_TIMEOUT(!spy.isEmpty(), 10000);
    qint16 count = 0;
    QTRY_VERIFY_WITH_TIMEOUT(port.WaitingCount(count).ok() && count == 10, 10000);

    QByteArray data;
    QVERIFY(port.ReadWaiting(data).ok());
    QCOMPARE(data, QByteArray("0123"));
    QVERIFY(port.SetReadSize(0).ok());
    QVERIFY(port.ReadWaiting(data).ok());
    QCOMPARE(data, QByteArray("456789"));
}

void tst_SerialPort::closeAndReopenFromTheReceiveHandler()
{
    // A port change can run while a receive event is being handled.
    Pty pty;
    SerialPort port;
    QVERIFY(openAsKovra(port, pty.slave).ok());
    int reopened = 0;
    connect(&port, &SerialPort::SerialEvent, this, [&](qint16 code) {
        QByteArray data;
        QVERIFY(port.ReadWaiting(data).ok());
        if (data == "reopen" && code == kEventReceive) {
            QVERIFY(port.Close().ok());
            QVERIFY(port.Open().ok());
            ++reopened;
        }
    });
    QVERIFY(pty.write("reopen"));
    QTRY_COMPARE_WITH_TIMEOUT(reopened, 1, 10000);
    QVERIFY(port.IsOpen());

    // The new descriptor raises events as the old one did.
    QVERIFY(pty.write("reopen"));
    QTRY_COMPARE_WITH_TIMEOUT(reopened, 2, 10000);
    QVERIFY(port.Write("ok").ok());
    QCOMPARE(pty.read(2), QByteArray("ok"));
}

void tst_SerialPort::xoffHoldsWriteWithoutHanging()
{
    Pty pty;
    SerialPort port;
    QVERIFY(openAsKovra(port, pty.slave).ok());

    // The box says XOFF: output stops, and a write must give up, not hang.
    QVERIFY(pty.write(QByteArray(1, '\x13')));
    QTest::qWait(100);
    QElapsedTimer timer;
    timer.start();
    const Outcome held = port.Write(kKey5Frame);
    QCOMPARE(held.number, int(kSerialIoError));
    QCOMPARE(held.osError, ETIMEDOUT);
    QVERIFY2(held.text.startsWith(QLatin1String("write ")), qPrintable(held.text));
    QVERIFY(timer.elapsed() < 10000);
    QVERIFY(port.IsOpen());

    // XON: the port moves again and the whole frame arrives.
    QVERIFY(pty.write(QByteArray(1, '\x11')));
    QTest::qWait(100);
    pty.read(1000);  // whatever part of the held frame got out
    const Outcome written = port.Write(kKey5Frame);
    QVERIFY2(written.ok(), qPrintable(written.text));
    QCOMPARE(pty.read(int(kKey5Frame.size())), kKey5Frame);
}

void tst_SerialPort::drainReturnsWhenNobodyReads()
{
    Pty pty;
    SerialPort port;
    QVERIFY(openAsKovra(port, pty.slave).ok());
    for (int i = 0; i < 20; ++i)
        QVERIFY(port.Write(kKey5Frame).ok());
    QElapsedTimer timer;
    timer.start();
    const Outcome drained = port.Drain(1000);
    QVERIFY(drained.ok() || drained.number == int(kDrainTimeout));
    QVERIFY(timer.elapsed() < 10000);
    QVERIFY(port.Close().ok());
    QVERIFY(timer.elapsed() < 10000);
}

void tst_SerialPort::masterGoneIsNoHang()
{
    auto pty = std::make_unique<Pty>();
    SerialPort port;
    QVERIFY(openAsKovra(port, pty->slave).ok());
    QSignalSpy spy(&port, &SerialPort::SerialEvent);
    pty.reset();  // the other end hangs up

    QTest::qWait(300);
    QVERIFY2(spy.isEmpty(), "a hung-up line raised events");
    QElapsedTimer timer;
    timer.start();
    const Outcome written = port.Write(kKey5Frame);
    QVERIFY(!written.ok());
    QCOMPARE(written.number, int(kSerialIoError));
    QVERIFY(timer.elapsed() < 10000);
    QVERIFY(port.Close().ok());
}

void tst_SerialPort::reopensOnAnotherPort()
{
    Pty one, two;
    SerialPort port;
    port.setDeviceResolver([&](int n) { return n == 1 ? one.slave : n == 2 ? two.slave : QString(); });
    QVERIFY(port.SetPortNumber(1).ok());
    QVERIFY(port.SetFlowControl(FlowControl::XonXoff).ok());
    QVERIFY(port.Open().ok());
    QVERIFY(port.Write("a").ok());
    QCOMPARE(one.read(1), QByteArray("a"));

    QVERIFY(port.Close().ok());
    QVERIFY(port.SetPortNumber(2).ok());
    QVERIFY(port.Open().ok());
    QCOMPARE(port.devicePath(), two.slave);
    QVERIFY(port.Write("b").ok());
    QCOMPARE(two.read(1), QByteArray("b"));

    QVERIFY(port.Close().ok());
    QVERIFY(port.SetPortNumber(9).ok());
    QCOMPARE(port.Open().number, int(kNoPort));
}

QTEST_GUILESS_MAIN(tst_SerialPort)
#include "tst_serialport.moc"
