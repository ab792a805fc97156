// The fast matcher against plain Boost.Regex, pattern by pattern, on the texts a pass matches.
//
//   bench_matcher PATTERNS.tsv FILE.csv...
//
// PATTERNS.tsv holds one "type<TAB>pattern" per line. From each file it takes the distinct
// field texts in order of first appearance (what a pass with an empty cache matches), up to
// 200,000 per file, and times each pattern on all of them: velmira::Pattern::fullMatch (PCRE2-JIT
// where admitted, with its first-byte shortcut) against boost::regex_match, the engine's
// reference. Both must agree on every text. It also says, per file, which share of those
// matches the fast path decided (the rest went to Boost: patterns it does not admit, texts
// holding LF, CR or FF). The last line is one JSON object for bench/run.py.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>
#include <unordered_set>
#include <vector>

#include "csv/parser.hpp"
#include "match/matcher.hpp"

namespace {

struct Entry {
    std::string type;
    std::string source;
};

std::string jsonText(const std::string& s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned char>(c));
            out += buf;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::vector<std::string> distinctTexts(const std::string& path, std::size_t limit) {
    std::ifstream in(path, std::ios::binary);
    tessel::csv::CsvParser parser(in);
    std::unordered_set<std::string> seen;
    std::vector<std::string> texts;
    auto row = parser.begin();
    if (row != parser.end()) ++row;  // the header
    for (; row != parser.end() && texts.size() < limit; ++row) {
        for (const std::string& field : *row) {
            if (seen.insert(field).second) texts.push_back(field);
        }
    }
    return texts;
}

// The texts back to back in one buffer, read in order, so that the timing is of matching and
// not of fetching scattered strings.
struct Texts {
    std::string bytes;
    std::vector<std::pair<std::size_t, std::size_t>> spans;
    std::string_view at(std::size_t i) const { return {bytes.data() + spans[i].first, spans[i].second}; }
    std::size_t size() const { return spans.size(); }
};

template <class F>
double nsPerCall(const Texts& texts, F&& match, std::size_t& hits) {
    // Two passes, the faster kept: the first warms the caches and the JIT's code.
    double best = 1e300;
    for (int round = 0; round < 2; ++round) {
        hits = 0;
        const auto start = std::chrono::steady_clock::now();
        for (std::size_t i = 0; i < texts.size(); ++i) hits += match(texts.at(i));
        const double ns = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count();
        best = std::min(best, ns / static_cast<double>(texts.size()));
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::cerr << "usage: bench_matcher PATTERNS.tsv FILE.csv...\n";
        return 2;
    }
    std::vector<Entry> entries;
    std::ifstream table(argv[1]);
    for (std::string line; std::getline(table, line);) {
        const std::size_t tab = line.find('\t');
        if (tab != std::string::npos) entries.push_back({line.substr(0, tab), line.substr(tab + 1)});
    }
    std::vector<boost::regex> regexes;
    std::vector<velmira::Pattern> patterns;
    for (const Entry& e : entries) {
        regexes.emplace_back(e.source, boost::regex_constants::normal);
        patterns.emplace_back(regexes.back());
    }
    velmira::MatchScratch scratch;

    Texts all;
    std::string filesJson;
    for (int f = 2; f < argc; ++f) {
        const std::vector<std::string> texts = distinctTexts(argv[f], 200000);
        std::size_t decided = 0, total = 0;
        for (const std::string& text : texts) {
            const bool plain = velmira::plainText(text);
            for (const velmira::Pattern& p : patterns) {
                ++total;
                decided += plain && p.engine() == velmira::Pattern::Engine::Pcre2Jit;
            }
        }
        const double share = total ? static_cast<double>(decided) / static_cast<double>(total) : 0.0;
        std::printf("%s: %zu distinct texts; the fast path decides %.2f%% of their matches\n", argv[f],
                    texts.size(), 100.0 * share);
        filesJson += std::string(filesJson.empty() ? "" : ", ") + jsonText(argv[f]) + ": {\"texts\": " +
                     std::to_string(texts.size()) + ", \"fast_share\": " + std::to_string(share) + "}";
        for (const std::string& text : texts) {
            all.spans.emplace_back(all.bytes.size(), text.size());
            all.bytes += text;
        }
    }

    std::printf("%-10s %-9s %10s %10s %8s  %s\n", "type", "engine", "fast ns", "boost ns", "speedup", "pattern");
    std::string patternsJson;
    for (std::size_t i = 0; i < patterns.size(); ++i) {
        const velmira::Pattern& p = patterns[i];
        const boost::regex& re = regexes[i];
        std::size_t fastHits = 0, boostHits = 0;
        boost::cmatch results;
        const double fast = nsPerCall(
            all, [&](std::string_view t) { return p.fullMatch(t, velmira::plainText(t), scratch); }, fastHits);
        // The engine's reference call: whole text, match_any.
        const double slow = nsPerCall(
            all,
            [&](std::string_view t) {
                return boost::regex_match(t.data(), t.data() + t.size(), results, re,
                                          boost::match_default | boost::match_any);
            },
            boostHits);
        if (fastHits != boostHits) {
            std::fprintf(stderr, "answers differ for /%s/: %zu against %zu\n", entries[i].source.c_str(), fastHits,
                         boostHits);
            return 1;
        }
        std::printf("%-10s %-9s %10.1f %10.1f %7.1fx  %s\n", entries[i].type.c_str(), velmira::engineName(p.engine()),
                    fast, slow, slow / fast, entries[i].source.c_str());
        patternsJson += std::string(patternsJson.empty() ? "" : ", ") + "{\"type\": " + jsonText(entries[i].type) +
                        ", \"pattern\": " + jsonText(entries[i].source) + ", \"engine\": \"" +
                        velmira::engineName(p.engine()) + "\", \"fast_ns\": " + std::to_string(fast) +
                        ", \"boost_ns\": " + std::to_string(slow) + ", \"texts\": " + std::to_string(all.size()) + "}";
    }
    std::printf("{\"patterns\": [%s], \"files\": {%s}}\n", patternsJson.c_str(), filesJson.c_str());
    return 0;
}
