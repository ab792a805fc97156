#include "convert/numbers.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <system_error>

namespace velmira {
namespace convert {

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

bool parseInt64(std::string_view text, char group, std::int64_t& out) {
    std::size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    if (i == text.size() || !isDigit(text[i])) return false;
    // Accumulated as the magnitude, so that INT64_MIN, whose magnitude int64 cannot hold,
    // still reads.
    constexpr std::uint64_t kLimit = std::uint64_t{1} << 63;
    std::uint64_t magnitude = 0;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (group != 0 && c == group) {
            // A separator stands between two digits, never first, last or doubled.
            if (i + 1 == text.size() || !isDigit(text[i + 1])) return false;
            continue;
        }
        if (!isDigit(c)) return false;
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (magnitude > (kLimit - digit) / 10) return false;
        magnitude = magnitude * 10 + digit;
    }
    if (!negative && magnitude == kLimit) return false;
    out = negative ? static_cast<std::int64_t>(0 - magnitude) : static_cast<std::int64_t>(magnitude);
    return true;
}

bool parseDouble(std::string_view text, const NumberFormat& format, double& out) {
    if (format.percent) {
        if (text.empty() || text.back() != '%') return false;
        text.remove_suffix(1);
    }
    // The text rewritten as from_chars reads it: no '+', no separators, '.' as the point.
    // Rewriting only drops or replaces bytes, so it fits in the text's length: on the stack
    // for any real number, in a buffer kept per thread for longer texts.
    char stack[64];
    thread_local std::string heap;
    char* buffer = stack;
    if (text.size() > sizeof stack) {
        heap.resize(text.size());
        buffer = &heap[0];
    }
    std::size_t n = 0;
    std::size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        if (negative) buffer[n++] = '-';
        ++i;
    }
    std::size_t digits = 0;
    // Where the first non-zero digit stands (its power of ten), for values beyond the range.
    long long wholeDigits = 0;
    long long firstNonZero = -1;  // index among the whole part's digits, or -1
    long long lead = 0;
    bool seenNonZero = false;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (format.group != 0 && c == format.group) {
            if (digits == 0 || i + 1 == text.size() || !isDigit(text[i + 1])) return false;
            continue;
        }
        if (!isDigit(c)) break;
        buffer[n++] = c;
        if (c != '0' && firstNonZero < 0) firstNonZero = wholeDigits;
        ++wholeDigits;
        ++digits;
    }
    if (firstNonZero >= 0) {
        seenNonZero = true;
        lead = wholeDigits - firstNonZero - 1;
    }
    if (i < text.size() && text[i] == format.point) {
        buffer[n++] = '.';
        ++i;
        long long position = 0;
        for (; i < text.size() && isDigit(text[i]); ++i) {
            --position;
            if (text[i] != '0' && !seenNonZero) {
                seenNonZero = true;
                lead = position;
            }
            buffer[n++] = text[i];
            ++digits;
        }
    }
    if (digits == 0) return false;
    long long exponent = 0;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        buffer[n++] = 'e';
        ++i;
        bool negativeExponent = false;
        if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
            negativeExponent = text[i] == '-';
            buffer[n++] = text[i];
            ++i;
        }
        if (i == text.size() || !isDigit(text[i])) return false;
        for (; i < text.size() && isDigit(text[i]); ++i) {
            buffer[n++] = text[i];
            if (exponent < 1000000000) exponent = exponent * 10 + (text[i] - '0');
        }
        if (negativeExponent) exponent = -exponent;
    }
    if (i != text.size()) return false;
    double value = 0;
    const auto [end, error] = std::from_chars(buffer, buffer + n, value, std::chars_format::general);
    if (end != buffer + n) return false;
    if (error == std::errc::result_out_of_range) {
        // Beyond the range one way or the other: the magnitude says which.
        const bool huge = seenNonZero && lead + exponent > 0;
        value = huge ? std::numeric_limits<double>::infinity() : 0.0;
        if (negative) value = -value;
    } else if (error != std::errc()) {
        return false;
    }
    out = value;
    return true;
}

bool measureDecimal(std::string_view text, const NumberFormat& format, DecimalShape& out) {
    double ignored;
    if (!parseDouble(text, format, ignored)) return false;
    if (format.percent) text.remove_suffix(1);
    DecimalShape shape;
    std::size_t i = 0;
    if (text[i] == '+' || text[i] == '-') ++i;
    bool significant = false;
    for (; i < text.size() && (isDigit(text[i]) || (format.group != 0 && text[i] == format.group)); ++i) {
        if (!isDigit(text[i])) continue;
        significant = significant || text[i] != '0';
        if (significant) ++shape.whole;
    }
    if (i < text.size() && text[i] == format.point) {
        for (++i; i < text.size() && isDigit(text[i]); ++i) ++shape.scale;
    }
    shape.exponent = i < text.size();  // what parseDouble took beyond the digits: an exponent
    out = shape;
    return true;
}

