// TypeTable: a table of type patterns compiled once, for passes and for classifying texts.
//
// Each pattern is compiled by Boost.Regex (the reference, whose error is the one users see)
// and, where admitted, by PCRE2's JIT (matcher.hpp). A table is read-only once compiled;
// passes take copies that share the compiled programs, so nothing is compiled twice.
//
// The first pattern that does not compile, in the order given, fails the whole table with
// PatternCompileError naming its type and its text.
#pragma once

#include <boost/regex.hpp>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "matcher.hpp"
#include "prefilter.hpp"

namespace velmira {

class PatternCompileError : public std::runtime_error {
public:
    PatternCompileError(std::string typeName_, std::string pattern_, const std::string& reason_)
        : std::runtime_error(reason_), typeName(std::move(typeName_)), pattern(std::move(pattern_)), reason(reason_) {}
    std::string typeName;
    std::string pattern;
    std::string reason;  // Boost.Regex's message
};

struct TypeTable {
    using Entry = std::pair<std::string, std::vector<std::string>>;  // type name, its patterns

    // Compiles every pattern, in the order given; a name given twice keeps its last patterns.
    static TypeTable compile(const std::vector<Entry>& types);

    // The type names in the order in which a new column tries them: the iteration order of
    // `regexes`, as a pass sets up its columns.
    std::vector<std::string> names() const;
    // Each text's first matching type in names() order, or nullptr when none matches.
    const std::string* firstMatch(std::string_view text, MatchScratch& scratch) const;
    // Every type that matches the text, in names() order.
    std::vector<std::string> allMatches(std::string_view text, MatchScratch& scratch) const;

    std::unordered_map<std::string, std::vector<boost::regex>> regexes;  // type name -> Boost programs
    std::unordered_map<std::string, std::vector<Pattern>> matchers;      // the same, with PCRE2's where admitted
    Prefilter prefilter;  // bit i: the i-th type of names()
};

}  // namespace velmira
