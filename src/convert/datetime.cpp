#include "convert/datetime.hpp"

namespace velmira {
namespace convert {

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }
char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
bool isBlank(char c) { return c == ' ' || c == '\t'; }

const char* const kMonths[12] = {"january", "february", "march",     "april",   "may",      "june",
                                 "july",    "august",   "september", "october", "november", "december"};
const char* const kWeekdays[7] = {"monday", "tuesday", "wednesday", "thursday", "friday", "saturday", "sunday"};

// Whether `word` (lower case) or its first three letters stand at text[at]; the length
// taken, longest first, into `lengths` (0 where none).
void nameAt(std::string_view text, std::size_t at, const char* word, std::size_t lengths[2]) {
    lengths[0] = lengths[1] = 0;
    const std::string_view name(word);
    std::size_t same = 0;
    while (same < name.size() && at + same < text.size() && lower(text[at + same]) == name[same]) ++same;
    if (same == name.size()) lengths[0] = same;
    if (same >= 3 && name.size() > 3) lengths[lengths[0] != 0 ? 1 : 0] = 3;
}

int daysInMonth(int year, int month) {
    static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : kDays[month - 1];
}

// Exactly `n` digits at text[at], as a number; -1 if they are not there.
int digitsAt(std::string_view text, std::size_t at, std::size_t n) {
    if (text.size() < at + n) return -1;
    int value = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (!isDigit(text[at + i])) return -1;
        value = value * 10 + (text[at + i] - '0');
    }
    return value;
}

// A zone at text[at]: Z, or +-HH, +-HHMM, +-HH:MM. Returns the bytes taken (0: none), longest
// form first into `forms` (up to three), each with its offset.
std::size_t zoneForms(std::string_view text, std::size_t at, std::size_t lengths[3], int offsets[3]) {
    std::size_t count = 0;
    if (at >= text.size()) return 0;
    if (text[at] == 'Z' || text[at] == 'z') {
        lengths[0] = 1;
        offsets[0] = 0;
        return 1;
    }
    if (text[at] != '+' && text[at] != '-') return 0;
    const int sign = text[at] == '-' ? -1 : 1;
    const int hours = digitsAt(text, at + 1, 2);
    if (hours < 0 || hours > 23) return 0;
    if (at + 3 < text.size() && text[at + 3] == ':') {
        const int minutes = digitsAt(text, at + 4, 2);
        if (minutes >= 0 && minutes <= 59) {
            lengths[count] = 6;
            offsets[count++] = sign * (hours * 3600 + minutes * 60);
        }
    } else {
        const int minutes = digitsAt(text, at + 3, 2);
        if (minutes >= 0 && minutes <= 59) {
            lengths[count] = 5;
            offsets[count++] = sign * (hours * 3600 + minutes * 60);
        }
    }
    lengths[count] = 3;
    offsets[count++] = sign * hours * 3600;
    return count;
}

// Microseconds from the digits of a fraction: the first six, padded with zeros.
int microsOf(std::string_view digits) {
    int micro = 0;
    for (std::size_t i = 0; i < 6; ++i) micro = micro * 10 + (i < digits.size() ? digits[i] - '0' : 0);
    return micro;
}

// Backtracking is bounded, so that no format and text, however made, takes long.
constexpr int kBudget = 4096;

}  // namespace

struct DateFormat::State {
    int year = 1900;
    int year2 = -1;
    int month = -1;
    int day = -1;
    int dayOfYear = -1;
    int quarter = -1;
    int hour24 = -1;
    int hour12 = -1;
    int pm = -1;
    int minute = 0;
    int second = 0;
    int micro = 0;
    bool zoned = false;
    int offset = 0;
    int budget = kBudget;
    Civil result;
};

bool DateFormat::compile(std::string_view format, DateFormat& out, std::string& why) {
    out.tokens_.clear();
    out.hasZone_ = false;
    for (std::size_t i = 0; i < format.size(); ++i) {
        const char c = format[i];
        if (isBlank(c)) {
            if (out.tokens_.empty() || out.tokens_.back().kind != Kind::Blank) out.tokens_.push_back({Kind::Blank, 0});
            continue;
        }
        if (c != '%') {
            out.tokens_.push_back({Kind::Literal, c});
            continue;
        }
        if (++i == format.size()) {
            why = "the format ends with a lone '%'";
            return false;
        }
        Kind kind;
        switch (format[i]) {
            case 'Y': kind = Kind::Year4; break;
            case 'y': kind = Kind::Year2; break;
            case 'm': kind = Kind::Month; break;
            case 'd': kind = Kind::Day; break;
            case 'j': kind = Kind::DayOfYear; break;
            case 'b': case 'B': case 'h': kind = Kind::MonthName; break;
            case 'a': case 'A': kind = Kind::Weekday; break;
            case 'H': kind = Kind::Hour24; break;
            case 'I': kind = Kind::Hour12; break;
            case 'M': kind = Kind::Minute; break;
            case 'S': kind = Kind::Second; break;
            case 'f': kind = Kind::Fraction; break;
            case 'p': kind = Kind::AmPm; break;
            case 'z': kind = Kind::Zone; out.hasZone_ = true; break;
            case 'q': kind = Kind::Quarter; break;
            case '%': out.tokens_.push_back({Kind::Literal, '%'}); continue;
            default:
                why = std::string("the format's directive %") + format[i] + " is not one the reader knows";
                return false;
        }
        out.tokens_.push_back({kind, 0});
    }
    return true;
}

