// Fuzz target for the whole inference pass (src/inf.cpp), without Python.
//
// Input layout: byte 0 picks the delimiter (low 3 bits: , ; TAB | " LF a NUL); byte 1 the run:
// bit 0 multithreading, bits 1-3 the cache window (1 2 3 7 64 1000 0 -1), bit 4 a second pass
// on the same object (bit 5 then flips multithreading for it), bit 6 a pass over the file as
// a stream, the table vouched exclusive so that columns may skip the cache (bit 7: after one
// text or after three), with the loaders' measures taken. The rest is written to a file and
// is the pass's input.
//
// The pattern table is fixed and no text matches two of its types, so a field's type does not
// depend on the cache, the trial order or the threads: a reference classification of every
// field predicts the whole outcome. Checks, after every pass:
//  - the pass does not throw;
//  - num_rows is the number of rows the tokenizer reads from the same bytes, less the header
//    (0 for no row), and getNumCols is the header's width;
//  - the column names are the header's, empty ones named Unitled_<k> in order;
//  - each column name's count table holds exactly the counts of the reference over the fields
//    of its columns (index below the header's width, data rows only), zeros for every type;
//  - the types file, read back with the tokenizer, holds the names, then each data row's type
//    names: num_rows + 1 lines when there is a row, and nothing when there is none;
//  - a stream pass measures, per column name, the longest field not counted "NA", and the
//    range of the integers.
#include <unistd.h>

#include <boost/regex.hpp>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <unordered_map>
#include <utility>
#include <unordered_set>

#include "common.hpp"
#include "inf.hpp"

