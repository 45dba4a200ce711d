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
    kNoPort = 8002,         // the port number names no port that can be opened
    kPortInUse = 8005,      // another process holds the port
    kPermissionDenied = 8010,
    kPortNotOpen = 8018,    // the operation needs an open port
    kSerialIoError = 8020,  // any other failing system call
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
    void setDeviceResolver(DeviceResolver resolver);

    Outcome SetPortNumber(qint16 number);               // only while closed
    Outcome SetLineSettings(const QString &settings);   // "9600,N,8,1"
    Outcome SetReadSize(quint16 count);                 // 0: all waiting
    Outcome SetFlowControl(FlowControl flow);
    Outcome Open();   // waits up to 5 s for a port that another process holds
    Outcome Close();
    bool IsOpen() const;
    Outcome Write(const QByteArray &bytes);  // whole array, in order
    Outcome WaitingCount(qint16 &count);
    Outcome ReadWaiting(QByteArray &data);
    Outcome SendThreshold(qint16 &threshold);
    // Waits until the output queue has drained, at most timeoutMs.
    Outcome Drain(int timeoutMs);

    QString devicePath() const;  // device of the current port number

signals:
    void SerialEvent(qint16 code);

private:
    struct Private;
    Private *d;
};

}  // namespace kovra
