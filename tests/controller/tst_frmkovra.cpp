// The hidden window object in-process: start-up's port reaction, the port
// change, the keypad buttons and the serial event handler, with
// pseudo-terminals as ports 1 and 2.
#include "frmkovra.h"
#include "ptyline.h"
#include "settingsstore.h"

#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <memory>
#include <thread>

using namespace kovra;
using kovra::test::Bytes;
using kovra::test::decodeStream;
using kovra::test::PtyLine;
using Keys = std::vector<std::string>;

Q_DECLARE_METATYPE(Keys)

class tst_frmKOVRA : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void startUpWithoutPortDisablesTheKeypad();
    void controlsExistHiddenWithTheirNames();
    void timersAreIdlePreciseSteps();
    void portChange_data();
    void portChange();
    void editsAfterNoPortOpenNothing();
    void buttons_data();
    void buttons();
    void exitEndsWithStatusZero();
    void failedSendIsAnUnhandledFailure();
    void failedDigitStepEndsBeforeTheNextStep();
    void serialEvents_data();
    void serialEvents();
    void receiveDrainKeepsTheLast5000();

private:
    void writeSettings(const QByteArray &extra);
    std::unique_ptr<frmKOVRA> startWindow(const QByteArray &extra = {});
    QList<QPushButton *> keypad(frmKOVRA &w) const;

    std::unique_ptr<QTemporaryDir> home;
    std::unique_ptr<PtyLine> port1, port2;
};

void tst_frmKOVRA::init()
{
    home = std::make_unique<QTemporaryDir>();
    QVERIFY(home->isValid());
    qputenv("XDG_CONFIG_HOME", home->path().toLocal8Bit());
    port1 = std::make_unique<PtyLine>();
    port2 = std::make_unique<PtyLine>();
}

void tst_frmKOVRA::cleanup()
{
    port1.reset();
    port2.reset();
    home.reset();
}

void tst_frmKOVRA::writeSettings(const QByteArray &extra)
{
    QFile f(SettingsPath());
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write("[Ports]\n1=" + QByteArray::fromStdString(port1->slavePath()) + "\n2="
            + QByteArray::fromStdString(port2->slavePath()) + "\n9=/nonexistent/kovra-tty\n\n" + extra);
}

std::unique_ptr<frmKOVRA> tst_frmKOVRA::startWindow(const QByteArray &extra)
{
    writeSettings(extra);
    auto w = std::make_unique<frmKOVRA>();
    w->StartUp(QString());
    return w;
}

QList<QPushButton *> tst_frmKOVRA::keypad(frmKOVRA &w) const
{
    return {w.Btn1, w.Btn2, w.Btn3, w.Btn4, w.Btn5, w.Btn6, w.Btn7,
            w.Btn8, w.Btn9, w.Btn0, w.BtnChanU, w.BtnChanD, w.BtnEnt};
}

void tst_frmKOVRA::startUpWithoutPortDisablesTheKeypad()
{
    writeSettings("[Comport]\nvalue=7\n");
    frmKOVRA w;
    QSignalSpy messages(&w, &frmKOVRA::messageShown);
    w.StartUp(QString());

    QCOMPARE(messages.count(), 1);
    QCOMPARE(messages.at(0).at(0).toString(), QStringLiteral("Could not open Com7"));
    QCOMPARE(w.txtComport->text(), QStringLiteral("7"));
    for (QPushButton *b : keypad(w))
        QVERIFY2(!b->isEnabled(), qPrintable(b->objectName()));
    QVERIFY(w.BtnExit->isEnabled());
    QVERIFY(w.txtComport->isEnabled());
    QVERIFY(!w.MSComm1->IsOpen());
    QVERIFY(!w.hasEnded());
    QCOMPARE(w.settings().Read("Channel", "1"), QString());  // a start without argument stores ""
}

