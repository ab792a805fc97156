// Text to numbers and booleans, for the typed reader. Each parser takes a field's exact
// bytes and either gives its value or refuses; it never throws, never reads past the text,
// and accepts nothing the column's type could not hold (no blanks, no "inf" or "nan", no
// hexadecimal), so that a refusal always means "this text is not a value of the column".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace velmira {
namespace convert {

// How a column writes its numbers: the thousands separator (0: none), the decimal
// separator, and whether a trailing '%' is part of every value.
struct NumberFormat {
    char group = 0;
    char point = '.';
    bool percent = false;
};

// [+-]digits, with `group` allowed between two digits. False for anything else, and for a
// value beyond int64 (which the caller reports rather than wraps).
bool parseInt64(std::string_view text, char group, std::int64_t& out);

// [+-]digits[point digits][e[+-]digits] (either side of the point may be empty, not both),
// with `group` between digits of the whole part and, for percentages, a trailing '%'; the
// value of "12%" is 12. Correctly rounded; beyond the double range it is +-inf or +-0, as
// Python's float() gives it.
bool parseDouble(std::string_view text, const NumberFormat& format, double& out);

// The same grammar without an exponent, as an exact decimal: the value times 10^scale, for
// a text with at most `scale` digits after the point and `precision` digits in all (at
// most 38); false for any other.
bool parseDecimal(std::string_view text, const NumberFormat& format, int precision, int scale, __int128& out);

// What an exact decimal type needs to hold the text: its digits before the point (leading
// zeros left out) and after it, and whether it has an exponent. False for a text of no number.
struct DecimalShape {
    int whole = 0;
    int scale = 0;
    bool exponent = false;
};
bool measureDecimal(std::string_view text, const NumberFormat& format, DecimalShape& out);

// Words that mean true and false, compared without regard to ASCII case.
class BoolWords {
public:
    BoolWords(std::vector<std::string> trueWords, std::vector<std::string> falseWords);
    bool parse(std::string_view text, bool& out) const;

private:
    std::vector<std::string> true_;   // lower-cased
    std::vector<std::string> false_;  // lower-cased
};

// Whether `text` is valid UTF-8 (no overlongs, no surrogates, nothing above U+10FFFF).
bool validUtf8(std::string_view text);
// `text` as UTF-8, invalid sequences each replaced by U+FFFD, appended to `out`.
void appendUtf8Replacing(std::string_view text, std::string& out);
// `text` decoded from Latin-1 or, with `cp1252`, Windows-1252 (its five unassigned bytes as
// U+FFFD), appended to `out` as UTF-8.
void appendSingleByte(std::string_view text, bool cp1252, std::string& out);

}  // namespace convert
}  // namespace velmira
