// Line errors and modem-line changes from the kernel's interrupt counters
// (TIOCGICOUNT), as serial event codes. Pure: testable without a UART.
#pragma once

#include <QList>
#include <QtGlobal>

#include <linux/serial.h>

namespace kovra {

// One code per kind of counter that changed between two readings, line
// errors first (break, framing, overrun, receive overflow, parity), then
// CTS, DSR, CD, RI. Many changes of one kind give one code.
QList<qint16> lineEvents(const serial_icounter_struct &before, const serial_icounter_struct &now);

}  // namespace kovra
