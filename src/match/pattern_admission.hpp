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

struct Admission {
    bool admitted = false;
    std::string reason;  // when refused: what, and at which byte offset of the pattern
    ByteSet firstBytes;  // when admitted: the bytes a non-empty matching text can start with
};

// Never throws for any input, except std::bad_alloc.
Admission admitPattern(std::string_view pattern);

}  // namespace velmira
