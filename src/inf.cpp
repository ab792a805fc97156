#include "inf.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string_view>
#include <utility>

#include "csv/parser.hpp"
#include "pass.hpp"

namespace {

using velmira::pass::kNotCached;
using velmira::pass::kOther;
using velmira::pass::scanRows;
using TypeId = velmira::pass::TypeId;

// Opening the types file truncates it, so a types path that names the input
// would destroy the data before a byte of it is read.
void refuseToOverwriteInput(const std::string& dataPath, const std::string& typesPath) {
    struct stat data {}, types {};
    if (::stat(typesPath.c_str(), &types) != 0) return;  // does not exist yet: cannot be the input
    if (::stat(dataPath.c_str(), &data) != 0) return;
    if (data.st_dev == types.st_dev && data.st_ino == types.st_ino) {
        throw std::runtime_error("The types file path '" + typesPath + "' names the data file '" +
                                 dataPath +
                                 "'; writing it would destroy the input. Choose another "
                                 "types file path.");
    }
}

}  // namespace

Inf::TypeId Inf::intern(const std::string& name) {
    if (typeNames.size() > velmira::ValueCache::kMaxValue) {
        throw std::length_error("Too many distinct type names for the value cache");
    }
    auto [it, fresh] = typeIds.emplace(name, static_cast<TypeId>(typeNames.size()));
    if (fresh) typeNames.push_back(name);
    return it->second;
}

Inf::Inf(std::string filepath_, char delimiter_, PatternStrings colTypePatterns_,
         std::unordered_set<std::string> naValues_, bool multithreading_, bool saveTypesFile_,
         std::string typesFilepath_, int rollingCacheWindow_)
    : filepath(std::move(filepath_)),
      delimiter(delimiter_),
      naValues(std::move(naValues_)),
      multithreading(multithreading_),
      saveTypesFile(saveTypesFile_),
      typesFilepath(std::move(typesFilepath_)),
      rollingCacheWindow(rollingCacheWindow_) {
    // Compiled last, so that a bad pattern fails the whole construction.
    setColTypePatterns(std::move(colTypePatterns_));
}

void Inf::setFilepath(std::string value) { filepath = std::move(value); }
void Inf::setDelimiter(char value) { delimiter = value; }
void Inf::setMultithreading(bool value) { multithreading = value; }
void Inf::setSaveTypesFile(bool value) { saveTypesFile = value; }
void Inf::setTypesFilepath(std::string value) { typesFilepath = std::move(value); }
void Inf::setRollingCacheWindow(int value) { rollingCacheWindow = value; }
void Inf::setNaValues(std::unordered_set<std::string> values) { naValues = std::move(values); }

void Inf::setColTypePatterns(PatternStrings patterns) {
    // Cached types were decided by the old table: a type it no longer has must not be
    // counted, nor a text typed by patterns that are gone.
    typeCache.clear();
    colTypePatterns.clear();
    matchers.clear();
    for (auto& [typeName, sources] : patterns) {
        auto& compiled = colTypePatterns[typeName];
        auto& fast = matchers[typeName];
        compiled.reserve(sources.size());
        fast.reserve(sources.size());
        for (const auto& source : sources) {
            compiled.emplace_back(source, boost::regex_constants::normal);
            fast.emplace_back(compiled.back());
        }
    }
}

void Inf::adoptTypeTable(const velmira::TypeTable& table) {
    typeCache.clear();
    colTypePatterns = table.regexes;
    matchers = table.matchers;
}

void Inf::syncMatchers() {
    for (auto it = matchers.begin(); it != matchers.end();) {
        it = colTypePatterns.count(it->first) != 0 ? std::next(it) : matchers.erase(it);
    }
    for (const auto& [typeName, compiled] : colTypePatterns) {
        std::vector<velmira::Pattern>& fast = matchers[typeName];
        bool same = fast.size() == compiled.size();
        for (std::size_t i = 0; same && i < compiled.size(); ++i) same = fast[i].builtFrom(compiled[i]);
        if (same) continue;
        fast.clear();
        for (const boost::regex& re : compiled) fast.emplace_back(re);
    }
}

std::string Inf::getFilepath() const { return filepath; }
char Inf::getDelimiter() const { return delimiter; }
bool Inf::getMultithreading() const { return multithreading; }
bool Inf::getSaveTypesFile() const { return saveTypesFile; }
std::string Inf::getTypesFilepath() const { return typesFilepath; }
int Inf::getRollingCacheWindow() const { return rollingCacheWindow; }
std::unordered_set<std::string> Inf::getNaValues() const { return naValues; }

