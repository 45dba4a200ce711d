// The line-settings text and the termios value built from it, without a device.
#include "serial/termiossettings.h"

#include <QtTest>

using namespace kovra;

class tst_TermiosSettings : public QObject {
    Q_OBJECT
private slots:
    void xonXoffAt9600N81();
    void noFlowControl();
    void parses_data();
    void parses();
    void rejectsMalformed_data();
    void rejectsMalformed();
    void differenceNamesTheField();
};

void tst_TermiosSettings::xonXoffAt9600N81()
{
    LineSettings line;
    QVERIFY(parseLineSettings(QStringLiteral("9600,N,8,1"), line).ok());
    const termios t = makeTermios(line, FlowControl::XonXoff);

    QCOMPARE(t.c_cflag & CSIZE, tcflag_t(CS8));
    QCOMPARE(t.c_cflag & (PARENB | PARODD | CSTOPB | CRTSCTS), tcflag_t(0));
    QCOMPARE(t.c_cflag & (CLOCAL | CREAD), tcflag_t(CLOCAL | CREAD));
    QCOMPARE(t.c_iflag & (IXON | IXOFF), tcflag_t(IXON | IXOFF));
    QCOMPARE(t.c_iflag & (IXANY | ICRNL | INLCR | IGNCR | ISTRIP | INPCK), tcflag_t(0));
    QCOMPARE(t.c_oflag & (OPOST | ONLCR), tcflag_t(0));  // 0x0A must leave unchanged
    QCOMPARE(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), tcflag_t(0));
    QCOMPARE(t.c_cc[VSTART], cc_t(0x11));
    QCOMPARE(t.c_cc[VSTOP], cc_t(0x13));
    QCOMPARE(t.c_cc[VMIN], cc_t(0));
    QCOMPARE(cfgetospeed(&t), speed_t(B9600));
    QCOMPARE(cfgetispeed(&t), speed_t(B9600));
}

void tst_TermiosSettings::noFlowControl()
{
    const termios t = makeTermios(LineSettings{}, FlowControl::None);
    QCOMPARE(t.c_iflag & (IXON | IXOFF), tcflag_t(0));
}

void tst_TermiosSettings::parses_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("baud");
    QTest::addColumn<char>("parity");
    QTest::addColumn<int>("dataBits");
    QTest::addColumn<int>("stopBits");
    QTest::addColumn<tcflag_t>("cflag");  // CSIZE | PARENB | PARODD | CSTOPB
    QTest::addColumn<speed_t>("speed");

    QTest::newRow("9600,N,8,1") << "9600,N,8,1" << 9600 << 'N' << 8 << 1 << tcflag_t(CS8) << speed_t(B9600);
    QTest::newRow("lower-case even, 7 data, 2 stop") << "19200,e,7,2" << 19200 << 'E' << 7 << 2
                                                     << tcflag_t(CS7 | PARENB | CSTOPB) << speed_t(B19200);
    QTest::newRow("odd parity") << "1200,O,5,1" << 1200 << 'O' << 5 << 1
                                << tcflag_t(CS5 | PARENB | PARODD) << speed_t(B1200);
    QTest::newRow("blanks around fields") << " 9600 , N , 8 , 1 " << 9600 << 'N' << 8 << 1
                                          << tcflag_t(CS8) << speed_t(B9600);
}

void tst_TermiosSettings::parses()
{
    QFETCH(QString, text);
    LineSettings line;
    line.baud = 1;  // overwritten on success
    const Outcome outcome = parseLineSettings(text, line);
    QVERIFY2(outcome.ok(), qPrintable(outcome.text));
    QFETCH(int, baud);
    QFETCH(char, parity);
    QFETCH(int, dataBits);
    QFETCH(int, stopBits);
    QCOMPARE(line.baud, baud);
    QCOMPARE(line.parity, parity);
    QCOMPARE(line.dataBits, dataBits);
    QCOMPARE(line.stopBits, stopBits);

    const termios t = makeTermios(line, FlowControl::None);
    QFETCH(tcflag_t, cflag);
    QFETCH(speed_t, speed);
    QCOMPARE(t.c_cflag & (CSIZE | PARENB | PARODD | CSTOPB), cflag);
    QCOMPARE(cfgetospeed(&t), speed);
}

void tst_TermiosSettings::rejectsMalformed_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("empty") << "";
    QTest::newRow("baud only") << "9600";
    QTest::newRow("three fields") << "9600,N,8";
    QTest::newRow("five fields") << "9600,N,8,1,1";
    QTest::newRow("empty field") << "9600,,8,1";
    QTest::newRow("letters for baud") << "fast,N,8,1";
    QTest::newRow("negative baud") << "-9600,N,8,1";
    QTest::newRow("baud without termios speed") << "9601,N,8,1";
    QTest::newRow("huge baud") << "99999999999,N,8,1";
    QTest::newRow("parity X") << "9600,X,8,1";
    QTest::newRow("parity word") << "9600,None,8,1";
    QTest::newRow("mark parity") << "9600,M,8,1";
    QTest::newRow("9 data bits") << "9600,N,9,1";
    QTest::newRow("4 data bits") << "9600,N,4,1";
    QTest::newRow("1.5 stop bits") << "9600,N,8,1.5";
    QTest::newRow("0 stop bits") << "9600,N,8,0";
    QTest::newRow("semicolons") << "9600;N;8;1";
    QTest::newRow("sign on data bits") << "9600,N,+8,1";
}

void tst_TermiosSettings::rejectsMalformed()
{
    QFETCH(QString, text);
    LineSettings line;
    line.baud = 4800;
    const Outcome outcome = parseLineSettings(text, line);
    QCOMPARE(outcome.number, int(kInvalidSetting));
    QVERIFY2(outcome.text.contains(QLatin1Char('"') + text + QLatin1Char('"')), qPrintable(outcome.text));
    QCOMPARE(line.baud, 4800);  // untouched
}

void tst_TermiosSettings::differenceNamesTheField()
{
    const termios wanted = makeTermios(LineSettings{}, FlowControl::XonXoff);
    QVERIFY(termiosDifference(wanted, wanted).isEmpty());

    termios got = wanted;
    got.c_oflag |= OPOST | ONLCR;
    QVERIFY(termiosDifference(wanted, got).contains(QLatin1String("c_oflag")));

    got = wanted;
    got.c_iflag &= ~IXOFF;
    QVERIFY(termiosDifference(wanted, got).contains(QLatin1String("c_iflag")));

    got = wanted;
    cfsetospeed(&got, B4800);
    QVERIFY(termiosDifference(wanted, got).contains(QLatin1String("speed")));

    got = wanted;
    got.c_cflag |= HUPCL;  // not one of ours: the device may keep it
    QVERIFY(termiosDifference(wanted, got).isEmpty());
}

QTEST_GUILESS_MAIN(tst_TermiosSettings)
#include "tst_termiossettings.moc"
