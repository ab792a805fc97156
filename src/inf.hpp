// Inf: column type inference over one delimited text file.
//
// The caller names types, each with regular expressions that a field's whole
// text must match, and the texts that stand for a missing value. One pass over
// the file counts, per column, how many fields fell into each type, into "NA"
// or into "other", and can write a per-row file of type names.
//
// Guarantees:
//  - Patterns are compiled once, when the table is set; a pass only matches.
//  - Every string is an exact byte string: nothing is trimmed, case-folded,
//    decoded or normalised.
//  - Setters replace a member whole and have no other effect; getters and the
//    result queries return copies, never references into the object.
//  - The object keeps no file, thread or lock between calls.
#pragma once

#include <boost/regex.hpp>
#include <cstdint>
#include <exception>
#include <functional>
#include <istream>
#include <string>
#include <string_view>
#include <system_error>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "match/matcher.hpp"
#include "match/prefilter.hpp"
#include "column_measure.hpp"
#include "match/type_table.hpp"
#include "types_file.hpp"
#include "value_cache.hpp"

namespace tessel {
namespace csv {
class CsvParser;
}
}  // namespace tessel

namespace velmira {
struct RowBatch;
struct RowShapes;
}

class Inf {
public:
    using TypeIdPublic = velmira::ValueCache::Value;
    using PatternStrings = std::unordered_map<std::string, std::vector<std::string>>;
    using CompiledPatterns = std::unordered_map<std::string, std::vector<boost::regex>>;
    using CountTable = std::unordered_map<std::string, std::uint64_t>;

    Inf(std::string filepath, char delimiter, PatternStrings colTypePatterns,
        std::unordered_set<std::string> naValues, bool multithreading, bool saveTypesFile,
        std::string typesFilepath, int rollingCacheWindow);

    void setFilepath(std::string filepath);
    void setDelimiter(char delimiter);
    void setMultithreading(bool multithreading);
    void setSaveTypesFile(bool saveTypesFile);
    void setTypesFilepath(std::string filepath);
    void setRollingCacheWindow(int window);
    void setNaValues(std::unordered_set<std::string> values);
    // Discards the old table first: if a pattern fails to compile, the table keeps
    // what was compiled before the failure and the regex error propagates. Empties the
    // value cache, whose entries the old table decided.
    void setColTypePatterns(PatternStrings patterns);
    // The same with a table compiled already (shared, not compiled again).
    void adoptTypeTable(const velmira::TypeTable& table);

    std::string getFilepath() const;
    char getDelimiter() const;
    bool getMultithreading() const;
    bool getSaveTypesFile() const;
    std::string getTypesFilepath() const;
    int getRollingCacheWindow() const;
    std::unordered_set<std::string> getNaValues() const;
    PatternStrings getColTypePatterns() const;

    // One pass over the file: the first row names the columns, every later field is
    // classified and counted. Throws std::runtime_error when the file cannot be read.
    void inferTypes();
    // What a pass over a stream may ask beyond the object's settings.
    struct StreamOptions {
        // Fields (and the header row) longer than this stop the pass with
        // tessel::csv::FieldTooLong, its row set; 0: no limit.
        std::size_t maxFieldSize = 0;
        // Report a types file that cannot be opened, written or closed (TypesFileError)
        // instead of dropping its lines silently.
        bool strictTypesFile = false;
        // Where to count the rows whose width is not the header's, blank lines among them
        // (and whether to leave those out of the rows); null: not counted.
        velmira::RowShapes* shapes = nullptr;
        // The tokenizer's dialect beyond the delimiter: the quote byte, runs of blanks as
        // the separator, rows ended by LF alone (see csv/parser.hpp).
        char quote = '"';
        bool blankRuns = false;
        bool lfRows = false;
        // The caller vouches that no text matches two of the table's types. A text's type
        // then depends neither on the column nor on the trial order, so the cache only saves
        // work, and the pass stops consulting it for column groups where it does not hit.
        bool exclusiveTypes = false;
        // With exclusiveTypes: how many of a column's texts decide whether it uses the cache
        // (64 times as many bypassed make it try again). Tests turn it down.
        std::uint32_t cacheDecisionTexts = 1024;
        // How to measure each type's texts for the loaders' schemas (column_measure.hpp);
        // null: nothing is measured. Types not in it are measured by length only.
        const std::unordered_map<std::string, velmira::Reading>* readings = nullptr;
    };
    // The same pass over a stream, read once: the columns are as many as the header's
    // fields, and filepath is not looked at. `inputBytes` is the stream's length if known
    // (else 0), a hint for sizing the cache. `checkpoint` runs in the calling thread
    // between batches of rows (a few milliseconds apart); whatever it throws ends the
    // pass as any error does.
    void inferTypesFrom(std::istream& input, std::uint64_t inputBytes, const std::function<void()>& checkpoint,
                        const StreamOptions& options);
    void inferTypesFrom(std::istream& input, std::uint64_t inputBytes, const std::function<void()>& checkpoint) {
        inferTypesFrom(input, inputBytes, checkpoint, StreamOptions());
    }
    // Per column name, the count of its fields per type name, "other" and "NA".
    std::unordered_map<std::string, CountTable> getColTypeCandidates() const;
    // Data rows of the latest pass (header excluded).
    std::uint64_t getNumRows() const;
    // Fields in the first row of the file, with the current delimiter; 0 if it has none.
    int getNumCols() const;
    // Column names of the latest pass, generated names included.
    std::vector<std::string> getColNames() const;
    // What the latest pass measured, when asked to (StreamOptions::readings): per column
    // name, and per column the data rows too short to reach it.
    const std::unordered_map<std::string, velmira::ColumnMeasure>& getColumnMeasures() const { return measures; }
    const std::vector<std::uint64_t>& getRowsMissingColumn() const { return rowsMissingColumn; }
    const std::string& typeName(TypeIdPublic id) const { return typeNames.at(id); }

