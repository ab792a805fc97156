// Whole-text matching of one compiled expression, with a cheap first-byte test.
//
// Every compiled Boost expression carries a start map: for each byte, whether a
// match can begin with it. Searches use it to skip positions, so it never rules
// out a real match. A whole-text match must begin at the text's first byte, so a
// byte the map rules out decides the answer without starting the matcher, which
// costs far more than the test (state set-up, a backtracking stack from a shared
// pool). Most trials of the wrong type end here.
#pragma once

#include <boost/regex.hpp>
#include <string_view>

namespace velmira {

using MatchScratch = boost::cmatch;

inline bool fullMatch(std::string_view text, const boost::regex& re, MatchScratch& scratch) {
    constexpr unsigned char kCanStart = boost::BOOST_REGEX_DETAIL_NS::mask_any;
    if (!text.empty() && (re.get_map()[static_cast<unsigned char>(text[0])] & kCanStart) == 0) {
        return false;
    }
    // match_any: only whether some match spans the whole text counts, not which one.
    return boost::regex_match(text.data(), text.data() + text.size(), scratch, re,
                              boost::match_default | boost::match_any);
}

}  // namespace velmira
