#include "termiossettings.h"

#include <QStringList>

#include <cstring>

namespace kovra {

namespace {

struct BaudSpeed {
    int baud;
    speed_t speed;
};

constexpr BaudSpeed kSpeeds[] = {
    {50, B50},       {75, B75},       {110, B110},     {134, B134},
    {150, B150},     {200, B200},     {300, B300},     {600, B600},
    {1200, B1200},   {1800, B1800},   {2400, B2400},   {4800, B4800},
    {9600, B9600},   {19200, B19200}, {38400, B38400}, {57600, B57600},
    {115200, B115200}, {230400, B230400},
};

Outcome invalid(const QString &text, const QString &why)
{
    return {kInvalidSetting,
            QStringLiteral("line settings \"%1\": %2 (expected e.g. \"9600,N,8,1\")")
                .arg(text, why),
            0};
}

// A field of plain decimal digits only; -1 otherwise.
int digitsValue(const QString &field)
{
    if (field.isEmpty() || field.size() > 7)
        return -1;
    int value = 0;
    for (QChar c : field) {
        if (c < u'0' || c > u'9')
            return -1;
        value = value * 10 + (c.unicode() - u'0');
    }
    return value;
}

}  // namespace

speed_t speedForBaud(int baud)
{
    for (const BaudSpeed &s : kSpeeds)
        if (s.baud == baud)
            return s.speed;
    return B0;
}

Outcome parseLineSettings(const QString &text, LineSettings &settings)
{
    const QStringList fields = text.split(u',');
    if (fields.size() != 4)
        return invalid(text, QStringLiteral("need four fields separated by commas"));

    LineSettings parsed;
    const QString baud = fields[0].trimmed();
    parsed.baud = digitsValue(baud);
    if (parsed.baud < 0 || speedForBaud(parsed.baud) == B0)
        return invalid(text, QStringLiteral("unsupported baud rate \"%1\"").arg(baud));

    const QString parity = fields[1].trimmed().toUpper();
    if (parity != u"N" && parity != u"E" && parity != u"O")
        return invalid(text, QStringLiteral("parity \"%1\" is not N, E or O").arg(fields[1].trimmed()));
    parsed.parity = char(parity[0].unicode());

    const QString data = fields[2].trimmed();
    parsed.dataBits = digitsValue(data);
    if (parsed.dataBits < 5 || parsed.dataBits > 8)
        return invalid(text, QStringLiteral("data bits \"%1\" not in 5..8").arg(data));

    const QString stop = fields[3].trimmed();
    parsed.stopBits = digitsValue(stop);
    if (parsed.stopBits != 1 && parsed.stopBits != 2)
        return invalid(text, QStringLiteral("stop bits \"%1\" are not 1 or 2").arg(stop));

    settings = parsed;
    return Outcome::success();
}

termios makeTermios(const LineSettings &line, FlowControl flow)
{
    termios t;
    std::memset(&t, 0, sizeof t);

    t.c_cflag = CREAD | CLOCAL;
    switch (line.dataBits) {
    case 5: t.c_cflag |= CS5; break;
    case 6: t.c_cflag |= CS6; break;
    case 7: t.c_cflag |= CS7; break;
    default: t.c_cflag |= CS8; break;
    }
    if (line.parity == 'E')
        t.c_cflag |= PARENB;
    else if (line.parity == 'O')
        t.c_cflag |= PARENB | PARODD;
    if (line.stopBits == 2)
        t.c_cflag |= CSTOPB;

    // Parity errors are checked but the byte still arrives; the kernel
    // counts them for the line-error events.
    if (line.parity != 'N')
        t.c_iflag |= INPCK;
    if (flow == FlowControl::XonXoff)
        t.c_iflag |= IXON | IXOFF;

    t.c_oflag = 0;  // no OPOST: 0x0A leaves as 0x0A
    t.c_lflag = 0;  // no ICANON, ECHO, ISIG, IEXTEN

    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    t.c_cc[VSTART] = 0x11;  // DC1, XON
    t.c_cc[VSTOP] = 0x13;   // DC3, XOFF

    const speed_t speed = speedForBaud(line.baud);
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);
    return t;
}

QString termiosDifference(const termios &wanted, const termios &got)
{
    constexpr tcflag_t kCflagMask = CSIZE | PARENB | PARODD | CSTOPB | CREAD | CLOCAL | CRTSCTS;
    constexpr tcflag_t kIflagMask = IXON | IXOFF | IXANY | INPCK | ISTRIP | INLCR | IGNCR
                                  | ICRNL | IGNBRK | BRKINT | PARMRK | IUCLC | IMAXBEL;
    constexpr tcflag_t kOflagMask = OPOST | ONLCR | OCRNL;
    constexpr tcflag_t kLflagMask = ICANON | ECHO | ECHOE | ECHONL | ISIG | IEXTEN;

    auto hex = [](tcflag_t v) { return QStringLiteral("0x%1").arg(ulong(v), 0, 16); };
    if ((wanted.c_cflag & kCflagMask) != (got.c_cflag & kCflagMask))
        return QStringLiteral("c_cflag is %1, wanted %2")
            .arg(hex(got.c_cflag & kCflagMask), hex(wanted.c_cflag & kCflagMask));
    if ((wanted.c_iflag & kIflagMask) != (got.c_iflag & kIflagMask))
        return QStringLiteral("c_iflag is %1, wanted %2")
            .arg(hex(got.c_iflag & kIflagMask), hex(wanted.c_iflag & kIflagMask));
    if ((wanted.c_oflag & kOflagMask) != (got.c_oflag & kOflagMask))
        return QStringLiteral("c_oflag is %1, wanted %2")
            .arg(hex(got.c_oflag & kOflagMask), hex(wanted.c_oflag & kOflagMask));
    if ((wanted.c_lflag & kLflagMask) != (got.c_lflag & kLflagMask))
        return QStringLiteral("c_lflag is %1, wanted %2")
            .arg(hex(got.c_lflag & kLflagMask), hex(wanted.c_lflag & kLflagMask));
    if (cfgetospeed(&got) != cfgetospeed(&wanted) || cfgetispeed(&got) != cfgetispeed(&wanted))
        return QStringLiteral("speed differs from the one asked for");
    for (int cc : {VMIN, VTIME, VSTART, VSTOP})
        if (wanted.c_cc[cc] != got.c_cc[cc])
            return QStringLiteral("control character %1 is %2, wanted %3")
                .arg(cc).arg(got.c_cc[cc]).arg(wanted.c_cc[cc]);
    return {};
}

}  // namespace kovra
