// The fast matcher against plain boost::regex_match: which engine each pattern gets, and the
// same answer for every generated pattern and text. Patterns come from a grammar of the
// admitted constructs, nested and quantified, mixed with constructs that must be refused;
// texts are every short string over an alphabet of edge bytes, plus longer random ones.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "generated_patterns.hpp"
#include "match/matcher.hpp"

namespace {

using velmira::Pattern;
using velmira_test::PatternGenerator;
using velmira_test::scaled;
using velmira_test::show;
using velmira_test::textsOver;


Pattern::Engine engineOf(const std::string& source) {
    return Pattern(boost::regex(source, boost::regex_constants::normal)).engine();
}

struct Routing {
    const char* pattern;
    bool pcre2;
    const char* why;
};

class Routes : public testing::TestWithParam<Routing> {};

TEST_P(Routes, ToTheExpectedEngine) {
    const Routing& r = GetParam();
    EXPECT_EQ(engineOf(r.pattern) == Pattern::Engine::Pcre2Jit, r.pcre2) << "/" << r.pattern << "/: " << r.why;
}

// The constructs where the two engines are known to differ go to Boost; the everyday ones,
// the default type library's among them, to PCRE2.
INSTANTIATE_TEST_SUITE_P(
    Table, Routes,
    testing::Values(
        Routing{"[+-]?(?:0|[1-9][0-9]*)", true, "default integer"},
        Routing{"[+-]?(?:0|[1-9][0-9]*)?\\.[0-9]+(?:[eE][+-]?[0-9]+)?", true, "default decimal"},
        Routing{"[A-Za-z0-9!#$%&'*+/=?^_`{|}~-]+(?:\\.[A-Za-z0-9!#$%&'*+/=?^_`{|}~-]+){0,63}@"
                "(?:[A-Za-z0-9](?:[A-Za-z0-9-]*[A-Za-z0-9])?\\.){1,126}[A-Za-z]{2,}",
                true, "default e-mail: braces and specials inside a class are plain bytes"},
        Routing{"(?:https?|ftp)://(?:[a-z]+|\\[[0-9A-Fa-f:.]+\\])(?::[0-9]{1,5})?(?:[/?#]\\S*)?", true, "url"},
        Routing{"\\d+\\.\\d*|\\.\\d+", true, "escape classes"},
        Routing{"[[:alpha:]][[:^digit:]]*", true, "shared POSIX names"},
        Routing{"(?s).+(?-s:x)", true, "s flag, scoped and not"},
        Routing{"\\bfoo\\b|\\Abar\\z|baz\\Z|^q$", true, "shared assertions"},
        Routing{"a++b|(?>c*)d|e?+", true, "possessive and atomic on one byte"},
        Routing{"(?=[a-z])\\w+(?!x)", true, "lookahead"},
        Routing{"\\x41\\t\\e\\cA[\\b]", true, "one-byte escapes"},
        Routing{"[]a][^]b][-c][d-]", true, "] first, - first or last"},
        // Compile-time anchoring is the matcher's business, not the scanner's.
        Routing{"a", true, "plain literal"},
        // Separators: the text gate handles them, the constructs themselves are shared.
        Routing{"a$\\n", true, "$ and \\n: texts with LF go to Boost"},
        // Escapes that both accept with different meanings.
        Routing{"\\<a", false, "Boost word start, PCRE2 literal <"},
        Routing{"a\\>", false, "Boost word end, PCRE2 literal >"},
        Routing{"\\`a", false, "Boost buffer start"},
        Routing{"a\\'", false, "Boost buffer end"},
        Routing{"\\B-", false, "Boost 1.74's \\B fails at the text's edges"},
        Routing{"a\\E", false, "isolated \\E: literal E in Boost, ignored by PCRE2"},
        Routing{"[\\Q]\\E]", false, "\\Q inside a class"},
        Routing{"\\o{101}", false, "Boost: o repeated; PCRE2: octal"},
        Routing{"\\0101", false, "octal digits counted differently"},
        Routing{"(a)\\12", false, "back-reference or octal"},
        Routing{"(a)\\1", false, "back-references"},
        Routing{"\\c?", false, "\\c with a non-letter"},
        Routing{"\\pL", false, "Boost: [[:lower:]]; PCRE2: Unicode letters"},
        Routing{"\\X", false, "Boost: one byte; PCRE2: a grapheme cluster"},
        Routing{"foo\\Kbar", false, "\\K"},
        Routing{"\\R", false, "line breaks"},
        // Class membership above ASCII and at VT.
        Routing{"\\h", false, "PCRE2 adds 0xA0"},
        Routing{"\\v", false, "PCRE2 adds 0x85"},
        Routing{"[\\v]", false, "Boost: VT only"},
        Routing{"[[:blank:]]", false, "Boost adds VT"},
        Routing{"(?i)[A-z]", false, "caseless ranges"},
        Routing{"(?i)abc", false, "caseless"},
        // Outcomes one engine cannot produce.
        Routing{".(*ACCEPT)|..", false, "verbs; PCRE2 10.42 JIT bug with ACCEPT"},
        Routing{"x(*ACCEPT)|xy", false, "ACCEPT short of the end"},
        // Syntax read differently.
        Routing{"a{1, 3}", false, "spaces in a quantifier"},
        Routing{"a{,3}", false, "a missing minimum (a quantifier from PCRE2 10.43)"},
        Routing{"a{+3}", false, "a signed bound"},
        Routing{"a{", false, "an unescaped {"},
        Routing{"\\x{41}", false, "\\x{...}"},
        Routing{"\\x4", false, "\\x with one digit"},
        Routing{"(?x) a", false, "extended mode"},
        Routing{"(?<=a)b", false, "lookbehind"},
        Routing{"(?<n>a)", false, "named group"},
        Routing{"(?#c)a", false, "comment"},
        Routing{"(?|a)", false, "branch reset"},
        Routing{"(?(1)a|b)", false, "conditional"},
        Routing{"(a(?1)?b)", false, "recursion"},
        Routing{"\\Qa.b\\E", false, "quoting"},
        Routing{"[[.a.]]", false, "collating element"},
        Routing{"[[:ALPHA:]]", false, "a Boost-only class name"},
        Routing{"a|", false, "an empty alternative"},
        Routing{"()", false, "an empty group"},
        Routing{"", false, "the empty pattern"},
        Routing{"(?>a|b)", false, "an atomic group around an alternation"},
        Routing{"(ab)++", false, "a possessive group"},
        Routing{"\\x80-\\xff]", false, "an unescaped ]"},
        Routing{"\\l", false, "\\l and other letters"}),
    [](const testing::TestParamInfo<Routing>& param) { return "Case" + std::to_string(param.index); });

// Faults of the first-byte shortcut that used Boost's own start map: these whole-text
// matches were rejected before the matcher ran, and the field counted "other".
TEST(FullMatch, StartMapRegressions) {
    velmira::MatchScratch scratch;
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"\\Z.", "\f"}, {"\\Z.", "\n"}, {"\\X\\n", "a\n"}, {"\\Xb", "ab"}, {"\\Z\\n", "\n"}};
    for (const auto& [pattern, text] : cases) {
        const boost::regex re(pattern);
        ASSERT_TRUE(boost::regex_match(text, re)) << pattern;
        EXPECT_TRUE(Pattern(re).fullMatch(text, velmira::plainText(text), scratch))
            << "/" << pattern << "/ [" << show(text) << "]";
    }
}

