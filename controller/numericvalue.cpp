#include "numericvalue.h"

#include <QString>

#include <cstdint>
#include <string>

namespace kovra {
namespace {

bool isBlank(QChar c)
{
    return c == u' ' || c == u'\t' || c == u'\n';
}

bool isDigit(QChar c)
{
    return c >= u'0' && c <= u'9';
}

// Walks the text skipping blanks, so "1 2" reads as "12".
class Reader {
public:
    explicit Reader(QStringView text) : text_(text) { skipBlanks(); }
    bool atEnd() const { return pos_ >= text_.size(); }
    QChar peek() const { return atEnd() ? QChar() : text_[pos_]; }
    void next()
    {
        ++pos_;
        skipBlanks();
    }
    qsizetype pos() const { return pos_; }
    void seek(qsizetype pos) { pos_ = pos; }

private:
    void skipBlanks()
    {
        while (!atEnd() && isBlank(text_[pos_]))
            ++pos_;
    }
    QStringView text_;
    qsizetype pos_ = 0;
};

Outcome overflow()
{
    return {kOverflow, QStringLiteral("Overflow"), 0};
}

}  // namespace

Outcome NumericValue(QStringView text, qint16 &value)
{
    Reader in(text);
    bool negative = false;
    if (in.peek() == u'+' || in.peek() == u'-') {
        negative = in.peek() == u'-';
        in.next();
    }

    // Significant digits without leading zeros, and the power of ten of the
    // last one: the number is digits * 10^scale.
    std::string digits;
    std::int64_t scale = 0;
    bool sawDigit = false;
    while (isDigit(in.peek())) {
        sawDigit = true;
        if (!digits.empty() || in.peek() != u'0')
            digits.push_back(char(in.peek().unicode()));
        in.next();
    }
    if (in.peek() == u'.') {
        in.next();
        while (isDigit(in.peek())) {
            sawDigit = true;
            if (!digits.empty() || in.peek() != u'0')
                digits.push_back(char(in.peek().unicode()));
            --scale;
            in.next();
        }
    }
    if (!sawDigit) {
        value = 0;
        return Outcome::success();
    }

    // An exponent counts only when digits follow the "e" and its sign.
    if (in.peek() == u'e' || in.peek() == u'E') {
        const qsizetype mark = in.pos();
        in.next();
        bool expNegative = false;
        if (in.peek() == u'+' || in.peek() == u'-') {
            expNegative = in.peek() == u'-';
            in.next();
        }
        if (isDigit(in.peek())) {
            // Saturate: far beyond any exponent that can still give a 16-bit
            // value, whatever the number of digits in the mantissa.
            constexpr std::int64_t kExponentCap = std::int64_t(1) << 40;
            std::int64_t exponent = 0;
            while (isDigit(in.peek())) {
                if (exponent < kExponentCap)
                    exponent = exponent * 10 + (in.peek().unicode() - u'0');
                in.next();
            }
            scale += expNegative ? -exponent : exponent;
        } else {
            in.seek(mark);
        }
    }

    // Trailing zeros carry no value; dropping them keeps the digit count of
    // a value like 1000...000e-5000 small.
    while (!digits.empty() && digits.back() == '0') {
        digits.pop_back();
        ++scale;
    }
    if (digits.empty()) {
        value = 0;
        return Outcome::success();
    }

    // Digits in front of the decimal point: more than five means >= 100000.
    const std::int64_t count = std::int64_t(digits.size());
    const std::int64_t intDigits = count + scale;
    if (intDigits > 5)
        return overflow();

    std::int64_t whole = 0;
    for (std::int64_t i = 0; i < intDigits; ++i)
        whole = whole * 10 + (i < count ? digits[std::size_t(i)] - '0' : 0);

    // The fraction decides the rounding: above, below or exactly one half.
    if (intDigits < count) {
        const std::int64_t first = intDigits;  // index of the first fraction digit
        int half = 0;  // -1 below, 0 exactly, +1 above one half
        if (first < 0) {
            half = -1;  // a leading zero after the point: below 0.1
        } else {
            const int d = digits[std::size_t(first)] - '0';
            if (d != 5)
                half = d < 5 ? -1 : 1;
            else
                half = first + 1 < count ? 1 : 0;  // any digit after the 5 is non-zero
        }
        if (half > 0 || (half == 0 && whole % 2 != 0))
            ++whole;
    }

    const std::int64_t result = negative ? -whole : whole;
    if (result < -32768 || result > 32767)
        return overflow();
    value = qint16(result);
    return Outcome::success();
}

}  // namespace kovra
