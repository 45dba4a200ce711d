// The numeric value of a text, as port numbers and channels are read.
#include "numericvalue.h"

#include <gtest/gtest.h>

#include <optional>

using namespace kovra;

namespace {

struct Case {
    const char *label;
    QString text;
    std::optional<qint16> value;  // nullopt: the conversion fails with Overflow
};

void PrintTo(const Case &c, std::ostream *os)
{
    *os << c.label;
}

class NumericValueCase : public testing::TestWithParam<Case> {};

QString repeated(QChar c, int count)
{
    return QString(count, c);
}

}  // namespace

TEST_P(NumericValueCase, Reads)
{
    const Case &c = GetParam();
    qint16 value = 1234;
    const Outcome outcome = NumericValue(c.text, value);
    if (c.value) {
        EXPECT_TRUE(outcome.ok()) << outcome.text.toStdString();
        EXPECT_EQ(value, *c.value);
    } else {
        EXPECT_EQ(outcome.number, kOverflow);
        EXPECT_EQ(outcome.text, QStringLiteral("Overflow"));
        EXPECT_EQ(value, 1234) << "a failed conversion leaves the value alone";
    }
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Table, NumericValueCase, testing::Values(
    Case{"plain", "705", 705},
    Case{"blanks_inside", "1 2", 12},
    Case{"tabs_and_line_feeds", "\t1\n2 \n", 12},
    Case{"carriage_return_is_not_a_blank", "1\r2", 1},
    Case{"tie_to_even_down", "2.5", 2},
    Case{"tie_to_even_up", "3.5", 4},
    Case{"negative_tie", "-2.5", -2},
    Case{"above_half", "2.51", 3},
    Case{"just_above_half", "2.500000000000000000001", 3},
    Case{"below_half", "2.4999999", 2},
    Case{"exponent", "1e3", 1000},
    Case{"upper_exponent_negative", "25E-1", 2},
    Case{"exponent_too_big", "1e5", std::nullopt},
    Case{"exponent_without_digits", "5e", 5},
    Case{"exponent_sign_without_digits", "5e+x", 5},
    Case{"huge_exponent", "1e99999", std::nullopt},
    Case{"huge_negative_exponent", "1e-99999", 0},
    Case{"zero_huge_exponent", "0e99999999999999999999", 0},
    Case{"max", "32767", 32767},
    Case{"min", "-32768", -32768},
    Case{"above_max", "32768", std::nullopt},
    Case{"rounds_above_max", "32767.5", std::nullopt},
    Case{"rounds_to_min", "-32768.5", -32768},
    Case{"below_min", "-32768.51", std::nullopt},
    Case{"letters", "abc", 0},
    Case{"empty", "", 0},
    Case{"only_blanks", " \t\n", 0},
    Case{"plus_sign", "+7", 7},
    Case{"sign_only", "-", 0},
    Case{"blank_after_sign", "- 5", -5},
    Case{"two_signs", "+-5", 0},
    Case{"point_five", ".5", 0},
    Case{"point_six", ".6", 1},
    Case{"point_only", ".", 0},
    Case{"trailing_point", "7.", 7},
    Case{"trailing_letters", "5abc", 5},
    Case{"second_point_stops", "1.5.5", 2},
    Case{"hex_prefix", "0x10", 0},
    Case{"leading_zeros", "007", 7},
    Case{"many_leading_zeros", repeated(u'0', 5000) + "12", 12},
    Case{"thousands_of_digits", repeated(u'9', 5000), std::nullopt},
    Case{"long_fraction", "1." + repeated(u'4', 5000), 1},
    Case{"tiny_value_huge_digits", "0." + repeated(u'0', 5000) + "1", 0},
    Case{"non_ascii_start", QString::fromUtf8("\xc3\xa9" "5"), 0},
    Case{"non_ascii_after", QString::fromUtf8("5\xc3\xa9"), 5},
    Case{"fullwidth_digit_is_no_digit", QString::fromUtf8("\xef\xbc\x95"), 0},
    Case{"replacement_char", QString(QChar(0xFFFD)) + "9", 0},
    Case{"nan", "nan", 0},
    Case{"inf", "inf", 0},
    Case{"negative_inf", "-inf", 0},
    Case{"negative_zero", "-0", 0},
    Case{"negative_half", "-0.5", 0}
), [](const testing::TestParamInfo<Case> &info) { return std::string(info.param.label); });
// clang-format on
