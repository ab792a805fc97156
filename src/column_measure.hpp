// What the loaders' schemas need beyond a column's type, measured in the pass itself: the
// longest text, and per type the range of its integers, the digits of its numbers, whether
// its datetimes carry zones and fractions, the spellings of its booleans. A schema for SQL,
// JSON Schema or Arrow then needs no second reading of the file.
//
// Every measure is a maximum, a minimum, a union or a count, so measures of shards merge,
// and all but the counts are the same however often a text repeats.
//
// The caller says per type how to read its texts (Reading); a type without one is measured
// by length only. Texts are read as the package's converters read them: blanks around a
// number are dropped, a percent sign ends it, group separators are skipped.
#pragma once

#include <string.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace velmira {

struct Reading {
    enum class Kind : std::uint8_t { Text, Number, Temporal, Boolean };
    Kind kind = Kind::Text;
    char group = '\0';  // thousands separator of a number, if any
    char point = '.';   // its decimal separator
};

struct TypeMeasure {
    std::uint64_t seen = 0;  // distinct texts lately, not every field: repeats are not measured again
    // Numbers: integers (no point, no exponent) by value; every number by its digits.
    bool anyInteger = false;
    bool integerOverflow = false;  // some integer beyond 38 digits: no range is kept
    __int128 minInteger = 0;
    __int128 maxInteger = 0;
    std::uint32_t integerDigits = 0;  // significant digits before the point, at most
    std::uint32_t scale = 0;          // digits after the point, at most
    bool exponent = false;
    // Datetimes and times.
    std::uint64_t zoned = 0;
    std::uint64_t naive = 0;
    std::uint32_t fractionDigits = 0;
    bool fractionComma = false;
    // Booleans: the distinct texts, a few at most (a boolean type has few spellings).
    std::vector<std::string> spellings;
};

struct ColumnMeasure {
    std::uint64_t maxBytes = 0;
    std::uint64_t maxChars = 0;           // UTF-8 characters (bytes that do not continue one)
    std::vector<TypeMeasure> byType;      // by the pass's type id
    const std::vector<Reading>* readings = nullptr;  // by type id; shorter: Text

    void setReadings(const std::vector<Reading>* byId) {
        readings = byId;
        measured_.assign(byId != nullptr ? byId->size() : 0, 0);
        for (std::size_t id = 0; id < measured_.size(); ++id) measured_[id] = (*byId)[id].kind != Reading::Kind::Text ? 1 : 0;
    }

    // `entry` names the text within one `generation` of the value cache (an entry's address
    // stands for its text until the cache moves or drops entries), or is null. A text measured
    // lately in this column adds nothing but its zone counts, which are taken from what it
    // gave; the repeat is one compare.
    __attribute__((always_inline)) void observe(std::size_t type, std::string_view text, const void* entry,
                                                std::uint64_t hash, std::uint64_t generation) {
        // A type read as text is measured by its length alone, which is cheaper to compare
        // than to look up.
        if (type >= measured_.size() || !measured_[type]) {
            if (text.size() > maxChars) measureLength(text);
            return;
        }
        if (entry == nullptr) {
            observeNew(type, text, nullptr);
            return;
        }
        if (generation != generation_ || lately_.empty()) forgetLately(generation);
        Lately& lately = lately_[hash & (kLately - 1)];
        if (lately.entry != entry) {
            lately.entry = entry;
            lately.temporal = false;
            observeNew(type, text, &lately);
            return;
        }
        if (lately.temporal) {
            TypeMeasure& m = byType[lately.type];
            ++(lately.zoned ? m.zoned : m.naive);
        }
    }

    static constexpr std::size_t kMaxSpellings = 64;

private:
    struct Lately {
        const void* entry = nullptr;
        std::uint32_t type = 0;
        bool temporal = false;  // a datetime or time, whose zone is counted at each repeat
        bool zoned = false;
    };

    void forgetLately(std::uint64_t generation) {
        lately_.assign(kLately, Lately());
        generation_ = generation;
    }

    __attribute__((noinline)) void measureLength(std::string_view text) {
        maxBytes = std::max<std::uint64_t>(maxBytes, text.size());
        std::uint64_t chars = 0;
        for (const char c : text) chars += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
        maxChars = std::max(maxChars, chars);
    }