void tst_frmKOVRA::controlsExistHiddenWithTheirNames()
{
    writeSettings({});
    frmKOVRA w;
    QVERIFY(!w.isVisible());
    const QStringList buttons = {"BtnExit", "BtnChanD", "BtnChanU", "BtnEnt", "Btn0", "Btn1", "Btn2",
                                 "Btn3", "Btn4", "Btn5", "Btn6", "Btn7", "Btn8", "Btn9"};
    for (const QString &name : buttons)
        QVERIFY2(w.findChild<QPushButton *>(name), qPrintable(name));
    QVERIFY(w.findChild<QLineEdit *>("txtComport"));
    QCOMPARE(w.findChild<QLabel *>("LabelChan")->text(), QStringLiteral("Chan"));
    QCOMPARE(w.findChild<QLabel *>("Label1")->text(), QStringLiteral("Comm Port"));
    QCOMPARE(w.Btn5->text(), QStringLiteral("&5"));
    QCOMPARE(w.BtnExit->geometry(), QRect(24, 80, 89, 33));
    QCOMPARE(w.txtComport->text(), QStringLiteral("1"));
}

void tst_frmKOVRA::timersAreIdlePreciseSteps()
{
    auto w = startWindow();
    const QList<QTimer *> timers = {w->Timer1, w->Timer2, w->Timer3, w->Timer4};
    const int intervals[] = {1, 600, 1200, 1800};
    for (int i = 0; i < 4; ++i) {
        QCOMPARE(timers[i]->interval(), intervals[i]);
        QCOMPARE(timers[i]->timerType(), Qt::PreciseTimer);
        QVERIFY(!timers[i]->isActive());
    }
    QVERIFY(w->isVisible());
}

void tst_frmKOVRA::portChange_data()
{
    QTest::addColumn<QStringList>("edits");
    QTest::addColumn<QStringList>("messages");
    QTest::addColumn<int>("openPort");  // 0: closed
    QTest::addColumn<QString>("storedPort");  // "-": nothing stored
    QTest::addColumn<bool>("keypadEnabled");

    QTest::newRow("cleared box does nothing") << QStringList{""} << QStringList{} << 1 << "-" << true;
    QTest::newRow("cleared then 2") << QStringList{"", "2"} << QStringList{} << 2 << "2" << true;
    QTest::newRow("edited to 2") << QStringList{"2"} << QStringList{} << 2 << "2" << true;
    QTest::newRow("blank kept in store") << QStringList{" 2"} << QStringList{} << 2 << " 2" << true;
    QTest::newRow("2.5 is port 2") << QStringList{"2.5"} << QStringList{} << 2 << "2.5" << true;
    QTest::newRow("1.5 is port 2") << QStringList{"1.5"} << QStringList{} << 2 << "1.5" << true;
    QTest::newRow("back and forth") << QStringList{"2", "1"} << QStringList{} << 1 << "1" << true;
    QTest::newRow("no such port") << QStringList{"9"} << QStringList{"Could not open Com9"} << 0 << "-" << false;
    QTest::newRow("letters name no port") << QStringList{"abc"} << QStringList{"Could not open Comabc"} << 0
                                          << "-" << false;
    QTest::newRow("too big is silent") << QStringList{"99999"} << QStringList{} << 0 << "-" << true;
}

void tst_frmKOVRA::portChange()
{
    QFETCH(QStringList, edits);
    QFETCH(QStringList, messages);
    QFETCH(int, openPort);
    QFETCH(QString, storedPort);
    QFETCH(bool, keypadEnabled);

    auto w = startWindow();
    QVERIFY(w->MSComm1->IsOpen());
    QSignalSpy spy(w.get(), &frmKOVRA::messageShown);
    for (const QString &text : edits)
        w->txtComport->setText(text);

    QStringList shown;
    for (const auto &args : spy)
        shown << args.at(0).toString();
    QCOMPARE(shown, messages);
    QCOMPARE(w->MSComm1->IsOpen(), openPort != 0);
    QCOMPARE(w->settings().Read("Comport", "-"), storedPort);
    for (QPushButton *b : keypad(*w))
        QCOMPARE(b->isEnabled(), keypadEnabled);

    if (openPort != 0) {
        // The open port is the one that gets the frames.
        PtyLine &line = openPort == 1 ? *port1 : *port2;
        QVERIFY(w->SendKey(w->Key5).ok());
        line.readFor(std::chrono::milliseconds(300));
        QCOMPARE(decodeStream(line.received), Keys{"Key5"});
    }
}

void tst_frmKOVRA::editsAfterNoPortOpenNothing()
{
    auto w = startWindow();
    w->txtComport->setText("9");
    QSignalSpy spy(w.get(), &frmKOVRA::messageShown);
    w->txtComport->setText("2");
    w->txtComport->setText("1");
    QCOMPARE(spy.count(), 0);
    QVERIFY(!w->MSComm1->IsOpen());
    QCOMPARE(w->settings().Read("Comport", "unset"), QStringLiteral("unset"));
    for (QPushButton *b : keypad(*w))
        QVERIFY(!b->isEnabled());
}

