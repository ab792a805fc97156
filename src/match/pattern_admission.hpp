// Which type patterns PCRE2 may answer for Boost.Regex, and with which first bytes.
//
// A pattern is admitted only if every construct in it is on a whitelist of constructs that
// Boost.Regex (Perl syntax, `normal`, narrow char, classic locale) and PCRE2 (8-bit, no UTF,
// compiled anchored at both ends with DOTALL) read identically for whole-text matching, given
// that texts holding a line-separator byte (LF, CR, FF) are left to Boost: literals, the
// escapes that mean one byte in both, \d \w \s and their negations, . ^ $ \b \A \z \Z, bracket
// classes with plain ranges and the twelve shared POSIX names, groups, non-empty alternatives,
// quantifiers with plain bounds, possessive and atomic forms on one-byte atoms only, lookahead
// and the s/m inline flags. Anything else (back-references, \B, \< \>, \v, \h, \p, octal, \Q,
// (?i), (?x), verbs, recursion, conditionals, lookbehind, unescaped { } ]) is refused with a
// reason: it runs on Boost, never on a guess.
//
// The scanner also computes, for admitted patterns, the set of bytes that a non-empty text
// must start with to match. Zero-width items (assertions, lookaheads, flags) add nothing to
// it and consume nothing, so the set is a superset of the true one under either engine's
// reading, and a first byte outside it decides "no match" without running either engine.
//
// Admission runs when a pattern table is set, never during a pass.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace velmira {

// A set of byte values.
class ByteSet {
public:
    void add(unsigned char b) { bits_[b >> 6] |= std::uint64_t{1} << (b & 63); }
    void addRange(unsigned char lo, unsigned char hi) {
        for (unsigned b = lo; b <= hi; ++b) add(static_cast<unsigned char>(b));
    }
    bool has(unsigned char b) const { return (bits_[b >> 6] >> (b & 63)) & 1; }
    bool full() const {
        return (bits_[0] & bits_[1] & bits_[2] & bits_[3]) == ~std::uint64_t{0};
    }
    ByteSet& operator|=(const ByteSet& other) {
        for (std::size_t i = 0; i < 4; ++i) bits_[i] |= other.bits_[i];
        return *this;
    }
    ByteSet& operator&=(const ByteSet& other) {
        for (std::size_t i = 0; i < 4; ++i) bits_[i] &= other.bits_[i];
        return *this;
    }
    bool subsetOf(const ByteSet& other) const {
        for (std::size_t i = 0; i < 4; ++i) {
            if ((bits_[i] & ~other.bits_[i]) != 0) return false;
        }
        return true;
    }
    bool empty() const { return (bits_[0] | bits_[1] | bits_[2] | bits_[3]) == 0; }
    std::size_t count() const {
        std::size_t n = 0;
        for (std::uint64_t w : bits_) n += static_cast<std::size_t>(__builtin_popcountll(w));
        return n;
    }
    ByteSet complement() const {
        ByteSet out;
        for (std::size_t i = 0; i < 4; ++i) out.bits_[i] = ~bits_[i];
        return out;
    }
    static ByteSet all() { return ByteSet().complement(); }
    bool operator==(const ByteSet& other) const { return bits_ == other.bits_; }

private:
    std::array<std::uint64_t, 4> bits_{};
};

// What every text a pattern matches has in common, as far as the pattern's own constructs
// tell; each fact is a superset of the truth (a byte that may appear, a length that may
// occur), so a text that breaks one cannot match. Lookaheads, which only narrow the
// matches, are left out, which keeps the facts sound.
struct PatternFacts {
    static constexpr std::size_t kUnbounded = static_cast<std::size_t>(-1);

    ByteSet first = ByteSet::all();  // the bytes a non-empty matching text can start with
    ByteSet any = ByteSet::all();    // the bytes a matching text can hold anywhere
    ByteSet must;                    // bytes every matching text holds at least once
    std::size_t minLength = 0;
    std::size_t maxLength = kUnbounded;

    // The facts of a type: a text it matches is matched by one of its patterns.
    PatternFacts& operator|=(const PatternFacts& other);
    // Whether a text of this length, first byte and bytes `present` can match; texts
    // of zero length have no first byte.
    bool admits(std::size_t length, unsigned char firstByte, const ByteSet& present) const;
};

struct Admission {
    bool admitted = false;
    std::string reason;  // when refused: what, and at which byte offset of the pattern
    ByteSet firstBytes;  // when admitted: the bytes a non-empty matching text can start with
    PatternFacts facts;  // when admitted: the pattern's facts; else facts that admit all
};

// Never throws for any input, except std::bad_alloc.
Admission admitPattern(std::string_view pattern);

}  // namespace velmira
