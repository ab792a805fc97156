// Passes with multithreading on, checked against the same pass with it off. Run under
// ThreadSanitizer by `make test-tsan`, so they also have to touch every shared structure: the
// value cache from many workers, column groups of duplicate names, batches and window flushes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "inf.hpp"

namespace {

class TempFile {
public:
    explicit TempFile(const std::string& content = "") {
        char name[] = "/tmp/velmira-threads-XXXXXX";
        const int fd = ::mkstemp(name);
        if (fd < 0) throw std::runtime_error("mkstemp failed");
        ::close(fd);
        path_ = name;
        std::ofstream(path_, std::ios::binary) << content;
    }
    ~TempFile() { std::remove(path_.c_str()); }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    const std::string& path() const { return path_; }
    std::string read() const {
        std::ifstream in(path_, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

private:
    std::string path_;
};

// No text matches two of these types, so a field's type does not depend on which column's
// classification reaches the shared cache first: both modes must agree exactly.
const Inf::PatternStrings kPatterns{
    {"integer", {"-?[0-9]+"}},
    {"decimal", {"-?[0-9]+\\.[0-9]+"}},
    {"word", {"[a-z]+"}},
    {"code", {"[A-Z]{2}-[0-9]{3}", "[A-Z]{3}"}},
    {"never", {}},
};

enum class Header { Distinct, Duplicates, Untitled };

// Rows of 1 to cols + 2 fields; texts repeat within and across columns, so workers meet on one
// cache entry; some quoted fields carry a delimiter or a line break.
std::string generate(unsigned seed, int rows, int cols, Header header) {
    std::mt19937 rng(seed);
    auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    std::ostringstream out;
    for (int c = 0; c < cols; ++c) {
        if (c > 0) out << ',';
        if (header == Header::Duplicates) {
            out << "dup" << c % 3;
        } else if (header == Header::Untitled && c % 2 == 0) {
            // an empty name
        } else {
            out << "col" << c;
        }
    }
    out << '\n';
    for (int r = 0; r < rows; ++r) {
        const int width = 1 + pick(cols + 2);
        for (int c = 0; c < width; ++c) {
            if (c > 0) out << ',';
            switch (pick(9)) {
                case 0: out << pick(100) - 50; break;
                case 1: out << pick(20) << '.' << pick(10); break;
                case 2: out << std::string(1 + static_cast<std::size_t>(pick(3)), static_cast<char>('a' + pick(4))); break;
                case 3: out << "AB-" << 100 + pick(900); break;
                case 4: break;  // empty: a marker
                case 5: out << "NA"; break;
                case 6: out << "\"q," << pick(5) << '"'; break;
                case 7: out << "\"two\nlines\""; break;
                default: out << "?" << pick(30); break;
            }
        }
        out << (pick(4) == 0 ? "\r\n" : "\n");
    }
    return out.str();
}

struct Outcome {
    std::uint64_t rows;
    std::vector<std::string> names;
    std::unordered_map<std::string, Inf::CountTable> counts;
    std::string typesFile;
};

Outcome pass(Inf& inf, bool multithreading) {
    TempFile types;
    inf.setMultithreading(multithreading);
    inf.setSaveTypesFile(true);
    inf.setTypesFilepath(types.path());
    inf.inferTypes();
    return Outcome{inf.getNumRows(), inf.getColNames(), inf.getColTypeCandidates(), types.read()};
}

Inf objectFor(const std::string& path, Inf::PatternStrings patterns, int window) {
    return Inf(path, ',', std::move(patterns), {"", "NA"}, false, false, "", window);
}

void expectSame(const Outcome& threaded, const Outcome& single) {
    EXPECT_EQ(threaded.rows, single.rows);
    EXPECT_EQ(threaded.names, single.names);
    EXPECT_EQ(threaded.counts, single.counts);
    EXPECT_EQ(threaded.typesFile, single.typesFile);
}

struct AgreeCase {
    const char* name;
    int rows;
    int cols;
    int window;
    Header header;
};

class ThreadedPass : public testing::TestWithParam<AgreeCase> {};

TEST_P(ThreadedPass, AgreesWithSingleThreaded) {
    const AgreeCase& p = GetParam();
    TempFile data(generate(static_cast<unsigned>(p.rows * 31 + p.cols), p.rows, p.cols, p.header));
    // Separate objects, so that neither pass starts from the other's cache.
    Inf single = objectFor(data.path(), kPatterns, p.window);
    Inf threaded = objectFor(data.path(), kPatterns, p.window);
    const Outcome expected = pass(single, false);
    ASSERT_EQ(expected.rows, static_cast<std::uint64_t>(p.rows));
    expectSame(pass(threaded, true), expected);
    // Second passes start from a warm cache and the learned orders (and go on numbering
    // untitled columns), in both modes alike.
    expectSame(pass(threaded, true), pass(single, false));
}

INSTANTIATE_TEST_SUITE_P(
    Files, ThreadedPass,
    testing::Values(AgreeCase{"Narrow", 2000, 3, 1000, Header::Distinct},
                    AgreeCase{"MoreColumnsThanWorkers", 300, 40, 7, Header::Distinct},
                    // Several batches, and a window that does not divide the batch size.
                    AgreeCase{"ManyBatches", 10000, 16, 997, Header::Distinct},
                    AgreeCase{"WindowOfOne", 200, 4, 1, Header::Distinct},
                    AgreeCase{"NeverFlushed", 500, 5, -1, Header::Distinct},
                    AgreeCase{"WindowOfZero", 500, 5, 0, Header::Distinct},
                    AgreeCase{"DuplicateNamesShareTables", 1500, 7, 100, Header::Duplicates},
                    AgreeCase{"UntitledColumns", 500, 6, 1000, Header::Untitled},
                    AgreeCase{"OneColumn", 3000, 1, 50, Header::Distinct},
                    AgreeCase{"HeaderOnly", 0, 4, 1000, Header::Distinct}),
    [](const testing::TestParamInfo<AgreeCase>& param) { return std::string(param.param.name); });

// Passes over a stream with the table vouched exclusive, so that columns go without the
// cache and back (deciding after a few texts), with the loaders' measures taken: threads or
// not, the same counts, types file and measures.
struct StreamOutcome {
    Outcome outcome;
    std::map<std::string, std::pair<std::uint64_t, std::uint64_t>> longest;  // bytes, characters
    std::map<std::string, std::vector<std::pair<__int128, __int128>>> ranges;
};

StreamOutcome streamPass(const std::string& path, bool multithreading, std::uint32_t decision) {
    TempFile types;
    Inf inf(path, ',', kPatterns, {"", "NA"}, multithreading, true, types.path(), 997);
    const std::unordered_map<std::string, velmira::Reading> readings{
        {"integer", velmira::Reading{velmira::Reading::Kind::Number, '\0', '\0'}},
        {"decimal", velmira::Reading{velmira::Reading::Kind::Number, '\0', '.'}},
    };
    Inf::StreamOptions options;
    options.exclusiveTypes = true;
    options.cacheDecisionTexts = decision;
    options.readings = &readings;
    std::ifstream in(path, std::ios::binary);
    inf.inferTypesFrom(in, 0, [] {}, options);
    StreamOutcome out{Outcome{inf.getNumRows(), inf.getColNames(), inf.getColTypeCandidates(), types.read()}, {}, {}};
    for (const auto& [name, m] : inf.getColumnMeasures()) {
        out.longest[name] = {m.maxBytes, m.maxChars};
        for (const velmira::TypeMeasure& t : m.byType) out.ranges[name].emplace_back(t.minInteger, t.maxInteger);
    }
    return out;
}

TEST(ThreadedStreamPass, SkippingTheCacheAgreesWithSingleThreaded) {
    TempFile data(generate(77, 6000, 9, Header::Duplicates));
    for (const std::uint32_t decision : {1u, 2u, 50u, 1024u}) {
        const StreamOutcome single = streamPass(data.path(), false, decision);
        const StreamOutcome threaded = streamPass(data.path(), true, decision);
        expectSame(threaded.outcome, single.outcome);
        EXPECT_EQ(threaded.longest, single.longest) << decision;
        EXPECT_TRUE(threaded.ranges == single.ranges) << decision;
        // And with the cache used throughout.
        expectSame(single.outcome, streamPass(data.path(), false, 1u << 30).outcome);
    }
}

// A row of `cols` fields in which column `bad` holds a text that makes kCatastrophic backtrack
// past Boost.Regex's complexity limit; every other field is harmless.
// (a+)+b itself is answered by PCRE2 now; (?i) keeps this one on Boost, which gives up.
const char* const kCatastrophic = "(a+)+(?i:b)";

std::string catastrophicFile(int rows, int cols, int badRow, int bad) {
    std::string out;
    for (int c = 0; c < cols; ++c) out += (c ? ",h" : "h") + std::to_string(c);
    out += '\n';
    for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < cols; ++c) {
            if (c) out += ',';
            out += (r == badRow && (c == bad || bad < 0)) ? std::string(64, 'a') : "x" + std::to_string(r % 7);
        }
        out += '\n';
    }
    return out;
}

std::string failureOf(Inf& inf) {
    try {
        inf.inferTypes();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "no exception";
}

struct FailCase {
    const char* name;
    int rows;
    int cols;
    int badRow;
    int badCol;  // -1: every column of the row
};

class ThreadedFailure : public testing::TestWithParam<FailCase> {};

// A worker's regex error reaches the caller as the same exception the single-threaded pass
// raises, the pool shuts down cleanly, and the object runs a good pass afterwards.
TEST_P(ThreadedFailure, ReachesTheCallerAndLeavesTheObjectUsable) {
    const FailCase& p = GetParam();
    TempFile data(catastrophicFile(p.rows, p.cols, p.badRow, p.badCol));
    const Inf::PatternStrings bad{{"bad", {kCatastrophic}}, {"x", {"x[0-9]"}}};
    Inf single = objectFor(data.path(), bad, 1000);
    const std::string expected = failureOf(single);
    ASSERT_NE(expected, "no exception");

    Inf threaded = objectFor(data.path(), bad, 1000);
    threaded.setMultithreading(true);
    EXPECT_EQ(failureOf(threaded), expected);
    EXPECT_EQ(failureOf(threaded), expected);  // and again, with the cache of the failed pass

    threaded.setColTypePatterns({{"as", {"a+"}}, {"x", {"x[0-9]"}}});
    const Outcome after = pass(threaded, true);
    EXPECT_EQ(after.rows, static_cast<std::uint64_t>(p.rows));
    Inf fresh = objectFor(data.path(), {{"as", {"a+"}}, {"x", {"x[0-9]"}}}, 1000);
    EXPECT_EQ(after.counts, pass(fresh, false).counts);
}

INSTANTIATE_TEST_SUITE_P(
    Patterns, ThreadedFailure,
    testing::Values(FailCase{"FirstRow", 50, 4, 0, 2}, FailCase{"LaterBatch", 40000, 2, 35000, 1},
                    FailCase{"EveryColumnOfARow", 300, 12, 150, -1},
                    FailCase{"LastRow", 100, 3, 99, 0}),
    [](const testing::TestParamInfo<FailCase>& param) { return std::string(param.param.name); });

}  // namespace