// Where Boost runs out of backtracking budget, PCRE2's answer stands for admitted patterns.
TEST(FullMatch, DefiniteAnswerWhereBoostGivesUp) {
    velmira::MatchScratch scratch;
    const boost::regex re("(a+)+b");
    const std::string text(64, 'a');
    EXPECT_THROW(boost::regex_match(text, re), std::runtime_error);
    EXPECT_FALSE(Pattern(re).fullMatch(text, true, scratch));
    // A pattern on Boost still throws.
    const boost::regex onBoost("(a+)+(?i:b)");
    EXPECT_THROW(Pattern(onBoost).fullMatch(text, true, scratch), std::runtime_error);
}

TEST(FullMatch, PlainTextGate) {
    for (const std::string& t : {std::string("abc"), std::string(40, 'x'), std::string("a\tb\x0b"),
                                 std::string("\0x", 2), std::string("\xff\x85")}) {
        EXPECT_TRUE(velmira::plainText(t)) << show(t);
    }
    for (std::size_t at = 0; at < 20; ++at) {
        for (char sep : {'\n', '\r', '\f'}) {
            std::string t(20, 'a');
            t[at] = sep;
            EXPECT_FALSE(velmira::plainText(t)) << show(t);
        }
    }
}

// ---- the differential test ---------------------------------------------------------------

TEST(FullMatch, AgreesWithBoostOnGeneratedPatternsAndTexts) {
    const std::string alphabet("ab-. _0A\t\n\r\f\x0b\x85\xa0\xe9\xff\0", 19);
    const std::vector<std::string> texts = textsOver(alphabet, 3, 7);
    velmira::MatchScratch scratch;
    PatternGenerator generate(20261208);
    int admitted = 0, compared = 0, patterns = 0;
    const int wanted = scaled(1600);
    while (patterns < wanted) {
        const std::string source = generate.pattern();
        boost::regex re;
        try {
            re.assign(source, boost::regex_constants::normal);
        } catch (const boost::regex_error&) {
            continue;
        }
        ++patterns;
        const Pattern pattern(re);
        const bool fast = pattern.engine() == Pattern::Engine::Pcre2Jit;
        admitted += fast;
        for (const std::string& text : texts) {
            bool expected;
            try {
                expected = boost::regex_match(text, re);
            } catch (const std::runtime_error&) {
                continue;  // Boost gave up; the answer is PCRE2's or the same error
            }
            ++compared;
            bool got = false;
            try {
                got = pattern.fullMatch(text, velmira::plainText(text), scratch);
            } catch (const std::exception& e) {
                ADD_FAILURE() << "/" << show(source) << "/ [" << show(text) << "] threw " << e.what();
                continue;
            }
            ASSERT_EQ(got, expected) << "/" << show(source) << "/ on " << velmira::engineName(pattern.engine())
                                     << ", text [" << show(text) << "]";
            if (fast && velmira::plainText(text)) {
                const int jit = pattern.program().match(text, scratch);
                const int interpreted = pattern.program().matchInterpreted(text, scratch);
                ASSERT_EQ(jit >= 0, interpreted >= 0) << "JIT and interpreter differ: /" << show(source) << "/ ["
                                                      << show(text) << "]";
            }
        }
    }
    // The grammar must exercise both routes.
    EXPECT_GT(admitted, patterns / 5);
    EXPECT_LT(admitted, patterns);
    std::printf("differential: %d patterns (%d on PCRE2), %d comparisons\n", patterns, admitted, compared);
}

}  // namespace
