#include "linecounters.h"

#include "serialport.h"

namespace kovra {

QList<qint16> lineEvents(const serial_icounter_struct &before, const serial_icounter_struct &now)
{
    const std::pair<bool, qint16> changes[] = {
        {now.brk != before.brk, kEventBreak},
        {now.frame != before.frame, kEventFrame},
        {now.overrun != before.overrun, kEventOverrun},
        {now.buf_overrun != before.buf_overrun, kEventRxOverflow},
        {now.parity != before.parity, kEventRxParity},
        {now.cts != before.cts, kEventCts},
        {now.dsr != before.dsr, kEventDsr},
        {now.dcd != before.dcd, kEventCd},
        {now.rng != before.rng, kEventRing},
    };
    QList<qint16> codes;
    for (const auto &[changed, code] : changes)
        if (changed)
            codes.append(code);
    return codes;
}

}  // namespace kovra
