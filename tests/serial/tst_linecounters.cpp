// Kernel interrupt counters to serial event codes.
#include "serial/linecounters.h"
#include "serial/serialport.h"

#include <QtTest>

#include <limits>

using namespace kovra;

using Counter = int serial_icounter_struct::*;
Q_DECLARE_METATYPE(QList<qint16>)

class tst_LineCounters : public QObject {
    Q_OBJECT
private slots:
    void oneCodePerChangedCounter_data();
    void oneCodePerChangedCounter();
    void severalAtOnceInFixedOrder();
    void counterThatWrapsStillCounts();
};

void tst_LineCounters::oneCodePerChangedCounter_data()
{
    QTest::addColumn<int>("counter");  // index into the table below
    QTest::addColumn<int>("increase");
    QTest::addColumn<QList<qint16>>("codes");

    QTest::newRow("break") << 0 << 1 << QList<qint16>{kEventBreak};
    QTest::newRow("framing") << 1 << 1 << QList<qint16>{kEventFrame};
    QTest::newRow("overrun") << 2 << 1 << QList<qint16>{kEventOverrun};
    QTest::newRow("buffer overflow") << 3 << 1 << QList<qint16>{kEventRxOverflow};
    QTest::newRow("parity") << 4 << 1 << QList<qint16>{kEventRxParity};
    QTest::newRow("CTS") << 5 << 1 << QList<qint16>{kEventCts};
    QTest::newRow("DSR") << 6 << 1 << QList<qint16>{kEventDsr};
    QTest::newRow("CD") << 7 << 1 << QList<qint16>{kEventCd};
    QTest::newRow("RI") << 8 << 1 << QList<qint16>{kEventRing};
    QTest::newRow("three framing errors: three events") << 1 << 3 << QList<qint16>(3, kEventFrame);
    QTest::newRow("CTS toggled twice: two events") << 5 << 2 << QList<qint16>(2, kEventCts);
    QTest::newRow("a broken line's flood is bounded")
        << 1 << 250 << QList<qint16>(qsizetype(kMaxEventsPerKind), kEventFrame);
    QTest::newRow("received bytes: no event") << 9 << 34 << QList<qint16>{};
    QTest::newRow("sent bytes: no event") << 10 << 34 << QList<qint16>{};
}

void tst_LineCounters::oneCodePerChangedCounter()
{
    static const Counter counters[] = {
        &serial_icounter_struct::brk,         &serial_icounter_struct::frame,
        &serial_icounter_struct::overrun,     &serial_icounter_struct::buf_overrun,
        &serial_icounter_struct::parity,      &serial_icounter_struct::cts,
        &serial_icounter_struct::dsr,         &serial_icounter_struct::dcd,
        &serial_icounter_struct::rng,         &serial_icounter_struct::rx,
        &serial_icounter_struct::tx,
    };
    QFETCH(int, counter);
    QFETCH(int, increase);
    QFETCH(QList<qint16>, codes);

    serial_icounter_struct before{};
    before.*counters[counter] = 7;
    serial_icounter_struct now = before;
    now.*counters[counter] += increase;
    QCOMPARE(lineEvents(before, now), codes);
    QVERIFY(lineEvents(now, now).isEmpty());
}

void tst_LineCounters::severalAtOnceInFixedOrder()
{
    serial_icounter_struct before{};
    serial_icounter_struct now{};
    now.rng = 1;
    now.cts = 2;
    now.parity = 1;
    now.brk = 1;
    QCOMPARE(lineEvents(before, now), (QList<qint16>{kEventBreak, kEventRxParity, kEventCts, kEventCts, kEventRing}));
}

void tst_LineCounters::counterThatWrapsStillCounts()
{
    serial_icounter_struct before{};
    serial_icounter_struct now{};
    before.parity = std::numeric_limits<int>::max();
    now.parity = std::numeric_limits<int>::min();  // one more, wrapped
    QCOMPARE(lineEvents(before, now), QList<qint16>{kEventRxParity});
}

QTEST_GUILESS_MAIN(tst_LineCounters)
#include "tst_linecounters.moc"
