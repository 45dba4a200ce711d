// Line settings and the termios value built from them.
//
// Pure functions: no device is touched here, so every field can be checked
// in a test without a serial port.
#pragma once

#include "serialport.h"

#include <QString>

#include <termios.h>

namespace kovra {

struct LineSettings {
    int baud = 9600;
    char parity = 'N';  // 'N' none, 'E' even, 'O' odd
    int dataBits = 8;   // 5..8
    int stopBits = 1;   // 1 or 2
};

// Parses "baud,parity,data bits,stop bits", e.g. "9600,N,8,1". Blanks around
// a field are allowed; the parity letter may be lower case. On failure
// `settings` is left unchanged and the outcome is kInvalidSetting with a
// text that quotes the input and names the bad field.
Outcome parseLineSettings(const QString &text, LineSettings &settings);

// The speed constant for a baud rate, or B0 when termios has none for it.
speed_t speedForBaud(int baud);

// The complete termios value for the port: raw (no input or output
// processing, no echo, no signals), receiver on, modem lines ignored,
// VMIN/VTIME 0 (reads return what is waiting). XonXoff sets IXON|IXOFF with
// DC1/DC3 as start/stop characters. `line` must have come from
// parseLineSettings (or be the default).
termios makeTermios(const LineSettings &line, FlowControl flow);

// Compares what the device reports after tcsetattr with what was asked for,
// over the fields makeTermios sets. Empty when they agree, otherwise a short
// text naming the first field that differs.
QString termiosDifference(const termios &wanted, const termios &got);

}  // namespace kovra
