// Generated patterns and texts for the differential tests of the matcher and the prefilter:
// patterns from a grammar that mixes the constructs the fast path admits with ones it must
// refuse, texts over an alphabet of edge bytes.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace velmira_test {

inline std::string show(const std::string& s) {
    std::string out;
    char hex[8];
    for (char ch : s) {
        const auto b = static_cast<unsigned char>(ch);
        if (b >= 0x20 && b < 0x7f && b != '\\') {
            out += ch;
        } else {
            std::snprintf(hex, sizeof hex, "\\x%02x", b);
            out += hex;
        }
    }
    return out;
}

// A random pattern from a grammar that mixes admitted constructs with refused ones.
class PatternGenerator {
public:
    explicit PatternGenerator(std::uint32_t seed) : rng_(seed) {}

    // Every other pattern is built from admitted constructs only, so that both routes get
    // deep, nested patterns.
    std::string pattern() {
        admittedOnly_ = !admittedOnly_;
        return alternation(0);
    }

private:
    std::size_t pick(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_); }
    bool chance(int percent) { return pick(100) < static_cast<std::size_t>(percent); }

    std::string alternation(int depth) {
        std::string out = concat(depth);
        while (chance(depth == 0 ? 25 : 15)) out += "|" + concat(depth);
        return out;
    }

    std::string concat(int depth) {
        std::string out;
        const std::size_t pieces = 1 + pick(depth == 0 ? 4 : 2);
        for (std::size_t i = 0; i < pieces; ++i) out += piece(depth);
        return out;
    }

    std::string piece(int depth) {
        static const std::vector<std::string> kQuantifiers = {
            "*", "+", "?", "{2}", "{1,}", "{0,2}", "{1,3}", "*?", "+?", "??", "{1,2}?",
            "*+", "++", "?+", "{2,}+", "{0}",
        };
        std::string a = atom(depth);
        if (chance(35)) a += kQuantifiers[pick(kQuantifiers.size())];
        return a;
    }

    std::string atom(int depth) {
        static const std::vector<std::string> kAtoms = {
            "a", "b", "a", "b", "-", " ", "\\.", ".", "\\d", "\\w", "\\s", "\\D", "\\W", "\\S", "\\x41",
            "\\xff", "\\x85", "\\t", "\\n", "\\r", "\\f", "\\x0b", "\\x00", "\\cA", "\\e", "\\-", "_",
            "[ab]", "[^a]", "[a-c]", "[]a]", "[-a]", "[a-]", "[[:alpha:]]", "[[:^digit:]]",
            "[[:space:]]", "[[:punct:]]", "[[:word:]]", "[[:cntrl:]]", "[\\d_]", "[\\D]", "[\\s]",
            "[^\\W]", "[\\x80-\\xff]", "[\\x00-\\x1f]", "[^\\n]", "[\\b]", "[.]", "[\\]]", "[^-]",
            "\xe9", "[\xa0-\xff]", "^", "$", "\\b", "\\A", "\\z", "\\Z",
        };
        static const std::vector<std::string> kRefusedAtoms = {
            // Refused: whatever they mean, the routing must keep them on Boost.
            "\\B", "\\h", "\\H", "\\v", "\\V", "[\\v]", "[[:blank:]]", "\\<", "\\>", "\\`", "\\'",
            "\\X", "\\C", "\\R", "\\pL", "\\E", "a{,2}", "a{1, 2}", "\\x{41}", "\\0101", "\\12",
            "(?i)a", "(?i:[A-z])",
        };
        if (depth < 3 && chance(25)) {
            static const std::vector<std::pair<std::string, std::string>> kGroups = {
                {"(", ")"}, {"(?:", ")"}, {"(?=", ")"}, {"(?!", ")"}, {"(?s:", ")"}, {"(?-s:", ")"},
                {"(?m:", ")"}, {"(?>", ")"}, {"(?<=", ")"}, {"(?i:", ")"},
            };
            const auto& [open, close] = kGroups[pick(kGroups.size() - (admittedOnly_ ? 2 : 0))];
            std::string inner = alternation(depth + 1);
            if (open == "(?>" && chance(70)) inner = std::string(chance(50) ? "a" : "[ab]") + (chance(50) ? "+" : "*");
            if (open == "(?<=") inner = "a";
            std::string g = open + inner + close;
            if (!admittedOnly_ && chance(10)) g += "\\1";
            return g;
        }
        if (chance(5)) return std::string(chance(50) ? "(?s)" : "(?-m)");
        if (!admittedOnly_ && chance(15)) return kRefusedAtoms[pick(kRefusedAtoms.size())];
        return kAtoms[pick(kAtoms.size())];
    }

    std::mt19937 rng_;
    bool admittedOnly_ = false;
};

inline std::vector<std::string> textsOver(const std::string& alphabet, std::size_t maxLength, std::uint32_t seed) {
    std::vector<std::string> out = {""};
    std::vector<std::string> level = {""};
    for (std::size_t length = 1; length <= maxLength; ++length) {
        std::vector<std::string> next;
        for (const std::string& s : level) {
            for (char c : alphabet) next.push_back(s + c);
        }
        out.insert(out.end(), next.begin(), next.end());
        level = std::move(next);
    }
    // Longer texts, mostly a and b, for repeats and backtracking.
    std::mt19937 rng(seed);
    for (int i = 0; i < 150; ++i) {
        std::string s;
        const std::size_t length = 4 + rng() % 20;
        for (std::size_t j = 0; j < length; ++j) {
            s += (rng() % 4 != 0) ? "ab"[rng() % 2] : alphabet[rng() % alphabet.size()];
        }
        out.push_back(s);
    }
    return out;
}

// How often the scale-down environment variable allows: the sanitizer builds run fewer cases.
inline int scaled(int n) {
    const char* divisor = std::getenv("VELMIRA_TEST_SCALE_DOWN");
    const int d = divisor ? std::max(1, std::atoi(divisor)) : 1;
    return std::max(1, n / d);
}

}  // namespace velmira_test
