#include "linecounters.h"

#include "serialport.h"

#include <algorithm>

namespace kovra {

QList<qint16> lineEvents(const serial_icounter_struct &before, const serial_icounter_struct &now)
{
    // The kernel's counters only grow, and wrap: count in unsigned.
    const auto events = [](int from, int to) { return std::min(unsigned(to) - unsigned(from), kMaxEventsPerKind); };
    const std::pair<unsigned, qint16> changes[] = {
        {events(before.brk, now.brk), kEventBreak},
        {events(before.frame, now.frame), kEventFrame},
        {events(before.overrun, now.overrun), kEventOverrun},
        {events(before.buf_overrun, now.buf_overrun), kEventRxOverflow},
        {events(before.parity, now.parity), kEventRxParity},
        {events(before.cts, now.cts), kEventCts},
        {events(before.dsr, now.dsr), kEventDsr},
        {events(before.dcd, now.dcd), kEventCd},
        {events(before.rng, now.rng), kEventRing},
    };
    QList<qint16> codes;
    for (const auto &[count, code] : changes)
        codes.insert(codes.size(), qsizetype(count), code);
    return codes;
}

}  // namespace kovra
