// Fuzz target for the typed reader's converters (src/convert/): whatever the bytes and the
// format, nothing crashes or hangs, and where a plain reference reads a text, the converter
// reads it to the same value.
//
// Input layout: byte 0 chooses the converter; for dates, byte 1 modulo 32 is the format's
// length F, the next F bytes are the format and the rest is the text; for numbers, byte 1 is
// the thousands separator (0: none) and byte 2 the decimal point, the rest the text.
// Checks:
//  - integers: accepted exactly when the reference (a digit loop in 128 bits) accepts, with
//    the same value;
//  - decimals: where the reference (the grammar checked by hand, then strtod in the "C"
//    locale) reads the text, the same double, bit for bit; as exact decimals in their own
//    scale, the text's digits;
//  - dates: any parse gives a date that exists and a time within its ranges; where a strict
//    fixed-width reference reads the text (%Y %m %d %H %M %S and literals), the same parts;
//  - ISO datetimes and times: any parse is within range;
//  - UTF-8: validUtf8 agrees with a plain decoder; replacing gives valid UTF-8, equal to the
//    input where it was valid; Latin-1 and cp1252 give valid UTF-8.
#include <cerrno>
#include <clocale>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "common.hpp"
#include "convert/datetime.hpp"
#include "convert/numbers.hpp"

namespace {

using fuzz::check;
using fuzz::show;
namespace cv = velmira::convert;

bool digit(char c) { return c >= '0' && c <= '9'; }

// [+-]d(d|gd)* in 128 bits: the grammar of parseInt64, written out plainly.
bool referenceInt(std::string_view text, char group, std::int64_t& out) {
    std::size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    if (i == text.size() || !digit(text[i])) return false;
    __int128 value = 0;
    for (; i < text.size(); ++i) {
        if (group != 0 && text[i] == group && i + 1 < text.size() && digit(text[i + 1])) continue;
        if (!digit(text[i])) return false;
        value = value * 10 + (text[i] - '0');
        if (value > (static_cast<__int128>(1) << 64)) return false;
    }
    if (negative) value = -value;
    if (value < INT64_MIN || value > INT64_MAX) return false;
    out = static_cast<std::int64_t>(value);
    return true;
}

// The decimal grammar checked by hand, the text rewritten for strtod.
bool referenceDouble(std::string_view text, char group, char point, double& out) {
    std::string plain;
    std::size_t i = 0, digits = 0;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) plain += text[i++];
    for (; i < text.size(); ++i) {
        if (group != 0 && text[i] == group && digits > 0 && i + 1 < text.size() && digit(text[i + 1])) continue;
        if (!digit(text[i])) break;
        plain += text[i];
        ++digits;
    }
    if (i < text.size() && text[i] == point) {
        plain += '.';
        for (++i; i < text.size() && digit(text[i]); ++i, ++digits) plain += text[i];
    }
    if (digits == 0) return false;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        plain += 'e';
        ++i;
        if (i < text.size() && (text[i] == '+' || text[i] == '-')) plain += text[i++];
        if (i == text.size() || !digit(text[i])) return false;
        for (; i < text.size() && digit(text[i]); ++i) plain += text[i];
    }
    if (i != text.size()) return false;
    char* end = nullptr;
    out = std::strtod(plain.c_str(), &end);
    return end == plain.c_str() + plain.size();
}

// Only fixed-width directives and literals, matched exactly.
bool referenceDate(std::string_view format, std::string_view text, cv::Civil& out) {
    cv::Civil c;
    std::size_t at = 0;
    for (std::size_t i = 0; i < format.size(); ++i) {
        if (format[i] != '%') {
            if (format[i] == ' ' || format[i] == '\t' || at >= text.size() || text[at] != format[i] ||
                (format[i] >= 'A' && format[i] <= 'z')) {
                return false;  // blanks and letters match loosely in the parser: not for this reference
            }
            ++at;
            continue;
        }
        if (++i == format.size()) return false;
        // Each number within its directive's range, as strptime checks it where it reads it.
        int width, low, high, *field;
        switch (format[i]) {
            case 'Y': width = 4; low = 1; high = 9999; field = &c.year; break;
            case 'm': width = 2; low = 1; high = 12; field = &c.month; break;
            case 'd': width = 2; low = 1; high = 31; field = &c.day; break;
            case 'H': width = 2; low = 0; high = 23; field = &c.hour; break;
            case 'M': width = 2; low = 0; high = 59; field = &c.minute; break;
            case 'S': width = 2; low = 0; high = 59; field = &c.second; break;
            default: return false;
        }
        int value = 0;
        for (int k = 0; k < width; ++k, ++at) {
            if (at >= text.size() || !digit(text[at])) return false;
            value = value * 10 + (text[at] - '0');
        }
        if (value < low || value > high) return false;
        *field = value;
    }
    if (at != text.size() || !cv::validDate(c.year, c.month, c.day) || c.hour > 23 || c.minute > 59 ||
        c.second > 59) {
        return false;
    }
    out = c;
    return true;
}