void tst_frmKOVRA::buttons_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<Keys>("keys");
    const char *digits[] = {"0", "1", "2", "3", "4", "5", "6", "7", "8", "9"};
    for (const char *d : digits)
        QTest::newRow(d) << QStringLiteral("Btn%1").arg(d) << Keys{std::string("Key") + d};
    QTest::newRow("+") << "BtnChanU" << Keys{"KeyChanUp"};
    QTest::newRow("-") << "BtnChanD" << Keys{"KeyChanDown"};
    QTest::newRow("Ent sends nothing") << "BtnEnt" << Keys{};
}

void tst_frmKOVRA::buttons()
{
    QFETCH(QString, button);
    QFETCH(Keys, keys);
    auto w = startWindow();
    w->findChild<QPushButton *>(button)->click();
    port1->readFor(std::chrono::milliseconds(300));
    QCOMPARE(decodeStream(port1->received), keys);
    QVERIFY(!w->hasEnded());
}

void tst_frmKOVRA::exitEndsWithStatusZero()
{
    auto w = startWindow();
    QSignalSpy ended(w.get(), &frmKOVRA::programEnded);
    w->BtnExit->click();
    QCOMPARE(ended.count(), 1);
    QCOMPARE(ended.at(0).at(0).toInt(), 0);
    QVERIFY(!w->MSComm1->IsOpen());
    QVERIFY(!w->isVisible());
    w->Btn1->click();  // after the end nothing is handled
    port1->readFor(std::chrono::milliseconds(100));
    QVERIFY(port1->received.empty());
}

void tst_frmKOVRA::failedSendIsAnUnhandledFailure()
{
    auto w = startWindow();
    w->txtComport->setText("99999");  // closes port 1, cannot reopen; keypad stays enabled
    QSignalSpy messages(w.get(), &frmKOVRA::messageShown);
    QSignalSpy ended(w.get(), &frmKOVRA::programEnded);
    w->Btn3->click();
    QCOMPARE(messages.count(), 1);
    const QString message = messages.at(0).at(0).toString();
    QVERIFY2(message.startsWith("Error 8018: "), qPrintable(message));
    QVERIFY2(message.endsWith("(Error 6: Overflow)"), qPrintable(message));  // why the port is closed
    QCOMPARE(ended.count(), 1);
    QCOMPARE(ended.at(0).at(0).toInt(), frmKOVRA::kUnhandledFailureStatus);
}

void tst_frmKOVRA::failedDigitStepEndsBeforeTheNextStep()
{
    writeSettings("[Comport]\nvalue=99999\n");  // the port stays closed, silently
    frmKOVRA w;
    QSignalSpy messages(&w, &frmKOVRA::messageShown);
    QSignalSpy ended(&w, &frmKOVRA::programEnded);
    // On a display the message is a modal box, whose event loop turns while
    // the user reads it; the later steps must not run meanwhile.
    connect(&w, &frmKOVRA::messageShown, &w, [] { QTest::qWait(2000); });
    w.StartUp(QStringLiteral("123"));
    QTRY_COMPARE_WITH_TIMEOUT(ended.count(), 1, 10000);
    QCOMPARE(messages.count(), 1);
    QVERIFY2(messages.at(0).at(0).toString().startsWith("Error 8018: "),
             qPrintable(messages.at(0).at(0).toString()));
    QCOMPARE(ended.at(0).at(0).toInt(), frmKOVRA::kUnhandledFailureStatus);
}