Inf::PatternStrings Inf::getColTypePatterns() const {
    PatternStrings result;
    for (const auto& [typeName, compiled] : colTypePatterns) {
        auto& sources = result[typeName];
        sources.reserve(compiled.size());
        for (const auto& re : compiled) sources.push_back(re.str());
    }
    return result;
}

Inf::TypeId Inf::matchType(std::string_view text, ColumnGroup& column, velmira::MatchScratch& scratch,
                           velmira::ValueCache::Slot& entry) {
    const TypeId type = firstMatch(text, column, scratch);
    // With workers, another column may have filled the entry meanwhile; its
    // value then stays, and this field keeps its own column's verdict.
    if (workersRunning) {
        velmira::ValueCache::fill(entry, type);
    } else {
        velmira::ValueCache::fillAlone(entry, type);
    }
    return type;
}

Inf::TypeId Inf::firstMatch(std::string_view text, ColumnGroup& column, velmira::MatchScratch& scratch) {
    TypeId type = kOther;
    std::vector<Trial>& order = *column.order;
    // Only the prefilter's candidates can match; tried in the order's sequence, they give
    // what trying every type in turn gives.
    std::vector<std::uint64_t>& candidates = scratch.candidates;
    candidates.resize(prefilter.words());
    prefilter.candidates(text, candidates.data());
    std::vector<std::uint32_t>& places = scratch.places;
    places.clear();
    for (std::size_t w = 0; w < candidates.size(); ++w) {
        for (std::uint64_t bits = candidates[w]; bits != 0; bits &= bits - 1) {
            places.push_back(column.place[w * 64 + static_cast<std::size_t>(__builtin_ctzll(bits))]);
        }
    }
    if (places.size() > 1) std::sort(places.begin(), places.end());
    const bool plain = places.empty() || velmira::plainText(text);
    for (const std::uint32_t ti : places) {
        bool matched = false;
        for (const velmira::Pattern& pattern : *order[ti].patterns) {
            if (pattern.fullMatch(text, plain, scratch)) {
                matched = true;
                break;
            }
        }
        if (!matched) continue;
        type = order[ti].type;
        // Swap with the front, not move to the front: the list's other entries keep
        // their places.
        if (ti > 0) {
            std::swap(order[0], order[ti]);
            column.place[order[0].slot] = 0;
            column.place[order[ti].slot] = ti;
        }
        break;
    }
    return type;
}

// A group whose texts are nearly all new pays for a cache entry per text and gets nothing
// back; with an exclusive table it may go without. Now and then it tries the cache again,
// since a column's texts may start to repeat: after 64 times the texts a decision takes, so
// that the trials cost a column of new texts little, however few rows a batch holds.
void Inf::chooseCacheUse(Pass& pass) {
    const std::uint32_t enough = pass.cacheDecisionTexts;
    const std::uint64_t bypassedBeforeRetry = std::uint64_t{64} * enough;
    for (ColumnGroup& group : pass.groups) {
        if (group.bypass) {
            if (group.lookups < bypassedBeforeRetry) continue;
            group.bypass = false;
            group.lookups = group.misses = 0;
        } else if (group.lookups >= enough) {
            // Fewer than one lookup in eight hits.
            group.bypass = group.misses > group.lookups - group.lookups / 8;
            group.lookups = group.misses = 0;
        }
    }
}

