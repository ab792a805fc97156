// The first-byte shortcut must never change a match result: compared with plain
// regex_match over expressions with every kind of start, on fixed and random texts.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "full_match.hpp"

namespace {

const std::vector<std::string> kPatterns = {
    "", "a", "abc", "a*", "a+", "a?b", "[a-c]+", "[^a]x", ".", ".*", ".+x", "\\d+", "\\D", "\\w+",
    "\\s*", "\\S+", "-?[0-9]+", "(?:ab|cd)+", "a|", "|a", "(a)\\1", "(?=a)ab", "(?!a).",
    "(?<=a)b", "(?<!a)b", "^a", "a$", "\\Aa\\z", "\\ba\\b", "\\Bb", "(?i)abc", "(?i:x)y",
    "\\Qa.b\\E", "(a(?1)?b)", "(?(?=a)ab|cd)", "(?<n>x)\\k<n>", "a{2,3}", "[[:alpha:]]+",
    "[[:digit:][:space:]]", "\\x41", "\\n", "[\\x00-\\x1f]", "\\G", "(?#comment)a", "(?x) a b ",
    "\\K", "a\\Kb", "(*ACCEPT)", "(?s).", "(?m)^$", "\\p{L}", "[é]", "\\xff", "(?>a+)b", "a++b",
    "a*+", "\\1?a", "(a)|b\\1", "\\R", "\\h", "\\v",
};

std::vector<std::string> texts() {
    std::vector<std::string> out = {"", "a", "b", "ab", "abc", "ABC", "aab", "cd", "abcd", " a",
                                    "x", "xx", "1", "-12", "12a", "\n", "\r\n", "a.b", "é",
                                    "\xff", std::string(1, '\0'), "aa", "ba", "_a", "\t"};
    std::mt19937 rng(12345);
    const std::string alphabet = "abcdxyABC019-_. \n\t\xff\xc3\xa9";
    for (int i = 0; i < 400; ++i) {
        std::string s;
        int len = static_cast<int>(rng() % 6);
        for (int j = 0; j < len; ++j) s += alphabet[rng() % alphabet.size()];
        out.push_back(s);
    }
    return out;
}

TEST(FullMatch, AgreesWithRegexMatch) {
    velmira::MatchScratch scratch;
    const std::vector<std::string> all = texts();
    for (const std::string& pattern : kPatterns) {
        boost::regex re;
        try {
            re.assign(pattern, boost::regex_constants::normal);
        } catch (const boost::regex_error&) {
            continue;  // not every construct exists in this Boost release
        }
        for (const std::string& text : all) {
            EXPECT_EQ(velmira::fullMatch(text, re, scratch), boost::regex_match(text, re))
                << "pattern /" << pattern << "/ text [" << text << "]";
        }
    }
}

}  // namespace