bool parseDecimal(std::string_view text, const NumberFormat& format, int precision, int scale, __int128& out) {
    DecimalShape shape;
    if (!measureDecimal(text, format, shape) || shape.exponent || shape.scale > scale ||
        shape.whole + scale > std::min(precision, 38)) {
        return false;
    }
    if (format.percent) text.remove_suffix(1);
    __int128 value = 0;
    int fraction = 0;
    bool negative = false, afterPoint = false;
    for (const char c : text) {
        if (c == '-') negative = true;
        if (c == format.point) afterPoint = true;
        if (!isDigit(c)) continue;
        value = value * 10 + (c - '0');
        if (afterPoint) ++fraction;
    }
    for (; fraction < scale; ++fraction) value *= 10;
    out = negative ? -value : value;
    return true;
}

BoolWords::BoolWords(std::vector<std::string> trueWords, std::vector<std::string> falseWords)
    : true_(std::move(trueWords)), false_(std::move(falseWords)) {
    for (auto* words : {&true_, &false_}) {
        for (std::string& word : *words) {
            for (char& c : word) c = lower(c);
        }
    }
}

bool BoolWords::parse(std::string_view text, bool& out) const {
    auto same = [&](const std::string& word) {
        if (word.size() != text.size()) return false;
        for (std::size_t i = 0; i < word.size(); ++i) {
            if (lower(text[i]) != word[i]) return false;
        }
        return true;
    };
    for (const std::string& word : true_) {
        if (same(word)) {
            out = true;
            return true;
        }
    }
    for (const std::string& word : false_) {
        if (same(word)) {
            out = false;
            return true;
        }
    }
    return false;
}

namespace {

// The length of the valid UTF-8 sequence at text[i], or 0 if there is none.
std::size_t sequenceAt(std::string_view text, std::size_t i) {
    const auto b0 = static_cast<unsigned char>(text[i]);
    if (b0 < 0x80) return 1;
    std::size_t length;
    unsigned char low = 0x80, high = 0xBF;  // the second byte's range
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        length = 2;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        length = 3;
        if (b0 == 0xE0) low = 0xA0;   // no overlongs
        if (b0 == 0xED) high = 0x9F;  // no surrogates
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        length = 4;
        if (b0 == 0xF0) low = 0x90;
        if (b0 == 0xF4) high = 0x8F;  // nothing above U+10FFFF
    } else {
        return 0;
    }
    if (text.size() - i < length) return 0;
    const auto b1 = static_cast<unsigned char>(text[i + 1]);
    if (b1 < low || b1 > high) return 0;
    for (std::size_t k = 2; k < length; ++k) {
        const auto b = static_cast<unsigned char>(text[i + k]);
        if (b < 0x80 || b > 0xBF) return 0;
    }
    return length;
}

void appendCodePoint(std::uint32_t cp, std::string& out) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

}  // namespace

bool validUtf8(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        // Eight ASCII bytes at a time: the common case.
        if (text.size() - i >= 8) {
            std::uint64_t word;
            std::memcpy(&word, text.data() + i, 8);
            if ((word & 0x8080808080808080ULL) == 0) {
                i += 8;
                continue;
            }
        }
        const std::size_t length = sequenceAt(text, i);
        if (length == 0) return false;
        i += length;
    }
    return true;
}

void appendUtf8Replacing(std::string_view text, std::string& out) {
    std::size_t i = 0;
    while (i < text.size()) {
        const std::size_t length = sequenceAt(text, i);
        if (length == 0) {
            out += "\xEF\xBF\xBD";
            ++i;
        } else {
            out.append(text.data() + i, length);
            i += length;
        }
    }
}

void appendSingleByte(std::string_view text, bool cp1252, std::string& out) {
    // Windows-1252's bytes 0x80 to 0x9F; 0xFFFD where it assigns none.
    static const std::uint16_t kHigh[32] = {
        0x20AC, 0xFFFD, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
        0x2039, 0x0152, 0xFFFD, 0x017D, 0xFFFD, 0xFFFD, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
        0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0xFFFD, 0x017E, 0x0178};
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (cp1252 && byte >= 0x80 && byte <= 0x9F) {
            appendCodePoint(kHigh[byte - 0x80], out);
        } else {
            appendCodePoint(byte, out);
        }
    }
}

}  // namespace convert
}  // namespace velmira