void tst_frmKOVRA::serialEvents_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("message");
    QTest::newRow("1001") << 1001 << "Break received";
    QTest::newRow("1004") << 1004 << "Framing error";
    QTest::newRow("1006") << 1006 << "Overrun error";
    QTest::newRow("1008") << 1008 << "Receive Buffer overflow";
    QTest::newRow("1009") << 1009 << "Parity Error";
    QTest::newRow("1010") << 1010 << "Transmit Buffer full";
    QTest::newRow("1011") << 1011 << "DCB error";
    QTest::newRow("5") << 5 << "Carrier Detect changed state";
    QTest::newRow("3") << 3 << "Clear To Send (CTS) changed state";
    QTest::newRow("4") << 4 << "Data Set Ready (DSR) changed state";
    QTest::newRow("6") << 6 << "Ring Indicator (RI) changed state";
    QTest::newRow("7") << 7 << "EOF received";
    // This port's send threshold is 0; the text starts with a blank.
    QTest::newRow("1") << 1 << " 0 Characters remaining in transmit buffer";
    QTest::newRow("2 with nothing waiting") << 2 << QString();
    QTest::newRow("0") << 0 << QString();
    QTest::newRow("8") << 8 << QString();
    QTest::newRow("1002") << 1002 << QString();
    QTest::newRow("-1") << -1 << QString();
    QTest::newRow("32767") << 32767 << QString();
}

void tst_frmKOVRA::serialEvents()
{
    QFETCH(int, code);
    QFETCH(QString, message);
    auto w = startWindow();
    QSignalSpy spy(w.get(), &frmKOVRA::messageShown);
    emit w->MSComm1->SerialEvent(qint16(code));
    if (message.isNull()) {
        QCOMPARE(spy.count(), 0);
    } else {
        QCOMPARE(spy.count(), 1);
        QCOMPARE(spy.at(0).at(0).toString(), message);
    }
    emit w->MSComm1->SerialEvent(qint16(code));
    QCOMPARE(spy.count(), message.isNull() ? 0 : 2);  // each event its own message
    QVERIFY(!w->hasEnded());
}

void tst_frmKOVRA::receiveDrainKeepsTheLast5000()
{
    auto w = startWindow();
    QSignalSpy spy(w.get(), &frmKOVRA::messageShown);

    // A stream that does not repeat within its length; XON and XOFF are left
    // out, since the port's flow control takes them off the line.
    constexpr int total = 20000;
    Bytes sent(total);
    for (int i = 0; i < total; ++i) {
        std::uint8_t b = std::uint8_t((i * 7 + i / 256) & 0xFF);
        if (b == 0x11 || b == 0x13)
            b |= 0x40;
        sent[std::size_t(i)] = b;
    }

    // Feed the line and drain it the way the handler does, until all of it
    // has come through. How much one drain sees is up to the kernel.
    std::size_t written = 0;
    std::size_t consumed = 0;  // bytes of `sent` accounted for
    int biggestDrain = 0;
    const auto deadline = kovra::test::Clock::now() + std::chrono::seconds(10);
    while (consumed < sent.size() && kovra::test::Clock::now() < deadline) {
        written += port1->writeSomeToPort(sent.data() + written, sent.size() - written);
        // Sleep without handling events: the port's own receive event would
        // drain the line before we look.
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        QByteArray kept;
        QVERIFY(w->ReceiveDrain(kept).ok());
        QVERIFY(kept.size() <= frmKOVRA::kReceiveBufferLimit);
        if (kept.isEmpty())
            continue;
        // What a drain keeps is the tail of what it read: find where it ends.
        const Bytes keptBytes(kept.begin(), kept.end());
        bool found = false;
        for (std::size_t end = consumed + keptBytes.size(); end <= written; ++end) {
            if (std::equal(keptBytes.begin(), keptBytes.end(), sent.begin() + std::ptrdiff_t(end - keptBytes.size()))) {
                const int read = int(end - consumed);
                // A drain that read more than 5000 keeps exactly the last 5000.
                if (read > frmKOVRA::kReceiveBufferLimit)
                    QCOMPARE(kept.size(), frmKOVRA::kReceiveBufferLimit);
                biggestDrain = std::max(biggestDrain, read);
                consumed = end;
                found = true;
                break;
            }
        }
        QVERIFY2(found, "a drain kept something that is not the tail of the stream");
    }
    QCOMPARE(consumed, sent.size());
    qInfo("largest single drain: %d bytes", biggestDrain);

    // Through the handler, raised by the port itself: no message, and the
    // line is read empty.
    written = 0;
    QTRY_VERIFY_WITH_TIMEOUT(
        [&] {
            written += port1->writeSomeToPort(sent.data() + written, sent.size() - written);
            qint16 waiting = 0;
            return written == sent.size() && w->MSComm1->WaitingCount(waiting).ok() && waiting == 0;
        }(),
        10000);
    QCOMPARE(spy.count(), 0);
}

QTEST_MAIN(tst_frmKOVRA)
#include "tst_frmkovra.moc"
