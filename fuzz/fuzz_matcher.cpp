// Fuzz target for the fast matcher (src/matcher.cpp, src/pattern_admission.cpp): whatever the
// pattern and the text, Pattern::fullMatch answers as boost::regex_match does.
//
// Input layout: byte 0, modulo 64, is the pattern's length L; the next L bytes are the
// pattern and the rest, up to 64 bytes, is the text. Every prefix of the text is checked too.
// Checks, for every pattern Boost compiles:
//  - where Boost answers, fullMatch gives the same answer and does not throw;
//  - where Boost gives up (complexity, stack), a pattern on Boost throws too, and a pattern
//    on PCRE2 answers as PCRE2's interpreter does;
//  - on admitted patterns and texts PCRE2 may see, the JIT answers as the interpreter does;
//  - a prefilter over a table holding the pattern never leaves out its types for a text the
//    pattern matches.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common.hpp"
#include "match/matcher.hpp"
#include "match/prefilter.hpp"

namespace {

using fuzz::check;
using fuzz::show;

void compare(const boost::regex& re, const velmira::Pattern& pattern, const std::string& source,
             const std::string& text, velmira::MatchScratch& scratch) {
    const bool fast = pattern.engine() == velmira::Pattern::Engine::Pcre2Jit;
    const bool plain = velmira::plainText(text);
    const std::string where = "/" + show({{source}}) + "/ text " + show({{text}});
    bool expected = false;
    bool boostAnswered = true;
    try {
        expected = boost::regex_match(text, re);
    } catch (const std::runtime_error&) {
        boostAnswered = false;
    }
    if (fast && plain) {
        const int jit = pattern.program().match(text, scratch);
        const int interpreted = pattern.program().matchInterpreted(text, scratch);
        // Limits are counted differently by the two; only definite answers are compared.
        if ((jit >= 0 || jit == PCRE2_ERROR_NOMATCH) && (interpreted >= 0 || interpreted == PCRE2_ERROR_NOMATCH)) {
            check((jit >= 0) == (interpreted >= 0), "JIT and interpreter differ: " + where);
        }
    }
    if (boostAnswered && expected) {
        // Type 0 is the pattern alone, type 1 the pattern beside another, type 2 the other.
        static const std::vector<velmira::Pattern> kOther{velmira::Pattern(boost::regex("[a-c]+"))};
        const std::vector<velmira::Pattern> alone{pattern};
        std::vector<velmira::Pattern> beside{kOther.front(), pattern};
        const velmira::Prefilter prefilter({&alone, &beside, &kOther});
        std::uint64_t bits = 0;
        prefilter.candidates(text, &bits);
        check((bits & 3) == 3, "the prefilter left out a type the text matches: " + where);
    }
    bool got = false;
    try {
        got = pattern.fullMatch(text, plain, scratch);
    } catch (const std::runtime_error& e) {
        check(!boostAnswered, "fullMatch threw where Boost answered: " + where + ": " + e.what());
        return;
    }
    if (boostAnswered) {
        check(got == expected, "fullMatch says " + std::to_string(got) + ", Boost " + std::to_string(expected) + ": " +
                                   where + " on " + velmira::engineName(pattern.engine()));
    } else {
        check(fast && plain, "fullMatch answered where Boost, which it ran, gave up: " + where);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const std::size_t length = data[0] % 64;
    if (size < 1 + length) return 0;
    const std::string source(reinterpret_cast<const char*>(data) + 1, length);
    const std::size_t textLength = std::min<std::size_t>(size - 1 - length, 64);
    const std::string text(reinterpret_cast<const char*>(data) + 1 + length, textLength);
    boost::regex re;
    try {
        re.assign(source, boost::regex_constants::normal);
    } catch (const std::exception&) {
        return 0;
    }
    static velmira::MatchScratch scratch;
    const velmira::Pattern pattern(re);
    for (std::size_t n = 0; n <= text.size(); ++n) compare(re, pattern, source, text.substr(0, n), scratch);
    return 0;
}
