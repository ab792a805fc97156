// Prefilter: which types of a table could match a text, before any pattern runs.
//
// A text no type takes (free text, codes) used to be tried against every type in turn, so
// each type added to a table slowed every new text, matched or not. The prefilter answers
// for all types at once from facts that the admission scanner derives from each pattern
// (pattern_admission.hpp): the bytes a match may hold, the bytes it must hold, its first
// byte and its length range. Per text it costs one table lookup and one AND per byte, for
// up to 64 types a word, whatever the patterns.
//
// Guarantee: a type whose bit is clear matches no pattern of its own on that text under
// Boost.Regex (and so under PCRE2 where that answers for Boost). The facts of a type are
// the union of its patterns' facts; patterns the scanner refuses admit every text, and a
// type without patterns is never a candidate, as it never matches. Trying only the
// candidates, in any order the caller keeps, therefore finds exactly what trying every
// type in that order finds.
//
// Read-only once built; many threads may ask at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "matcher.hpp"

namespace velmira {

class Prefilter {
public:
    Prefilter() = default;
    // Type i of the table has the patterns types[i]; its candidate bit is bit i.
    explicit Prefilter(const std::vector<const std::vector<Pattern>*>& types);

    std::size_t types() const { return types_; }
    // Words of 64 candidate bits that candidates() writes.
    std::size_t words() const { return words_; }
    // Writes into out[0, words()) the bits of the types that could match `text`.
    void candidates(std::string_view text, std::uint64_t* out) const;

private:
    // Texts up to this length take their length's candidates from a table; longer ones
    // are checked against each type that allows them, which only long texts pay for.
    static constexpr std::size_t kTabledLengths = 64;
    struct LongType {
        std::size_t type;
        std::size_t minLength;
        std::size_t maxLength;
    };

    void longCandidates(std::size_t length, std::uint64_t* out) const;
    // The walk over a text's bytes for tables of W words: narrows out[] and gathers the
    // text's presence summary; returns whether any candidate is left.
    template <std::size_t W>
    std::uint64_t walk(const unsigned char* bytes, std::size_t length, std::uint64_t* out,
                       std::uint64_t& present) const;

    std::size_t types_ = 0;
    std::size_t words_ = 0;
    std::vector<std::uint64_t> anywhere_;  // [byte][word]: types whose matches may hold the byte
    std::vector<std::uint64_t> first_;     // [byte][word]: types whose matches may start with it
    std::vector<std::uint64_t> length_;    // [length][word], lengths 0..kTabledLengths
    std::vector<LongType> long_;           // types that allow some length beyond the table
    // The bytes a type's every match holds, as a 64-bit summary (presenceBit): a text whose
    // summary lacks one of them lacks the byte. Bytes share bits, so the test is weaker than
    // the facts but never wrong, and the summary is gathered in registers with the walk.
    std::vector<std::uint64_t> needs_;      // [type]
    std::vector<std::uint64_t> needsSome_;  // [word]: the types that need some byte
};

}  // namespace velmira