bool DateFormat::parse(std::string_view text, Civil& out) const {
    State state;
    if (!match(0, 0, text, state)) return false;
    out = state.result;
    return true;
}

bool DateFormat::match(std::size_t token, std::size_t at, std::string_view text, State& state) const {
    if (--state.budget < 0) return false;
    if (token == tokens_.size()) {
        if (at != text.size()) return false;
        Civil c;
        c.year = state.year2 >= 0 ? (state.year2 < 69 ? 2000 + state.year2 : 1900 + state.year2) : state.year;
        if (c.year < 1 || c.year > 9999) return false;
        c.month = state.month >= 0 ? state.month : state.quarter >= 0 ? 3 * state.quarter - 2 : 1;
        c.day = state.day >= 0 ? state.day : 1;
        if (state.dayOfYear >= 0 && state.month < 0 && state.day < 0) {
            int left = state.dayOfYear;
            c.month = 1;
            while (c.month <= 12 && left > daysInMonth(c.year, c.month)) left -= daysInMonth(c.year, c.month++);
            if (c.month > 12) return false;
            c.day = left;
        }
        if (!validDate(c.year, c.month, c.day)) return false;
        if (state.hour12 >= 0) {
            c.hour = state.hour12 % 12 + (state.pm == 1 ? 12 : 0);
        } else if (state.hour24 >= 0) {
            c.hour = state.hour24;
        }
        c.minute = state.minute;
        c.second = state.second;
        c.micro = state.micro;
        c.zoned = state.zoned;
        c.offsetSeconds = state.offset;
        state.result = c;
        return true;
    }
    const Token& t = tokens_[token];
    // Tries the rest of the format with `set` applied to a copy of the state.
    auto next = [&](std::size_t length, auto set) {
        State tried = state;
        set(tried);
        const bool ok = match(token + 1, at + length, text, tried);
        state.budget = tried.budget;
        if (ok) state.result = tried.result;
        return ok;
    };
    // A number of `lo` to `hi` digits within [low, high], the longest first.
    auto number = [&](std::size_t lo, std::size_t hi, int low, int high, int State::*field) {
        for (std::size_t n = hi; n >= lo && n > 0; --n) {
            const int value = digitsAt(text, at, n);
            if (value < low || value > high) continue;
            if (next(n, [&](State& s) { s.*field = value; })) return true;
        }
        return false;
    };
    switch (t.kind) {
        case Kind::Literal:
            return at < text.size() && lower(text[at]) == lower(t.literal) && match(token + 1, at + 1, text, state);
        case Kind::Blank: {
            std::size_t end = at;
            while (end < text.size() && isBlank(text[end])) ++end;
            return end > at && match(token + 1, end, text, state);
        }
        case Kind::Year4: return number(4, 4, 0, 9999, &State::year);
        case Kind::Year2: return number(2, 2, 0, 99, &State::year2);
        case Kind::Month: return number(1, 2, 1, 12, &State::month);
        case Kind::Day: return number(1, 2, 1, 31, &State::day);
        case Kind::DayOfYear: return number(1, 3, 1, 366, &State::dayOfYear);
        case Kind::Quarter: return number(1, 1, 1, 4, &State::quarter);
        case Kind::Hour24: return number(1, 2, 0, 23, &State::hour24);
        case Kind::Hour12: return number(1, 2, 1, 12, &State::hour12);
        case Kind::Minute: return number(1, 2, 0, 59, &State::minute);
        case Kind::Second: return number(1, 2, 0, 59, &State::second);
        case Kind::Fraction: {
            std::size_t digits = 0;
            while (digits < 9 && at + digits < text.size() && isDigit(text[at + digits])) ++digits;
            for (std::size_t n = digits; n > 0; --n) {
                const int micro = microsOf(text.substr(at, n));
                if (next(n, [&](State& s) { s.micro = micro; })) return true;
            }
            return false;
        }
        case Kind::MonthName:
        case Kind::Weekday: {
            const bool month = t.kind == Kind::MonthName;
            for (int i = 0; i < (month ? 12 : 7); ++i) {
                std::size_t lengths[2];
                nameAt(text, at, month ? kMonths[i] : kWeekdays[i], lengths);
                for (const std::size_t n : lengths) {
                    if (n != 0 && next(n, [&](State& s) {
                            if (month) s.month = i + 1;
                        })) {
                        return true;
                    }
                }
            }
            return false;
        }
        case Kind::AmPm: {
            if (text.size() < at + 2 || lower(text[at + 1]) != 'm') return false;
            const char first = lower(text[at]);
            if (first != 'a' && first != 'p') return false;
            return next(2, [&](State& s) { s.pm = first == 'p' ? 1 : 0; });
        }
        case Kind::Zone: {
            std::size_t lengths[3];
            int offsets[3];
            const std::size_t forms = zoneForms(text, at, lengths, offsets);
            for (std::size_t i = 0; i < forms; ++i) {
                if (next(lengths[i], [&](State& s) {
                        s.zoned = true;
                        s.offset = offsets[i];
                    })) {
                    return true;
                }
            }
            return false;
        }
    }
    return false;
}