    __attribute__((noinline)) void observeNew(std::size_t type, std::string_view text, Lately* lately) {
        if (text.size() > maxChars) measureLength(text);
        if (readings == nullptr || type >= readings->size()) return;
        const Reading& reading = (*readings)[type];
        if (reading.kind == Reading::Kind::Text) return;
        if (byType.size() <= type) byType.resize(type + 1);
        TypeMeasure& m = byType[type];
        ++m.seen;
        switch (reading.kind) {
            case Reading::Kind::Number: number(m, reading, text); break;
            case Reading::Kind::Temporal: {
                const bool zoned = temporal(m, text);
                if (lately != nullptr) {
                    lately->type = static_cast<std::uint32_t>(type);
                    lately->temporal = true;
                    lately->zoned = zoned;
                }
                break;
            }
            case Reading::Kind::Boolean:
                if (m.spellings.size() < kMaxSpellings &&
                    std::find(m.spellings.begin(), m.spellings.end(), text) == m.spellings.end()) {
                    m.spellings.emplace_back(text);
                }
                break;
            case Reading::Kind::Text: break;
        }
    }
    static constexpr std::size_t kLately = 128;
    std::vector<Lately> lately_;
    std::vector<std::uint8_t> measured_;  // by type id: whether its reading is more than its length
    std::uint64_t generation_ = 0;

    static void number(TypeMeasure& m, const Reading& reading, std::string_view text) {
        std::size_t i = 0, end = text.size();
        while (i < end && (text[i] == ' ' || text[i] == '\t')) ++i;
        while (end > i && (text[end - 1] == ' ' || text[end - 1] == '\t')) --end;
        if (end > i && text[end - 1] == '%') --end;
        bool negative = false;
        if (i < end && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
        std::uint32_t before = 0, after = 0;
        bool significant = false, inFraction = false, overflow = false, anyDigit = false;
        __int128 value = 0;
        constexpr __int128 kLimit = static_cast<__int128>(1) << 120;
        for (; i < end; ++i) {
            const char c = text[i];
            if (c >= '0' && c <= '9') {
                anyDigit = true;
                if (inFraction) {
                    ++after;
                    continue;
                }
                significant = significant || c != '0';
                if (significant) ++before;
                if (value >= kLimit / 10) {
                    overflow = true;
                } else {
                    value = value * 10 + (c - '0');
                }
            } else if (c == reading.point && reading.point != '\0' && !inFraction) {
                inFraction = true;
            } else if (c == 'e' || c == 'E') {
                m.exponent = true;
                return;
            } else if (c != reading.group) {
                return;  // not a number this measure reads; its pattern decides, not this
            }
        }
        // Counted as a decimal's digits are: a zero with no fraction has one digit.
        if (anyDigit && before == 0 && after == 0) before = 1;
        m.integerDigits = std::max(m.integerDigits, before);
        m.scale = std::max(m.scale, after);
        if (inFraction) return;
        if (overflow) {
            m.integerOverflow = true;
            return;
        }
        if (negative) value = -value;
        if (!m.anyInteger) {
            m.minInteger = m.maxInteger = value;
            m.anyInteger = true;
        } else {
            m.minInteger = std::min(m.minInteger, value);
            m.maxInteger = std::max(m.maxInteger, value);
        }
    }

    // A zone ends the text: Z, or a sign and hh, hhmm or hh:mm after a time. A fraction of a
    // second is the digits after a point or comma that follows "hh:mm:ss"'s seconds.
    static bool temporal(TypeMeasure& m, std::string_view text) {
        const std::size_t n = text.size();
        auto signAt = [&](std::size_t back) { return n > back && (text[n - back] == '+' || text[n - back] == '-'); };
        const bool zoned = n > 0 && (text[n - 1] == 'Z' || signAt(3) || signAt(5) || signAt(6)) &&
                           std::memchr(text.data(), ':', n) != nullptr;
        ++(zoned ? m.zoned : m.naive);
        for (const char sep : {'.', ','}) {
            const void* found = n > 0 ? ::memrchr(text.data(), sep, n) : nullptr;
            if (found == nullptr) continue;
            const auto at = static_cast<std::size_t>(static_cast<const char*>(found) - text.data());
            if (at < 3 || text[at - 3] != ':') continue;
            std::size_t end = at + 1;
            while (end < n && text[end] >= '0' && text[end] <= '9') ++end;
            if (end == at + 1) continue;
            m.fractionDigits = std::max<std::uint32_t>(m.fractionDigits, static_cast<std::uint32_t>(end - at - 1));
            m.fractionComma = m.fractionComma || sep == ',';
            break;
        }
        return zoned;
    }
};

}  // namespace velmira
