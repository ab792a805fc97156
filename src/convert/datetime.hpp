// Text to dates, times and timestamps, for the typed reader: one parser driven by a
// column's strftime format, and the ISO 8601 forms of the "datetime" and "time" types,
// whose patterns allow several shapes and so have no single format.
//
// The format parser reads what Python's datetime.strptime reads for the same format, and
// is more lenient where a file is: numbers may be unpadded (1 to 2 digits for %m %d %H %I
// %M %S), month and weekday names are English in any case, abbreviated or in full for
// either of %b and %B, %z also takes "Z" and an hour alone, %f up to 9 digits (truncated
// to microseconds). Where both read a text they agree; ambiguous unpadded runs are tried
// longest number first, then shorter, as strptime's regular expression does. It also
// reads %q, a quarter (1 to 4: the quarter's first day), for year-quarter columns.
// Directives: %Y %y %m %d %j %b %B %a %A %H %I %M %S %f %p %z %q %%. A blank in the format
// matches one or more blanks. A date that does not exist (2023-02-29) is refused.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace velmira {
namespace convert {

// The parts of a parsed text, with strptime's defaults for the parts its format lacks.
struct Civil {
    int year = 1900;
    int month = 1;
    int day = 1;
    int hour = 0;
    int minute = 0;
    int second = 0;
    int micro = 0;
    bool zoned = false;
    int offsetSeconds = 0;  // east of UTC, when zoned
};

class DateFormat {
public:
    // False, with `why`, for a format this parser cannot read (an unknown directive).
    static bool compile(std::string_view format, DateFormat& out, std::string& why);
    bool parse(std::string_view text, Civil& out) const;
    bool hasZone() const { return hasZone_; }

    enum class Kind : std::uint8_t {
        Literal, Blank, Year4, Year2, Month, Day, DayOfYear, MonthName, Weekday, Hour24, Hour12,
        Minute, Second, Fraction, AmPm, Zone, Quarter
    };
    struct Token {
        Kind kind;
        char literal;  // Literal only
    };

private:
    struct State;
    bool match(std::size_t token, std::size_t at, std::string_view text, State& state) const;

    std::vector<Token> tokens_;
    bool hasZone_ = false;
};

// YYYY-MM-DD[T ]HH:MM[:SS[(.|,)digits]][Z|+-HH[[:]MM]], the "datetime" type's shapes.
bool parseIsoDatetime(std::string_view text, Civil& out);
// HH:MM[:SS[(.|,)digits]][zone], the "time" type's shapes.
bool parseIsoTime(std::string_view text, Civil& out);

// Days from 1970-01-01 to a valid proleptic Gregorian date.
std::int64_t daysFromCivil(int year, int month, int day);
bool validDate(int year, int month, int day);
// Microseconds since 1970-01-01T00:00 UTC (the offset taken away when zoned).
std::int64_t epochMicros(const Civil& c);
// Microseconds since midnight, in UTC when zoned (wrapped into the day).
std::int64_t dayMicros(const Civil& c);

}  // namespace convert
}  // namespace velmira