namespace {

// HH:MM[:SS[(.|,)digits]] at text[at]; the index after it, or 0 when there is none.
std::size_t isoClock(std::string_view text, std::size_t at, Civil& out) {
    const int hour = digitsAt(text, at, 2);
    if (hour < 0 || hour > 23 || text.size() <= at + 2 || text[at + 2] != ':') return 0;
    const int minute = digitsAt(text, at + 3, 2);
    if (minute < 0 || minute > 59) return 0;
    out.hour = hour;
    out.minute = minute;
    at += 5;
    if (at < text.size() && text[at] == ':') {
        const int second = digitsAt(text, at + 1, 2);
        if (second < 0 || second > 59) return 0;
        out.second = second;
        at += 3;
        if (at < text.size() && (text[at] == '.' || text[at] == ',')) {
            const std::size_t start = ++at;
            while (at < text.size() && isDigit(text[at])) ++at;
            if (at == start) return 0;
            out.micro = microsOf(text.substr(start, at - start));
        }
    }
    return at;
}

// What follows the clock: nothing, or one zone that ends the text.
bool isoZone(std::string_view text, std::size_t at, Civil& out) {
    if (at == text.size()) return true;
    if (text[at] == 'z') return false;  // the types take "Z" alone
    std::size_t lengths[3];
    int offsets[3];
    const std::size_t forms = zoneForms(text, at, lengths, offsets);
    for (std::size_t i = 0; i < forms; ++i) {
        if (at + lengths[i] == text.size()) {
            out.zoned = true;
            out.offsetSeconds = offsets[i];
            return true;
        }
    }
    return false;
}

}  // namespace

bool parseIsoDatetime(std::string_view text, Civil& out) {
    Civil c;
    c.year = digitsAt(text, 0, 4);
    c.month = digitsAt(text, 5, 2);
    c.day = digitsAt(text, 8, 2);
    if (c.year < 1 || c.month < 0 || c.day < 0 || text[4] != '-' || text[7] != '-' || text.size() < 11 ||
        (text[10] != 'T' && text[10] != ' ') || !validDate(c.year, c.month, c.day)) {
        return false;
    }
    const std::size_t end = isoClock(text, 11, c);
    if (end == 0 || !isoZone(text, end, c)) return false;
    out = c;
    return true;
}

bool parseIsoTime(std::string_view text, Civil& out) {
    Civil c;
    const std::size_t end = isoClock(text, 0, c);
    if (end == 0 || !isoZone(text, end, c)) return false;
    out = c;
    return true;
}

bool validDate(int year, int month, int day) {
    return year >= 1 && year <= 9999 && month >= 1 && month <= 12 && day >= 1 && day <= daysInMonth(year, month);
}

std::int64_t daysFromCivil(int year, int month, int day) {
    // Howard Hinnant's days_from_civil: March-based years make February the last month.
    const std::int64_t y = static_cast<std::int64_t>(year) - (month <= 2 ? 1 : 0);
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const std::int64_t yoe = y - era * 400;
    const std::int64_t mp = (month + 9) % 12;
    const std::int64_t doy = (153 * mp + 2) / 5 + day - 1;
    const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

std::int64_t epochMicros(const Civil& c) {
    const std::int64_t seconds = daysFromCivil(c.year, c.month, c.day) * 86400 + c.hour * 3600 + c.minute * 60 +
                                 c.second - (c.zoned ? c.offsetSeconds : 0);
    return seconds * 1000000 + c.micro;
}

std::int64_t dayMicros(const Civil& c) {
    constexpr std::int64_t kDay = 86400LL * 1000000;
    std::int64_t micros =
        (static_cast<std::int64_t>(c.hour) * 3600 + c.minute * 60 + c.second - (c.zoned ? c.offsetSeconds : 0)) *
            1000000 +
        c.micro;
    micros %= kDay;
    return micros < 0 ? micros + kDay : micros;
}

}  // namespace convert
}  // namespace velmira
