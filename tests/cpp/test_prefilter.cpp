// The prefilter against Boost.Regex: a type it leaves out never matches, on generated tables
// and texts; the facts it is built from, on known patterns; and a pass whose types overlap,
// where the trial order decides, against a model of the classification rule that tries every
// type in turn.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <unordered_map>
#include <vector>

#include "generated_patterns.hpp"
#include "inf.hpp"
#include "match/prefilter.hpp"

namespace {

using velmira::ByteSet;
using velmira::Pattern;
using velmira::PatternFacts;
using velmira::Prefilter;
using velmira_test::PatternGenerator;
using velmira_test::scaled;
using velmira_test::show;
using velmira_test::textsOver;

ByteSet bytesOf(const std::string& s) {
    ByteSet set;
    for (char c : s) set.add(static_cast<unsigned char>(c));
    return set;
}

bool candidate(const std::vector<std::uint64_t>& bits, std::size_t type) { return (bits[type / 64] >> (type % 64)) & 1; }

struct FactsCase {
    const char* pattern;
    std::size_t minLength;
    std::size_t maxLength;
    const char* must;
    const char* any;  // nullptr: more than is worth listing (not checked)
};

class Facts : public testing::TestWithParam<FactsCase> {};

TEST_P(Facts, AreWhatThePatternSays) {
    const FactsCase& c = GetParam();
    const PatternFacts facts = Pattern(boost::regex(c.pattern)).facts();
    EXPECT_EQ(facts.minLength, c.minLength) << c.pattern;
    EXPECT_EQ(facts.maxLength, c.maxLength) << c.pattern;
    EXPECT_TRUE(facts.must == bytesOf(c.must)) << c.pattern;
    if (c.any != nullptr) {
        EXPECT_TRUE(facts.any == bytesOf(c.any)) << c.pattern;
    }
}

constexpr std::size_t kAny = PatternFacts::kUnbounded;

INSTANTIATE_TEST_SUITE_P(
    Table, Facts,
    testing::Values(FactsCase{"[0-3]{4}-[0-3]{2}", 7, 7, "-", "0123-"},
                    FactsCase{"a|bc", 1, 2, "", "abc"},
                    FactsCase{"(?:ab)+", 2, kAny, "ab", "ab"},
                    FactsCase{"(?:ab)*c?", 0, kAny, "", "abc"},
                    FactsCase{"x{0}y", 1, 1, "y", "y"},
                    FactsCase{"(?:a{2,3}){2}", 4, 6, "a", "a"},
                    FactsCase{"(?=abc)a", 1, 1, "a", "a"},      // a lookahead consumes nothing
                    FactsCase{"^a$|\\bb\\z", 1, 1, "", "ab"},    // nor do assertions
                    FactsCase{"[ab]c|ac", 2, 2, "c", "abc"},     // one of two bytes is no must
                    FactsCase{"(?>a+)b", 2, kAny, "ab", "ab"},
                    FactsCase{"a*+b?+", 0, kAny, "", "ab"},
                    FactsCase{".", 1, 1, "", nullptr},
                    FactsCase{"(?:a{65535}){65535}", 65535u * 65535u, 65535u * 65535u, "a", "a"},
                    // Refused patterns admit every text.
                    FactsCase{"(a)\\1", 0, kAny, "", nullptr},
                    FactsCase{"(?i)abc", 0, kAny, "", nullptr}));

// A table of generated types: each of zero to three generated patterns, so that types
// overlap, refused patterns sit beside admitted ones and some types never match.
struct GeneratedTable {
    std::vector<std::vector<boost::regex>> regexes;
    std::vector<std::vector<Pattern>> patterns;
};

GeneratedTable generateTable(PatternGenerator& generate, std::mt19937& rng, std::size_t types) {
    GeneratedTable table;
    table.regexes.resize(types);
    table.patterns.resize(types);
    for (std::size_t t = 0; t < types; ++t) {
        const std::size_t count = rng() % 4;
        while (table.regexes[t].size() < count) {
            try {
                table.regexes[t].emplace_back(generate.pattern(), boost::regex_constants::normal);
            } catch (const boost::regex_error&) {
                continue;
            }
            table.patterns[t].emplace_back(table.regexes[t].back());
        }
    }
    return table;
}

TEST(Prefilter, NeverLeavesOutATypeThatMatches) {
    const std::string alphabet("ab-. _0A\t\n\r\f\x0b\x85\xa0\xe9\xff\0", 19);
    const std::vector<std::string> texts = textsOver(alphabet, 3, 11);
    PatternGenerator generate(20261209);
    std::mt19937 rng(5);
    std::size_t tables = 0, pairs = 0, matches = 0, leftOut = 0;
    for (int round = 0; round < scaled(120); ++round) {
        // Past 64 types the candidates take more than one word: each width of the walk once.
        const std::size_t types = round == 9 ? 70 : round == 19 ? 130 : round == 29 ? 200 : round == 39 ? 260
                                                                                                     : 1 + rng() % 8;
        const GeneratedTable table = generateTable(generate, rng, types);
        std::vector<const std::vector<Pattern>*> slots;
        for (const auto& p : table.patterns) slots.push_back(&p);
        const Prefilter prefilter(slots);
        ASSERT_EQ(prefilter.words(), (types + 63) / 64);
        std::vector<std::uint64_t> bits(prefilter.words());
        ++tables;
        for (const std::string& text : texts) {
            prefilter.candidates(text, bits.data());
            for (std::size_t t = 0; t < types; ++t) {
                bool matches_t = false;
                for (const boost::regex& re : table.regexes[t]) {
                    try {
                        matches_t = matches_t || boost::regex_match(text, re);
                    } catch (const std::runtime_error&) {
                    }
                }
                ++pairs;
                matches += matches_t;
                leftOut += !candidate(bits, t);
                if (matches_t) {
                    ASSERT_TRUE(candidate(bits, t)) << "type " << t << " left out of [" << show(text) << "]";
                }
            }
        }
    }
    // The facts must also be worth having: most pairs that do not match are left out.
    EXPECT_GT(leftOut, (pairs - matches) / 3);
    std::printf("prefilter: %zu tables, %zu (type, text) pairs, %zu matches, %zu left out\n", tables, pairs, matches,
                leftOut);
}

// ---- a pass with overlapping types, against the classification rule -----------------------

class TempFile {
public:
    TempFile() {
        char name[] = "/tmp/velmira-prefilter-XXXXXX";
        const int fd = ::mkstemp(name);
        if (fd < 0) throw std::runtime_error("mkstemp failed");
        ::close(fd);
        path_ = name;
    }
    ~TempFile() { std::remove(path_.c_str()); }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    const std::string& path() const { return path_; }
    void write(const std::string& content) const { std::ofstream(path_, std::ios::binary) << content; }
    std::string read() const {
        std::ifstream in(path_, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

private:
    std::string path_;
};

// What the classification rule gives: markers, then the cache (one for all columns, emptied
// every `window` rows counting the header), then each type of the column's order in turn,
// the match swapped with the front. Returns false if Boost gave up on some text.
bool modelPass(const Inf& inf, const std::vector<std::vector<std::string>>& rows, int window,
               std::vector<std::vector<std::string>>& types) {
    std::vector<std::string> initial;
    for (const auto& entry : inf.colTypePatterns) initial.push_back(entry.first);
    std::map<std::string, std::vector<std::string>> order;
    std::unordered_map<std::string, std::string> cache;
    std::uint64_t n = 1;
    for (std::size_t r = 1; r < rows.size(); ++r) {
        std::vector<std::string> line;
        for (std::size_t c = 0; c < rows[r].size(); ++c) {
            const std::string& text = rows[r][c];
            std::string& cached = cache[text];
            if (inf.naValues.count(text) != 0) {
                line.push_back("NA");
                continue;
            }
            if (cached.empty()) {
                auto found = order.find(rows[0][c]);
                if (found == order.end()) found = order.emplace(rows[0][c], initial).first;
                std::vector<std::string>& list = found->second;
                std::string type = "other";
                for (std::size_t ti = 0; ti < list.size() && type == "other"; ++ti) {
                    for (const boost::regex& re : inf.colTypePatterns.at(list[ti])) {
                        bool hit = false;
                        try {
                            hit = boost::regex_match(text, re);
                        } catch (const std::runtime_error&) {
                            return false;
                        }
                        if (!hit) continue;
                        type = list[ti];
                        std::swap(list[0], list[ti]);
                        break;
                    }
                }
                cached = type;
            }
            line.push_back(cached);
        }
        types.push_back(line);
        ++n;
        if (window > 0 && n % static_cast<std::uint64_t>(window) == 0) cache.clear();
    }
    return true;
}

std::string typesFileOf(const std::vector<std::string>& header, const std::vector<std::vector<std::string>>& types) {
    std::ostringstream out;
    auto line = [&](const std::vector<std::string>& fields) {
        for (std::size_t i = 0; i < fields.size(); ++i) out << (i ? "," : "") << fields[i];
        out << "\n";
    };
    line(header);
    for (const auto& row : types) line(row);
    return out.str();
}

TEST(PassWithOverlappingTypes, ClassifiesAsTryingEveryTypeInTurn) {
    // Short texts over few bytes, so that generated types overlap often and the trial order
    // decides; no delimiter, quote or line break, so that every field is its text.
    const std::string alphabet = "ab-.0 ";
    PatternGenerator generate(424242);
    std::mt19937 rng(17);
    int passes = 0, orderDecided = 0;
    for (int attempt = 0; passes < scaled(150) && attempt < 5000; ++attempt) {
        Inf::PatternStrings patterns;
        const std::size_t types = 2 + rng() % 6;
        for (std::size_t t = 0; t < types; ++t) {
            std::vector<std::string>& sources = patterns["t" + std::to_string(t)];
            const std::size_t count = 1 + rng() % 2;
            while (sources.size() < count) {
                std::string source = generate.pattern();
                try {
                    boost::regex re(source, boost::regex_constants::normal);
                } catch (const boost::regex_error&) {
                    continue;
                }
                // Only what the alphabet can meet: patterns of refused constructs stay, as Boost
                // answers them.
                sources.push_back(source);
            }
        }
        const int window = std::vector<int>{0, 3, 7, -1}[rng() % 4];
        Inf inf("", ',', patterns, {"NA", ""}, false, true, "", window);
        const std::size_t cols = 1 + rng() % 3;
        std::vector<std::vector<std::string>> rows;
        std::vector<std::string> header;
        for (std::size_t c = 0; c < cols; ++c) header.push_back(c == 2 ? "c0" : "c" + std::to_string(c));
        rows.push_back(header);
        for (int r = 0; r < 40; ++r) {
            std::vector<std::string> row;
            for (std::size_t c = 0; c < cols; ++c) {
                std::string text;
                const std::size_t length = rng() % 4;
                for (std::size_t i = 0; i < length; ++i) text += alphabet[rng() % alphabet.size()];
                if (rng() % 25 == 0) text = "NA";
                row.push_back(text);
            }
            rows.push_back(row);
        }
        std::vector<std::vector<std::string>> expected;
        if (!modelPass(inf, rows, window, expected)) continue;

        TempFile data, typesFile;
        std::ostringstream csv;
        for (const auto& row : rows) {
            for (std::size_t c = 0; c < row.size(); ++c) csv << (c ? "," : "") << row[c];
            csv << "\n";
        }
        data.write(csv.str());
        inf.setFilepath(data.path());
        inf.setTypesFilepath(typesFile.path());
        inf.inferTypes();
        ++passes;
        const std::string want = typesFileOf(header, expected);
        ASSERT_EQ(typesFile.read(), want) << "patterns:" << [&] {
            std::string all;
            for (const auto& [name, sources] : patterns) {
                for (const auto& s : sources) all += " " + name + "=/" + show(s) + "/";
            }
            return all;
        }() << " window " << window << "\ninput:\n" << csv.str();
        // Count the passes in which some text matched two types, where the order mattered.
        bool overlapped = false;
        for (std::size_t r = 1; r < rows.size() && !overlapped; ++r) {
            for (const std::string& text : rows[r]) {
                int hits = 0;
                for (const auto& entry : inf.colTypePatterns) {
                    for (const boost::regex& re : entry.second) {
                        if (boost::regex_match(text, re)) {
                            ++hits;
                            break;
                        }
                    }
                }
                overlapped = overlapped || hits > 1;
            }
        }
        orderDecided += overlapped;
    }
    EXPECT_EQ(passes, scaled(150));
    EXPECT_GT(orderDecided, passes / 4);
    std::printf("overlapping types: %d passes, %d where the trial order decided some text\n", passes, orderDecided);
}

}  // namespace
