// The working values of one pass of Inf, shared by the single-threaded pass (inf.cpp) and the
// threaded one (concurrent_pass.cpp): the column groups with their pending counts, the types
// file, the cache window, and the steps both take per field and per batch.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "csv/parser.hpp"
#include "inf.hpp"
#include "row_batch.hpp"
#include "types_file.hpp"
#include "value_cache.hpp"

// A text is hashed where it lies, reading whole words past its end: the tokenizer's block
// must leave at least that much room after its bytes.
static_assert(tessel::csv::CsvParser::INPUTBUF_SLACK >= static_cast<int>(velmira::kReadableSlack),
              "the tokenizer's block must keep the room the hash reads past a text");

namespace velmira {
namespace pass {

using TypeId = ValueCache::Value;
constexpr TypeId kNotCached = 0;  // interned ids of "", "other" and "NA", fixed by Inf
constexpr TypeId kOther = 1;
constexpr TypeId kNA = 2;

// The tokenizer's scan into a batch; a field too long for the pass is reported with its row.
template <class Filler>
bool scanRows(tessel::csv::CsvParser& parser, Filler& filler) {
    try {
        return parser.scan_rows(filler);
    } catch (tessel::csv::FieldTooLong& e) {
        e.row = filler.currentRow();
        throw;
    }
}

}  // namespace pass
}  // namespace velmira

// The columns that share one name: they share one ordering list and one count table.
struct Inf::ColumnGroup {
    std::vector<Trial>* order;   // regexOrdering[name]
    CountTable* counts;          // colTypeCandidates[name]
    // Counts by TypeId not yet added to `counts`: a row of Pass::tallies, on cache
    // lines of its own, so that workers counting different groups never share a line.
    std::uint64_t* tally;
    std::vector<std::size_t> cols;  // column indexes, ascending
    // Prefilter slot -> its place in *order, kept in step with every swap, so that a text's
    // few candidates are tried in the order's sequence without walking the whole order.
    std::vector<std::uint32_t> place;
    // Whether the group's texts skip the value cache (exclusive tables only), and what
    // decides it: the cache's lookups and misses in the group since the last decision.
    velmira::ColumnMeasure* measure = nullptr;  // when the pass measures: the group's
    bool bypass = false;
    std::uint32_t lookups = 0;  // while bypassing: the texts classified without it
    std::uint32_t misses = 0;
};

struct Inf::Pass {
    std::size_t numCols = 0;
    std::uint64_t window = 0;              // rows between cache flushes; 0 = never
    velmira::MarkerSet markers;            // naValues, hashed like the cache
    std::vector<ColumnGroup> groups;
    std::vector<std::uint64_t> tallies;    // the groups' pending counts, one aligned row each
    std::vector<std::size_t> groupOf;      // column -> index into groups
    std::vector<std::string> typeTexts;    // TypeId -> its types file entry
    velmira::TypesFile typesFile;

    // Called after every row, header included: the cache is flushed on the
    // window's row boundaries, with the header counted as row 1.
    bool atWindowBoundary(std::uint64_t rowsDone) const { return window != 0 && rowsDone % window == 0; }
    std::uint64_t inputBytes = 0;          // the input's size, when known
    // Whether the input is read once, its width taken from the header row the pass reads
    // (a stream, or a path that is not a regular file and so cannot be read twice).
    bool widthFromHeader = false;
    velmira::RowShapes* shapes = nullptr;  // odd rows' counts, for a pass that keeps them
    bool cacheSized = false;               // whether presizeCache has looked at the first batch
    bool exclusive = false;                // no text matches two types (StreamOptions)
    std::uint32_t cacheDecisionTexts = 1024;
    // Measuring: type name -> how to read it, then by type id; the groups' measures; the
    // data rows of each width below the header's.
    const std::unordered_map<std::string, velmira::Reading>* readingsByName = nullptr;
    std::vector<velmira::Reading> readings;
    std::vector<velmira::ColumnMeasure> measures;
    std::vector<std::uint64_t> rowsOfWidth;
    // For a pass over a stream: called between batches, in the calling thread, so that the
    // caller can report progress and stop the pass by throwing. Null for inferTypes.
    const std::function<void()>* checkpoint = nullptr;
    void check() const {
        if (checkpoint != nullptr) (*checkpoint)();
    }

    // Rows in a batch: enough to overlap the cache misses of its lookups, few enough to stay
    // in the processor's caches.
    std::size_t batchRows() const { return std::max<std::size_t>(1, (std::size_t{1} << 14) / numCols); }

