// SerialPort: the program's one serial port, over termios.
//
// Every call returns an Outcome: ok, or a failure that carries its number,
// a text, and the operating system's errno captured at the failing call.
// Events (received data, line errors, modem-line changes) are delivered as
// SerialEvent(code) on the thread that owns the object (the UI thread).
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include <functional>

namespace kovra {

// Failure numbers of the serial layer and of the program.
enum FailureNumber : int {
    kOverflow = 6,          // a numeric value outside -32768..32767
    kInvalidSetting = 380,  // a malformed line-settings text
    kPortOpen = 8000,       // the operation needs a closed port
    kNoPort = 8002,         // the port number names no port that can be opened:
                            // no device for the number, no such file, not a terminal
    kPortInUse = 8005,      // another process still held the port after 5 s
    kPermissionDenied = 8010,
    kSettingsNotApplied = 8015,  // the device did not keep the line settings
    kPortNotOpen = 8018,    // the operation needs an open port
    kSerialIoError = 8020,  // any other failing system call
    kDrainTimeout = 8021,   // output still queued when Drain's time ran out
};

struct [[nodiscard]] Outcome {
    int number = 0;   // 0: success
    QString text;     // empty on success
    int osError = 0;  // errno of the failing system call, or 0

    bool ok() const { return number == 0; }
    static Outcome success() { return {}; }
};

// Serial event codes raised through SerialPort::SerialEvent.
enum SerialEventCode : qint16 {
    kEventSend = 1,
    kEventReceive = 2,
    kEventCts = 3,
    kEventDsr = 4,
    kEventCd = 5,
    kEventRing = 6,
    kEventEof = 7,
    kEventBreak = 1001,
    kEventFrame = 1004,
    kEventOverrun = 1006,
    kEventRxOverflow = 1008,
    kEventRxParity = 1009,
    kEventTxFull = 1010,
    kEventDcb = 1011,
};

enum class FlowControl { None, XonXoff };

class SerialPort : public QObject {
    Q_OBJECT
public:
    // Maps a port number to a device path; an empty path names no port.
    using DeviceResolver = std::function<QString(int portNumber)>;

    explicit SerialPort(QObject *parent = nullptr);
    ~SerialPort() override;  // closes the port

    // Default: N >= 1 names /dev/ttyS<N-1>; zero and negative name no port.
    // An empty resolver restores the default.
    void setDeviceResolver(DeviceResolver resolver);
    static QString defaultDevice(int portNumber);

    // Records the number; only while closed (kPortOpen otherwise). Whether
    // the number names a port is found out by Open (kNoPort there).
    Outcome SetPortNumber(qint16 number);
    // "9600,N,8,1": baud, parity N/E/O, data bits 5..8, stop bits 1 or 2.
    // A malformed text is kInvalidSetting; takes effect at the next Open.
    Outcome SetLineSettings(const QString &settings);
    Outcome SetReadSize(quint16 count);                 // 0: all waiting
    Outcome SetFlowControl(FlowControl flow);           // takes effect at the next Open
    // Opens the device of the port number exclusively (TIOCEXCL and flock),
    // applies the settings and reads them back. Waits up to 5 s for a port
    // that another process holds, then fails with kPortInUse. Failures:
    // kNoPort, kPortInUse, kPermissionDenied, kSettingsNotApplied, kPortOpen
    // (already open), kSerialIoError.
    Outcome Open();
    // Releases lock and device; closing a closed port is ok. Waits up to 1 s
    // for queued output, then discards the rest (a box holding XOFF would
    // otherwise hold the kernel's close for up to 30 s).
    Outcome Close();
    bool IsOpen() const;
    // Sends the whole array in order. Fails (kSerialIoError, ETIMEDOUT) when
    // the device takes no byte for 2 s (e.g. held by XOFF); kPortNotOpen
    // while closed.
    Outcome Write(const QByteArray &bytes);
    // Bytes received and not yet read, capped at 32767.
    Outcome WaitingCount(qint16 &count);
    // Reads what is waiting (at most the read size unless it is 0) and
    // replaces `data` with it; one character per byte.
    Outcome ReadWaiting(QByteArray &data);
    // Always 0: the port raises no send event (code 1).
    Outcome SendThreshold(qint16 &threshold);
    // Waits until the output queue has drained, at most timeoutMs;
    // kDrainTimeout when bytes are still queued then.
    Outcome Drain(int timeoutMs);

    QString devicePath() const;  // device of the current port number; empty: none

signals:
    void SerialEvent(qint16 code);

private:
    struct Private;
    Private *d;
};

}  // namespace kovra
