// Numeric value of a text, as the program reads port numbers and channels.
//
// Blanks, tabs and line feeds are ignored wherever they stand. The value is
// the decimal number the rest begins with (optional sign, digits, optional
// decimal point and fraction, optional exponent); reading stops at the first
// character that cannot continue it, and a text that begins with no number
// is 0. The number is rounded to a whole number, ties to the even neighbour,
// exactly (no floating point, so no input can overflow or lose digits).
// A result outside -32768..32767 fails with kOverflow, "Overflow".
#pragma once

#include "serial/serialport.h"

#include <QStringView>

namespace kovra {

// On failure `value` is left unchanged.
Outcome NumericValue(QStringView text, qint16 &value);

}  // namespace kovra