// A plain decoder: lead byte, continuation bytes, then the code point's range.
bool referenceUtf8(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        const auto b = static_cast<unsigned char>(text[i]);
        std::size_t n;
        std::uint32_t cp;
        if (b < 0x80) { n = 1; cp = b; }
        else if ((b & 0xE0) == 0xC0) { n = 2; cp = b & 0x1Fu; }
        else if ((b & 0xF0) == 0xE0) { n = 3; cp = b & 0x0Fu; }
        else if ((b & 0xF8) == 0xF0) { n = 4; cp = b & 0x07u; }
        else return false;
        if (i + n > text.size()) return false;
        for (std::size_t k = 1; k < n; ++k) {
            const auto c = static_cast<unsigned char>(text[i + k]);
            if ((c & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (c & 0x3Fu);
        }
        static const std::uint32_t kLeast[5] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < kLeast[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += n;
    }
    return true;
}

void checkCivil(const cv::Civil& c, const std::string& where) {
    check(cv::validDate(c.year, c.month, c.day), "a date that does not exist: " + where);
    check(c.hour >= 0 && c.hour <= 23 && c.minute >= 0 && c.minute <= 59 && c.second >= 0 && c.second <= 59 &&
              c.micro >= 0 && c.micro <= 999999,
          "a time out of range: " + where);
    check(!c.zoned || (c.offsetSeconds > -86400 && c.offsetSeconds < 86400), "an offset of a day or more: " + where);
    const std::int64_t micros = cv::dayMicros(c);
    check(micros >= 0 && micros < 86400LL * 1000000, "a time of day out of the day: " + where);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) return 0;
    std::setlocale(LC_NUMERIC, "C");
    const auto* bytes = reinterpret_cast<const char*>(data);
    switch (data[0] % 4) {
        case 0: {  // numbers
            const char group = static_cast<char>(data[1]);
            const char point = data[2] == 0 ? '.' : static_cast<char>(data[2]);
            // Separators are punctuation: a digit, sign or exponent letter as one means nothing.
            const std::string_view taken("0123456789+-eE");
            if ((group == point && group != 0) || taken.find(point) != std::string_view::npos ||
                (group != 0 && taken.find(group) != std::string_view::npos)) {
                return 0;
            }
            const std::string_view text(bytes + 3, size - 3);
            const std::string where = show({{std::string(text)}});
            std::int64_t got = 0, expected = 0;
            const bool ok = cv::parseInt64(text, group, got);
            check(ok == referenceInt(text, group, expected), "integers accepted differently: " + where);
            check(!ok || got == expected, "integers differ: " + where);
            double value = 0, reference = 0;
            const cv::NumberFormat format{group, point, false};
            const bool read = cv::parseDouble(text, format, value);
            if (referenceDouble(text, group, point, reference)) {
                check(read, "a decimal the reference reads is refused: " + where);
                check(std::memcmp(&value, &reference, sizeof value) == 0,
                      "decimals differ: " + where + " " + std::to_string(value) + " vs " + std::to_string(reference));
            } else {
                check(!read, "a decimal the grammar refuses is read: " + where);
            }
            // Exact decimals: the digits themselves, in the text's own scale.
            cv::DecimalShape shape;
            const bool measured = cv::measureDecimal(text, format, shape);
            check(measured == read, "measured and read differ on: " + where);
            if (measured && !shape.exponent && shape.whole + shape.scale <= 38) {
                __int128 exact = 0, expectedExact = 0;
                check(cv::parseDecimal(text, format, shape.whole + shape.scale, shape.scale, exact), "an exact decimal is refused: " + where);
                bool negative = false;
                for (const char c : text) {
                    if (c == '-') negative = true;
                    if (digit(c)) expectedExact = expectedExact * 10 + (c - '0');
                }
                check(exact == (negative ? -expectedExact : expectedExact), "exact decimals differ: " + where);
            }
            break;
        }
        case 1: {  // dates by format
            const std::size_t length = std::min<std::size_t>(data[1] % 32, size - 2);
            const std::string_view format(bytes + 2, length);
            const std::string_view text(bytes + 2 + length, size - 2 - length);
            const std::string where = "format " + show({{std::string(format)}}) + " text " + show({{std::string(text)}});
            cv::DateFormat parser;
            std::string why;
            if (!cv::DateFormat::compile(format, parser, why)) return 0;
            cv::Civil got, expected;
            const bool ok = parser.parse(text, got);
            if (ok) checkCivil(got, where);
            if (referenceDate(format, text, expected)) {
                check(ok, "a text the strict reference reads is refused: " + where);
                check(got.year == expected.year && got.month == expected.month && got.day == expected.day &&
                          got.hour == expected.hour && got.minute == expected.minute && got.second == expected.second,
                      "parts differ from the strict reference: " + where);
            }
            break;
        }
        case 2: {  // ISO datetimes and times
            const std::string_view text(bytes + 1, size - 1);
            cv::Civil c;
            if (cv::parseIsoDatetime(text, c)) checkCivil(c, "ISO datetime " + show({{std::string(text)}}));
            if (cv::parseIsoTime(text, c)) checkCivil(c, "ISO time " + show({{std::string(text)}}));
            break;
        }
        default: {  // text encodings
            const std::string_view text(bytes + 1, size - 1);
            const std::string where = show({{std::string(text)}});
            const bool valid = cv::validUtf8(text);
            check(valid == referenceUtf8(text), "UTF-8 judged differently: " + where);
            std::string replaced;
            cv::appendUtf8Replacing(text, replaced);
            check(referenceUtf8(replaced), "replacing left invalid UTF-8: " + where);
            check(!valid || replaced == text, "valid UTF-8 was changed: " + where);
            for (const bool cp1252 : {false, true}) {
                std::string decoded;
                cv::appendSingleByte(text, cp1252, decoded);
                check(referenceUtf8(decoded), "a single-byte text decoded to invalid UTF-8: " + where);
            }
        }
    }
    return 0;
}