    // Configuration: written only by the constructor and the setters.
    std::string filepath;                       // data file, opened anew by every reader
    char delimiter;                             // field separator byte
    CompiledPatterns colTypePatterns;           // type name -> compiled patterns, in given order
    std::unordered_set<std::string> naValues;   // field texts classed "NA"
    bool multithreading;                        // classify column groups on worker threads
    bool saveTypesFile;                         // write the per-row types file
    std::string typesFilepath;                  // where the types file goes
    int rollingCacheWindow;                     // rows between cache flushes; <= 0 never flushes

private:
    // Type names are interned once per object: the hot path moves and counts small
    // integers instead of hashing and copying names. Id 0 is the empty name, which
    // also means "nothing cached", so a type named "" is never cached.
    using TypeId = velmira::ValueCache::Value;
    struct Trial {
        TypeId type;
        const std::vector<velmira::Pattern>* patterns;  // into matchers, stable during a pass
        std::uint32_t slot;  // the type's bit in the pass's prefilter
    };
    struct ColumnGroup;     // the columns of one name within a pass (pass.hpp)
    struct Pass;            // working values of one pass (pass.hpp)
    class ConcurrentPass;   // the threaded pass (concurrent_pass.cpp)

    TypeId intern(const std::string& name);
    // Rebuilds the entries of `matchers` that no longer mirror colTypePatterns, which is a
    // public member and may have been changed without the setter.
    void syncMatchers();
    // `writer`: the calling thread's index among those classifying at once.
    TypeId getColType(std::string_view text, std::uint64_t hash, ColumnGroup& column,
                      const velmira::MarkerSet& markers, velmira::MatchScratch& scratch,
                      std::size_t writer);
    // The part of getColType for a text not in the cache: the column's types are tried.
    __attribute__((noinline)) TypeId matchType(std::string_view text, ColumnGroup& column,
                                               velmira::MatchScratch& scratch, velmira::ValueCache::Slot& entry);
    // The column's types tried in its order, the match swapped to the front; no cache.
    TypeId firstMatch(std::string_view text, ColumnGroup& column, velmira::MatchScratch& scratch);
    // After each batch: which column groups of an exclusive table go without the cache.
    void chooseCacheUse(Pass& pass);
    void runPass(Pass& pass, tessel::csv::CsvParser& parser);
    void readHeader(Pass& pass, const std::vector<std::string>& row);
    void classifyRows(Pass& pass, tessel::csv::CsvParser& parser);
    void addTallies(Pass& pass);
    void keepMeasures(Pass& pass);
    void classifyRowsConcurrently(Pass& pass, tessel::csv::CsvParser& parser);
    template <class TypeAt>
    void finishBatch(Pass& pass, const velmira::RowBatch& batch, std::uint64_t endsAt, TypeAt typeAt);

    // type name -> its patterns, each with its PCRE2 program where admitted; mirrors
    // colTypePatterns, entry by entry. Built with the table, read-only during a pass.
    std::unordered_map<std::string, std::vector<velmira::Pattern>> matchers;
    // The candidates of a text among the pass's types, bit i for the i-th type of the
    // table's iteration order, as the pass's trial orders start. Built at each header.
    velmira::Prefilter prefilter;
    bool workersRunning = false;  // whether worker threads share typeCache right now

    // Working state and results of the latest pass.
    velmira::ValueCache typeCache;  // field text -> TypeId; one for all columns, shared by workers
    std::unordered_map<std::string, std::vector<Trial>> regexOrdering;  // column -> trial order
    std::unordered_map<std::string, CountTable> colTypeCandidates;  // column -> type -> count
    std::uint64_t n = 0;                        // rows of the pass; data rows once it ends
    std::unordered_map<std::string, velmira::ColumnMeasure> measures;  // column name -> its measures
    std::vector<std::uint64_t> rowsMissingColumn;  // column -> data rows narrower than it
    int untitledCols = 0;                       // names generated for empty header cells, ever
    std::vector<std::string> columns;           // column names of the latest header
    std::vector<std::string> typeNames{"", "other", "NA"};  // TypeId -> name; grows only
    std::unordered_map<std::string, TypeId> typeIds{{"", 0}, {"other", 1}, {"NA", 2}};
};