    // Once, after the first batch: where most texts are new, the cache is grown at once to
    // what the window (or the whole input, if smaller) will hold at the rate seen so far,
    // instead of doubling its way there, each doubling touching fresh memory and moving
    // every key. `fields` texts from `bytes` bytes of input gave the cache its entries.
    void presizeCache(velmira::ValueCache& cache, std::uint64_t fields, std::uint64_t bytes) {
        if (cacheSized || fields == 0) return;
        cacheSized = true;
        const double rate = static_cast<double>(cache.size()) / static_cast<double>(fields);
        if (rate < 0.25) return;  // texts repeat: the table stays small
        double expected = window != 0 ? static_cast<double>(window) * static_cast<double>(numCols) : 1e18;
        if (inputBytes != 0 && bytes != 0) {
            expected = std::min(expected, static_cast<double>(inputBytes) * static_cast<double>(fields) /
                                              static_cast<double>(bytes));
        } else if (window == 0) {
            return;  // nothing bounds the guess
        }
        // Early rows hold more new texts than later ones, so the guess tends to be high;
        // a low one would cost a doubling, which moves every key, late in the pass. A guess
        // beyond 16 million keys (a 128 MiB table) is left to doublings: it may be wrong.
        expected = std::min(expected * rate, static_cast<double>(std::size_t{1} << 24));
        const auto entries = static_cast<std::size_t>(expected);
        if (entries > cache.size()) cache.reserve(entries - cache.size());
    }
};

// Classifies one field: NA marker first, then the cache, then the column's types
// in its current trial order, stopping at the first whole-field match. The cache hit
// is the common case and is kept small enough to inline into the pass's loops.
__attribute__((always_inline)) inline Inf::TypeId Inf::getColType(std::string_view text, std::uint64_t hash,
                                                                  ColumnGroup& column,
                                                                  const velmira::MarkerSet& markers,
                                                                  velmira::MatchScratch& scratch,
                                                                  std::size_t writer) {
    TypeId type;
    if (column.bypass) {
        // Only for tables where the cache cannot change a text's type (chooseCacheUse).
        type = markers.contains(text, hash) ? velmira::pass::kNA : firstMatch(text, column, scratch);
        ++column.lookups;  // here: texts classified without the cache
        ++column.tally[type];
        if (column.measure != nullptr && type != velmira::pass::kNA) column.measure->observe(type, text, nullptr, 0, 0);
        return type;
    }
    // Every text seen gets a cache entry, markers included; a marker's stays empty.
    velmira::ValueCache::Slot& entry = typeCache.findOrInsert(text, hash, writer);
    if (markers.contains(text, hash)) {
        type = velmira::pass::kNA;
    } else {
        ++column.lookups;
        type = entry.value();
        if (type == velmira::pass::kNotCached) {
            ++column.misses;
            type = matchType(text, column, scratch, entry);
        }
    }
    ++column.tally[type];
    if (column.measure != nullptr && type != velmira::pass::kNA) {
        column.measure->observe(type, text, &entry, hash, typeCache.generation());
    }
    return type;
}

// The end of a batch, alike for both passes: the rows' lines of the types file, the row
// count, the cache window (a batch never straddles one: the tokenizer stops after a row that
// ends a window), the cache's sizing after the first batch, and the caller's checkpoint.
// `typeAt(row, col)` is the type the batch's field got; `endsAt` is where its input ended.
template <class TypeAt>
void Inf::finishBatch(Pass& pass, const velmira::RowBatch& batch, std::uint64_t endsAt, TypeAt typeAt) {
    if (pass.typesFile.enabled()) {
        for (std::size_t r = 0; r < batch.rows; ++r) {
            for (std::size_t c = 0; c < batch.widths[r]; ++c) pass.typesFile.entry(c, pass.typeTexts[typeAt(r, c)]);
            pass.typesFile.endLine();
        }
    }
    if (!pass.rowsOfWidth.empty()) {
        for (std::size_t r = 0; r < batch.rows; ++r) {
            if (batch.widths[r] < pass.numCols) ++pass.rowsOfWidth[batch.widths[r]];
        }
    }
    n += batch.rows;
    if (pass.atWindowBoundary(n)) typeCache.clear();
    if (pass.exclusive) chooseCacheUse(pass);
    pass.presizeCache(typeCache, batch.rows * pass.numCols, endsAt);
    pass.check();
}
