// Line errors and modem-line changes from the kernel's interrupt counters
// (TIOCGICOUNT), as serial event codes. Pure: testable without a UART.
#pragma once

#include <QList>
#include <QtGlobal>

#include <linux/serial.h>

namespace kovra {

// One code per counted event between two readings, so that each event gets
// its own message: line errors first (break, framing, overrun, receive
// overflow, parity), then CTS, DSR, CD, RI. A counter that jumped by more
// than kMaxEventsPerKind (a broken line) gives that many codes, no more.
constexpr unsigned kMaxEventsPerKind = 64;
QList<qint16> lineEvents(const serial_icounter_struct &before, const serial_icounter_struct &now);

}  // namespace kovra
