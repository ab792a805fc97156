// Whole-text matching of one type pattern: Boost.Regex's answer, fast.
//
// A Pattern is one compiled type pattern: the Boost regex, which is the reference (its
// compile error is the error users see, and it answers every text it is asked about), plus,
// when the pattern is admitted (pattern_admission.hpp), a PCRE2 program JIT-compiled with the
// options under which it reads the pattern as Boost does: anchored at both ends at compile
// time (the JIT ignores anchoring asked for at match time), DOTALL, newline LF, no UTF or
// UCP, no \C.
//
// Guarantees:
//  - fullMatch(text) answers as boost::regex_match(text, regex) does, whenever Boost gives an
//    answer. PCRE2 is asked only for admitted patterns and only about texts without a byte
//    that Boost reads as a line separator (LF, CR, FF); any PCRE2 outcome other than "match"
//    or "no match" (match limit, JIT stack) is asked of Boost again.
//  - Where Boost would throw its "complexity" or "ran out of stack space" error but PCRE2
//    answers, PCRE2's answer stands: one engine's backtracking budget does not fail a pass.
//    Patterns that run on Boost throw as before.
//  - The shortcuts (first byte, length) use the admission scanner's facts, each never
//    narrower than the truth; patterns the scanner refuses get no shortcut.
//
// Threads: a Pattern is read-only once built and may be matched from many threads at once,
// each with a MatchScratch of its own.
#pragma once

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <boost/regex.hpp>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "pattern_admission.hpp"

namespace velmira {

// Per-thread working memory of the two matchers: Boost's match results, PCRE2's match data
// and a JIT stack of its own (growing to 1 MiB), so that threads share nothing mutable.
class MatchScratch {
public:
    MatchScratch();
    ~MatchScratch();
    MatchScratch(const MatchScratch&) = delete;
    MatchScratch& operator=(const MatchScratch&) = delete;

    boost::cmatch boost;
    // The prefilter's candidate bits for the text being matched, and their places in the
    // trial order: sized once, reused for every text.
    std::vector<std::uint64_t> candidates;
    std::vector<std::uint32_t> places;
    pcre2_match_data* data = nullptr;
    pcre2_match_context* context = nullptr;
    pcre2_jit_stack* stack = nullptr;

private:
    void release();
};

// A PCRE2 program compiled to answer whole-text matches as Boost does on plain texts.
class Pcre2Program {
public:
    Pcre2Program() = default;
    // Compiles and JIT-compiles `pattern`; on failure the program is empty and `whyNot` says why.
    static Pcre2Program compile(std::string_view pattern, std::string& whyNot);

    explicit operator bool() const { return code_ != nullptr; }
    // pcre2_jit_match's own result: >= 0 a match, PCRE2_ERROR_NOMATCH none, else an error.
    int match(std::string_view text, MatchScratch& scratch) const {
        static const char kNothing = '\0';
        const char* subject = text.data() != nullptr ? text.data() : &kNothing;
        return pcre2_jit_match(code_.get(), reinterpret_cast<PCRE2_SPTR>(subject), text.size(), 0, 0,
                               scratch.data, scratch.context);
    }
    // The same match by PCRE2's interpreter, for checking the JIT.
    int matchInterpreted(std::string_view text, MatchScratch& scratch) const;

private:
    // Shared, so that a compiled table can be handed to a pass without compiling again: the
    // code is read-only once built and PCRE2 matches it from many threads at once.
    std::shared_ptr<pcre2_code> code_;
};

// Whether a text may be shown to PCRE2: it holds no LF, CR or FF, the bytes Boost treats as
// line separators (for ^ $ \Z and (?-s).) where PCRE2 knows only LF.
inline bool plainText(std::string_view text) {
    const char* p = text.data();
    std::size_t n = text.size();
    // Eight bytes at a time: any byte below 0x0E flags the word, and only then is it looked at.
    for (; n >= 8; p += 8, n -= 8) {
        std::uint64_t w;
        std::memcpy(&w, p, 8);
        if (((w - 0x0E0E0E0E0E0E0E0EULL) & ~w & 0x8080808080808080ULL) == 0) continue;
        for (int i = 0; i < 8; ++i) {
            if (p[i] == '\n' || p[i] == '\r' || p[i] == '\f') return false;
        }
    }
    for (; n > 0; ++p, --n) {
        if (*p == '\n' || *p == '\r' || *p == '\f') return false;
    }
    return true;
}

class Pattern {
public:
    enum class Engine { Pcre2Jit, Boost };

    // Builds the fast program when the pattern is admitted; never throws but std::bad_alloc.
    explicit Pattern(const boost::regex& regex);

    // Whether the whole of `text` matches; `plain` is plainText(text), computed once per text
    // by the caller. Throws what boost::regex_match throws, only when Boost runs.
    bool fullMatch(std::string_view text, bool plain, MatchScratch& scratch) const {
        if (text.size() < facts_.minLength || text.size() > facts_.maxLength) return false;
        if (!text.empty() && !facts_.first.has(static_cast<unsigned char>(text[0]))) return false;
        if (plain && fast_) {
            const int rc = fast_.match(text, scratch);
            if (rc >= 0) return true;
            if (rc == PCRE2_ERROR_NOMATCH) return false;
        }
        static const char kNothing = '\0';
        const char* begin = text.data() != nullptr ? text.data() : &kNothing;
        // match_any: only whether some match spans the whole text counts, not which one.
        return boost::regex_match(begin, begin + text.size(), scratch.boost, regex_,
                                  boost::match_default | boost::match_any);
    }

    Engine engine() const { return fast_ ? Engine::Pcre2Jit : Engine::Boost; }
    // For a pattern on Boost: why it is not on PCRE2.
    const std::string& whyBoost() const { return whyBoost_; }
    // Whether this was built from `regex` (same source and flags).
    bool builtFrom(const boost::regex& regex) const;
    const Pcre2Program& program() const { return fast_; }
    // What every text this pattern matches has in common (all-admitting when refused).
    const PatternFacts& facts() const { return facts_; }

private:
    boost::regex regex_;  // shares the compiled program with the pattern table's copy
    Pcre2Program fast_;   // empty when the pattern runs on Boost
    PatternFacts facts_;  // from the admission scanner; facts that admit all if refused
    std::string whyBoost_;
};

const char* engineName(Pattern::Engine engine);

}  // namespace velmira