void Inf::inferTypes() {
    n = 0;
    std::ifstream file(filepath, std::ios::binary);
    tessel::csv::CsvParser parser(file);  // throws if the file could not be opened
    parser.delimiter(delimiter);
    Pass pass;
    if (saveTypesFile) {
        refuseToOverwriteInput(filepath, typesFilepath);
        pass.typesFile.open(typesFilepath, false);
    }
    struct stat st {};
    if (::stat(filepath.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
        pass.numCols = static_cast<std::size_t>(std::max(getNumCols(), 0));
        columns.assign(pass.numCols, std::string());
        pass.inputBytes = static_cast<std::uint64_t>(st.st_size);
    } else {
        // A pipe or a device gives its bytes once: a second reader for the width would take
        // some of them from this pass.
        pass.widthFromHeader = true;
    }
    runPass(pass, parser);
}

void Inf::inferTypesFrom(std::istream& input, std::uint64_t inputBytes, const std::function<void()>& checkpoint,
                         const StreamOptions& options) {
    n = 0;
    tessel::csv::CsvParser parser(input);
    parser.delimiter(delimiter).quote(options.quote);
    if (options.blankRuns) parser.blank_runs();
    if (options.lfRows) parser.lf_rows();
    parser.max_field_size(options.maxFieldSize);
    Pass pass;
    pass.checkpoint = &checkpoint;
    pass.inputBytes = inputBytes;
    pass.widthFromHeader = true;
    pass.shapes = options.shapes;
    pass.exclusive = options.exclusiveTypes;
    pass.cacheDecisionTexts = std::max<std::uint32_t>(1, options.cacheDecisionTexts);
    pass.readingsByName = options.readings;
    if (saveTypesFile) pass.typesFile.open(typesFilepath, options.strictTypesFile);
    runPass(pass, parser);
}

void Inf::runPass(Pass& pass, tessel::csv::CsvParser& parser) {
    pass.window = rollingCacheWindow > 0 ? static_cast<std::uint64_t>(rollingCacheWindow) : 0;
    for (const std::string& marker : naValues) pass.markers.add(marker);

    auto header = parser.end();
    try {
        header = parser.begin();
    } catch (tessel::csv::FieldTooLong& e) {
        e.row = 1;
        throw;
    }
    if (header != parser.end()) {
        if (pass.widthFromHeader) {
            pass.numCols = header->size();
            columns.assign(pass.numCols, std::string());
        }
        readHeader(pass, *header);
        // A header of more than one field repeated inside the data is no row of it.
        if (pass.shapes != nullptr && header->size() > 1) pass.shapes->header = *header;
        ++n;
        if (pass.atWindowBoundary(n)) typeCache.clear();
        // Counts are added to the tables as the rows end normally, and also when an
        // error ends the pass: what the rows before it counted stays counted.
        try {
            if (multithreading && !pass.groups.empty()) {
                classifyRowsConcurrently(pass, parser);
            } else {
                classifyRows(pass, parser);
            }
        } catch (...) {
            addTallies(pass);
            throw;
        }
        addTallies(pass);
        keepMeasures(pass);
    } else if (pass.widthFromHeader) {
        columns.clear();
    }
    pass.typesFile.close();
    if (n > 0) --n;  // the header is not a data row; no row at all stays 0
}

void Inf::readHeader(Pass& pass, const std::vector<std::string>& row) {
    syncMatchers();
    // Slots in the table's iteration order, which is every new trial order's.
    std::vector<const std::vector<velmira::Pattern>*> slots;
    slots.reserve(colTypePatterns.size());
    for (const auto& entry : colTypePatterns) slots.push_back(&matchers.at(entry.first));
    prefilter = velmira::Prefilter(slots);
    std::vector<std::uint32_t> firstPlaces(slots.size());
    for (std::size_t i = 0; i < firstPlaces.size(); ++i) firstPlaces[i] = static_cast<std::uint32_t>(i);
    // Fields beyond the column count have no column: they are ignored.
    const std::size_t width = std::min(row.size(), pass.numCols);
    for (std::size_t c = 0; c < width; ++c) {
        std::string name = row[c];
        if (name.empty()) name = "Unitled_" + std::to_string(++untitledCols);
        CountTable& counts = colTypeCandidates[name];
        counts = CountTable();
        std::vector<Trial>& order = regexOrdering[name];
        order.clear();
        for (const auto& [typeName, patterns] : colTypePatterns) {
            counts[typeName] = 0;
            order.push_back(Trial{intern(typeName), &matchers.at(typeName), static_cast<std::uint32_t>(order.size())});
        }
        counts["other"] = 0;
        counts["NA"] = 0;
        pass.typesFile.entry(c, velmira::typesFileEntry(name));
        columns[c] = std::move(name);
    }
    pass.typesFile.endLine();

    // Columns of one name share their tables, so they are classified as one group.
    std::unordered_map<std::string, std::size_t> groupByName;
    pass.groupOf.assign(pass.numCols, 0);
    for (std::size_t c = 0; c < pass.numCols; ++c) {
        auto [it, fresh] = groupByName.emplace(columns[c], pass.groups.size());
        if (fresh) {
            pass.groups.push_back(
                ColumnGroup{&regexOrdering[columns[c]], &colTypeCandidates[columns[c]], nullptr, {}, firstPlaces, nullptr, false, 0, 0});
        }
        pass.groups[it->second].cols.push_back(c);
        pass.groupOf[c] = it->second;
    }
    // No type name is interned during the data rows, so a row of typeNames.size() counts
    // suffices; rows are rounded up to whole 64-byte lines and the block aligned to one.
    constexpr std::size_t kLine = 64 / sizeof(std::uint64_t);
    const std::size_t stride = (typeNames.size() + kLine - 1) / kLine * kLine;
    pass.tallies.assign(pass.groups.size() * stride + kLine, 0);
    std::uint64_t* base = pass.tallies.data();
    while (reinterpret_cast<std::uintptr_t>(base) % 64 != 0) ++base;
    for (std::size_t g = 0; g < pass.groups.size(); ++g) pass.groups[g].tally = base + g * stride;
    if (pass.readingsByName != nullptr) {
        pass.readings.assign(typeNames.size(), velmira::Reading());
        for (const auto& [name, reading] : *pass.readingsByName) {
            const auto id = typeIds.find(name);
            if (id != typeIds.end()) pass.readings[id->second] = reading;
        }
        pass.measures.assign(pass.groups.size(), velmira::ColumnMeasure());
        for (std::size_t g = 0; g < pass.groups.size(); ++g) {
            pass.measures[g].setReadings(&pass.readings);
            pass.groups[g].measure = &pass.measures[g];
        }
        pass.rowsOfWidth.assign(pass.numCols, 0);
    }
    pass.typeTexts.clear();
    for (const std::string& name : typeNames) pass.typeTexts.push_back(velmira::typesFileEntry(name));
}

void Inf::keepMeasures(Pass& pass) {
    measures.clear();
    rowsMissingColumn.clear();
    if (pass.measures.empty()) return;
    for (std::size_t g = 0; g < pass.groups.size(); ++g) {
        velmira::ColumnMeasure& m = pass.measures[g];
        m.setReadings(nullptr);
        measures[columns[pass.groups[g].cols.front()]] = std::move(m);
    }
    // A row of width w lacks every column from w on.
    rowsMissingColumn.assign(pass.numCols, 0);
    std::uint64_t narrower = 0;
    for (std::size_t c = 0; c < pass.numCols; ++c) {
        narrower += pass.rowsOfWidth[c];
        rowsMissingColumn[c] = narrower;
    }
}

void Inf::addTallies(Pass& pass) {
    for (ColumnGroup& group : pass.groups) {
        for (std::size_t id = 0; id < typeNames.size(); ++id) {
            if (group.tally[id] == 0) continue;
            (*group.counts)[typeNames[id]] += group.tally[id];
            group.tally[id] = 0;
        }
    }
}

// Rows are tokenized into a batch of views of the tokenizer's block and classified when the
// batch is full or the block is about to be replaced, whichever comes first. The slot of a
// lookup a few fields ahead is fetched early, so that the cache misses of many distinct texts
// overlap.
void Inf::classifyRows(Pass& pass, tessel::csv::CsvParser& parser) {
    const std::size_t numCols = pass.numCols;
    velmira::RowBatch batch(numCols, pass.batchRows());
    velmira::MatchScratch scratch;
    std::vector<TypeId> types(batch.maxRows * numCols);  // row-major, as the batch's cells
    auto classify = [&] {
        constexpr std::size_t kAhead = 16;
        const std::size_t total = batch.rows * numCols;
        typeCache.reserve(total);
        for (std::size_t i = 0; i < std::min(kAhead, total); ++i) typeCache.prefetch(batch.cells[i].hash);
        for (std::size_t r = 0; r < batch.rows; ++r) {
            for (std::size_t c = 0; c < batch.widths[r]; ++c) {
                const std::size_t i = r * numCols + c;
                if (i + kAhead < total && !pass.groups[pass.groupOf[(i + kAhead) % numCols]].bypass) {
                    typeCache.prefetch(batch.cells[i + kAhead].hash);
                }
                const velmira::Cell& cell = batch.cells[i];
                types[i] = getColType(cell.text(), cell.hash, pass.groups[pass.groupOf[c]], pass.markers, scratch, 0);
            }
        }
        const auto endsAt = static_cast<std::uint64_t>(std::max<std::streamoff>(parser.position(), 0));
        finishBatch(pass, batch, endsAt, [&](std::size_t r, std::size_t c) { return types[r * numCols + c]; });
        batch.clear();
    };
    velmira::BatchFiller filler(batch, false, classify, n, pass.window, pass.shapes);
    for (bool more = true; more;) {
        more = scanRows(parser, filler);
        classify();
    }
}

std::unordered_map<std::string, Inf::CountTable> Inf::getColTypeCandidates() const { return colTypeCandidates; }

std::uint64_t Inf::getNumRows() const { return n; }

int Inf::getNumCols() const {
    std::ifstream file(filepath, std::ios::binary);
    tessel::csv::CsvParser parser(file);
    parser.delimiter(delimiter);
    auto first = parser.begin();
    return first != parser.end() ? static_cast<int>(first->size()) : 0;
}

std::vector<std::string> Inf::getColNames() const { return columns; }