namespace {

using fuzz::check;
using fuzz::Row;
using fuzz::Rows;
using fuzz::show;

// Mutually exclusive types. Also here: a type named "" (never cached), one without patterns,
// user types named like the engine's "NA" and "other", and a type of two patterns.
const Inf::PatternStrings kPatterns{
    {"integer", {"-?[0-9]+"}},
    {"decimal", {"-?[0-9]+\\.[0-9]+", "\\.[0-9]+"}},
    {"word", {"[a-z]+"}},
    {"date", {"[0-9]{4}-[0-9]{2}-[0-9]{2}"}},
    {"hex", {"0x[0-9a-f]+"}},
    {"", {"[A-Z]+"}},
    {"never", {}},
    {"NA", {"N/A"}},
    {"other", {"\\?+"}},
};
const std::unordered_set<std::string> kMarkers{"", "NA", "null", "-"};

std::string tempPath(const char* stem) {
    std::string name = std::string(access("/dev/shm", W_OK) == 0 ? "/dev/shm/" : "/tmp/") + stem + "-XXXXXX";
    const int fd = mkstemp(name.data());
    check(fd >= 0, "mkstemp failed");
    close(fd);
    return name;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// The type the engine must give `text`: NA markers first, then the one type that matches.
std::string referenceType(const std::string& text) {
    static const auto compiled = [] {
        std::map<std::string, std::vector<boost::regex>> table;
        for (const auto& [type, sources] : kPatterns) {
            for (const auto& source : sources) table[type].emplace_back(source);
        }
        return table;
    }();
    if (kMarkers.count(text)) return "NA";
    std::string found = "other";
    int matches = 0;
    for (const auto& [type, patterns] : compiled) {
        for (const boost::regex& re : patterns) {
            if (boost::regex_match(text, re)) {
                found = type;
                ++matches;
                break;
            }
        }
    }
    check(matches <= 1, "the fuzz pattern table is not exclusive for " + show({{text}}));
    return found;
}

struct Expected {
    std::uint64_t numRows = 0;
    std::vector<std::string> names;
    std::map<std::string, Inf::CountTable> counts;
    Rows typesFile;
};

Expected predict(const Rows& rows, int& untitled) {
    Expected e;
    if (rows.empty()) return e;
    e.numRows = rows.size() - 1;
    for (const std::string& field : rows[0]) {
        e.names.push_back(field.empty() ? "Unitled_" + std::to_string(++untitled) : field);
        Inf::CountTable& table = e.counts[e.names.back()];
        for (const auto& entry : kPatterns) table[entry.first] = 0;
        table["other"] = 0;
        table["NA"] = 0;
    }
    e.typesFile.push_back(e.names);
    for (std::size_t r = 1; r < rows.size(); ++r) {
        Row line;
        for (std::size_t c = 0; c < rows[r].size() && c < e.names.size(); ++c) {
            line.push_back(referenceType(rows[r][c]));
            ++e.counts[e.names[c]][line.back()];
        }
        e.typesFile.push_back(std::move(line));
    }
    return e;
}

std::string showCounts(const Inf::CountTable& table) {
    std::map<std::string, std::uint64_t> sorted(table.begin(), table.end());
    std::string out;
    for (const auto& [type, count] : sorted) out += "[" + type + "]=" + std::to_string(count) + " ";
    return out;
}

// What the measures must be: the longest field per column name that is not "NA", and the
// range of the integers (short enough to hold).
void checkMeasures(const Inf& inf, const Rows& rows, const Expected& e) {
    std::map<std::string, std::uint64_t> longest;
    std::map<std::string, std::pair<__int128, __int128>> range;
    for (std::size_t r = 1; r < rows.size(); ++r) {
        for (std::size_t c = 0; c < rows[r].size() && c < e.names.size(); ++c) {
            const std::string& text = rows[r][c];
            // A user type named "NA" is counted as the markers are, and is not measured either.
            if (referenceType(text) == "NA") continue;
            longest[e.names[c]] = std::max<std::uint64_t>(longest[e.names[c]], text.size());
            if (referenceType(text) != "integer" || text.size() > 30) continue;
            __int128 value = 0;
            for (char ch : text) {
                if (ch != '-') value = value * 10 + (ch - '0');
            }
            if (text[0] == '-') value = -value;
            auto [it, fresh] = range.emplace(e.names[c], std::make_pair(value, value));
            if (!fresh) it->second = {std::min(it->second.first, value), std::max(it->second.second, value)};
        }
    }
    const auto& measured = inf.getColumnMeasures();
    for (const auto& [name, bytes] : longest) {
        const auto it = measured.find(name);
        check(it != measured.end() && it->second.maxBytes == bytes, "longest field of " + show({{name}}));
    }
    for (const auto& [name, minMax] : range) {
        const auto& byType = measured.at(name).byType;
        bool found = false;
        for (const velmira::TypeMeasure& t : byType) {
            if (!t.anyInteger || t.integerOverflow) continue;
            found = true;
            check(t.minInteger == minMax.first && t.maxInteger == minMax.second, "integer range of " + show({{name}}));
        }
        check(found, "no integer range for " + show({{name}}));
    }
}

void runPass(Inf& inf, const Rows& rows, int& untitled, const std::string& typesPath, bool first,
             int stream = 0) {
    const std::unordered_map<std::string, velmira::Reading> readings{
        {"integer", velmira::Reading{velmira::Reading::Kind::Number, '\0', '\0'}},
        {"decimal", velmira::Reading{velmira::Reading::Kind::Number, '\0', '.'}},
    };
    try {
        if (stream == 0) {
            inf.inferTypes();
        } else {
            std::ifstream in(inf.getFilepath(), std::ios::binary);
            Inf::StreamOptions options;
            options.exclusiveTypes = true;
            options.cacheDecisionTexts = static_cast<std::uint32_t>(stream);
            options.readings = &readings;
            inf.inferTypesFrom(in, 0, [] {}, options);
        }
    } catch (const std::exception& e) {
        fuzz::fail(std::string("the pass threw: ") + e.what());
    }
    const Expected e = predict(rows, untitled);
    check(inf.getNumRows() == e.numRows, "num_rows " + std::to_string(inf.getNumRows()) + ", expected " +
                                             std::to_string(e.numRows));
    check(inf.getNumCols() == static_cast<int>(e.names.size()), "getNumCols is not the header's width");
    check(inf.getColNames() == e.names, "col_names " + show({inf.getColNames()}) + ", expected " + show({e.names}));
    const auto counts = inf.getColTypeCandidates();
    for (const auto& [name, table] : e.counts) {
        const auto it = counts.find(name);
        check(it != counts.end(), "no count table for " + show({{name}}));
        check(it->second == table, "counts of " + show({{name}}) + ": " + showCounts(it->second) + ", expected " +
                                       showCounts(table));
    }
    // A fresh object's first pass has tables for the header's names only.
    if (first) check(counts.size() == e.counts.size(), "count tables for names not in the header");
    const Rows written = fuzz::rowsOf(readFile(typesPath), ',');
    check(written == e.typesFile, "types file " + show(written) + ", expected " + show(e.typesFile));
    if (stream != 0) checkMeasures(inf, rows, e);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const char kDelimiters[] = {',', ';', '\t', '|', '"', '\n', 'a', '\0'};
    static const int kWindows[] = {1, 2, 3, 7, 64, 1000, 0, -1};
    static const std::string dataPath = tempPath("velmira-fuzz-data");
    static const std::string typesPath = tempPath("velmira-fuzz-types");
    if (size < 2) return 0;
    const char delimiter = kDelimiters[data[0] & 7];
    const std::uint8_t run = data[1];
    const bool multithreading = run & 1;
    const std::string bytes(reinterpret_cast<const char*>(data) + 2, size - 2);
    {
        std::ofstream out(dataPath, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        check(out.good(), "could not write the input file");
    }
    const Rows rows = fuzz::rowsOf(bytes, delimiter);

    Inf inf(dataPath, delimiter, kPatterns, kMarkers, multithreading, true, typesPath, kWindows[(run >> 1) & 7]);
    int untitled = 0;
    runPass(inf, rows, untitled, typesPath, true);
    if (run & 0x10) {
        if (run & 0x20) inf.setMultithreading(!multithreading);
        runPass(inf, rows, untitled, typesPath, false);
    }
    if (run & 0x40) runPass(inf, rows, untitled, typesPath, false, (run & 0x80) ? 3 : 1);
    return 0;
}
