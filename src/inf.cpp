#include "inf.hpp"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <functional>
#include <iterator>
#include <stdexcept>
#include <string_view>
#include <thread>
#include <utility>

#include "csv/parser.hpp"
#include "row_batch.hpp"
#include "worker_pool.hpp"

namespace {

using TypeId = velmira::ValueCache::Value;
constexpr TypeId kNotCached = 0;  // interned ids of "", "other" and "NA", fixed by Inf
constexpr TypeId kOther = 1;
constexpr TypeId kNA = 2;

// One entry of the types file. Names holding the separator, a quote or a line
// break are quoted CSV-style, so that they cannot shift columns or lines; every
// other name is written as it is.
std::string typesFileEntry(const std::string& name) {
    if (name.find_first_of(",\"\r\n") == std::string::npos) return name;
    std::string quoted = "\"";
    for (char ch : name) {
        if (ch == '"') quoted += '"';
        quoted += ch;
    }
    quoted += '"';
    return quoted;
}

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

// The types file, buffered in large blocks. Rows completed before a failure are
// still written, since the destructor flushes. By default a file that cannot be opened
// or written is not reported: every write then goes nowhere. A strict file (the
// package's pass) throws TypesFileError instead, from open, a write or the close, so
// that a full disk is never taken for a complete file.
class TypesFile {
public:
    TypesFile() = default;
    TypesFile(const TypesFile&) = delete;
    TypesFile& operator=(const TypesFile&) = delete;
    ~TypesFile() {
        try {
            flush();
        } catch (const TypesFileError&) {
            // Only while an error unwinds the pass; that error is the one reported.
        }
        if (fd_ >= 0) ::close(fd_);
    }

    void open(const std::string& path, bool strict) {
        path_ = path;
        strict_ = strict;
        fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (fd_ < 0) fail(errno);
    }
    bool enabled() const { return fd_ >= 0; }

    void entry(std::size_t position, const std::string& text) {
        if (position > 0) buffer_ += ',';
        buffer_ += text;
    }
    void endLine() {
        buffer_ += '\n';
        if (buffer_.size() >= kFlushAt) flush();
    }
    void close() {
        flush();
        if (fd_ < 0) return;
        const int fd = fd_;
        fd_ = -1;
        if (::close(fd) != 0 && errno != EINTR) fail(errno);
    }

private:
    static constexpr std::size_t kFlushAt = std::size_t{1} << 16;
    void flush() {
        const char* data = buffer_.data();
        std::size_t left = fd_ >= 0 ? buffer_.size() : 0;
        while (left > 0) {
            const ssize_t n = ::write(fd_, data, left);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                const int error = n < 0 ? errno : EIO;
                buffer_.clear();
                ::close(fd_);
                fd_ = -1;
                fail(error);
                return;
            }
            data += n;
            left -= static_cast<std::size_t>(n);
        }
        buffer_.clear();
    }
    void fail(int error) {
        if (strict_) throw TypesFileError(error, path_);
    }

    std::string path_;
    std::string buffer_;
    int fd_ = -1;          // open file, or -1: closed, never opened, or given up on
    bool strict_ = false;  // report failures instead of dropping the file's lines
};

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

}  // namespace

// The columns that share one name: they share one ordering list and one count table.
struct Inf::ColumnGroup {
    std::vector<Trial>* order;   // regexOrdering[name]
    CountTable* counts;          // colTypeCandidates[name]
    // Counts by TypeId not yet added to `counts`: a row of Pass::tallies, on cache
    // lines of its own, so that workers counting different groups never share a line.
    std::uint64_t* tally;
    std::vector<std::size_t> cols;  // column indexes, ascending
};

struct Inf::Pass {
    std::size_t numCols = 0;
    std::uint64_t window = 0;              // rows between cache flushes; 0 = never
    velmira::MarkerSet markers;            // naValues, hashed like the cache
    std::vector<ColumnGroup> groups;
    std::vector<std::uint64_t> tallies;    // the groups' pending counts, one aligned row each
    std::vector<std::size_t> groupOf;      // column -> index into groups
    std::vector<std::string> typeTexts;    // TypeId -> its types file entry
    TypesFile typesFile;

    // Called after every row, header included: the cache is flushed on the
    // window's row boundaries, with the header counted as row 1.
    bool atWindowBoundary(std::uint64_t rowsDone) const { return window != 0 && rowsDone % window == 0; }
    std::uint64_t inputBytes = 0;          // the input's size, when known
    // Whether the input is read once, its width taken from the header row the pass reads
    // (a stream, or a path that is not a regular file and so cannot be read twice).
    bool widthFromHeader = false;
    bool cacheSized = false;               // whether presizeCache has looked at the first batch
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

// Classifies one field: NA marker first, then the cache, then the column's types
// in its current trial order, stopping at the first whole-field match. The cache hit
// is the common case and is kept small enough to inline into the pass's loops.
__attribute__((always_inline)) inline Inf::TypeId Inf::getColType(std::string_view text, std::uint64_t hash,
                                                                  ColumnGroup& column,
                                                                  const velmira::MarkerSet& markers,
                                                                  velmira::MatchScratch& scratch,
                                                                  std::size_t writer) {
    // Every text seen gets a cache entry, markers included; a marker's stays empty.
    velmira::ValueCache::Slot& entry = typeCache.findOrInsert(text, hash, writer);
    TypeId type;
    if (markers.contains(text, hash)) {
        type = kNA;
    } else {
        type = entry.value();
        if (type == kNotCached) type = matchType(text, column, scratch, entry);
    }
    ++column.tally[type];
    return type;
}

Inf::TypeId Inf::matchType(std::string_view text, ColumnGroup& column, velmira::MatchScratch& scratch,
                           velmira::ValueCache::Slot& entry) {
    TypeId type = kOther;
    std::vector<Trial>& order = *column.order;
    const bool plain = velmira::plainText(text);
    bool matched = false;
    for (std::size_t ti = 0; ti < order.size() && !matched; ++ti) {
        for (const velmira::Pattern& pattern : *order[ti].patterns) {
            if (pattern.fullMatch(text, plain, scratch)) {
                type = order[ti].type;
                // Swap with the front, not move to the front: the list's other
                // entries keep their places.
                if (ti > 0) std::swap(order[0], order[ti]);
                matched = true;
                break;
            }
        }
    }
    // With workers, another column may have filled the entry meanwhile; its
    // value then stays, and this field keeps its own column's verdict.
    velmira::ValueCache::fill(entry, type);
    return type;
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
    parser.delimiter(delimiter);
    parser.max_field_size(options.maxFieldSize);
    Pass pass;
    pass.checkpoint = &checkpoint;
    pass.inputBytes = inputBytes;
    pass.widthFromHeader = true;
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
    } else if (pass.widthFromHeader) {
        columns.clear();
    }
    pass.typesFile.close();
    if (n > 0) --n;  // the header is not a data row; no row at all stays 0
}

void Inf::readHeader(Pass& pass, const std::vector<std::string>& row) {
    syncMatchers();
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
            order.push_back(Trial{intern(typeName), &matchers.at(typeName)});
        }
        counts["other"] = 0;
        counts["NA"] = 0;
        pass.typesFile.entry(c, typesFileEntry(name));
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
                ColumnGroup{&regexOrdering[columns[c]], &colTypeCandidates[columns[c]], nullptr, {}});
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
    pass.typeTexts.clear();
    for (const std::string& name : typeNames) pass.typeTexts.push_back(typesFileEntry(name));
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
    std::vector<TypeId> types(numCols);
    const bool writing = pass.typesFile.enabled();
    auto classify = [&] {
        constexpr std::size_t kAhead = 16;
        const std::size_t total = batch.rows * numCols;
        typeCache.reserve(total);
        for (std::size_t i = 0; i < std::min(kAhead, total); ++i) typeCache.prefetch(batch.cells[i].hash);
        for (std::size_t r = 0; r < batch.rows; ++r) {
            const std::size_t width = batch.widths[r];
            for (std::size_t c = 0; c < width; ++c) {
                const std::size_t i = r * numCols + c;
                if (i + kAhead < total) typeCache.prefetch(batch.cells[i + kAhead].hash);
                const velmira::Cell& cell = batch.cells[i];
                types[c] = getColType(cell.text(), cell.hash, pass.groups[pass.groupOf[c]], pass.markers, scratch, 0);
            }
            if (writing) {
                for (std::size_t c = 0; c < width; ++c) pass.typesFile.entry(c, pass.typeTexts[types[c]]);
                pass.typesFile.endLine();
            }
            ++n;
            if (pass.atWindowBoundary(n)) typeCache.clear();
        }
        pass.presizeCache(typeCache, total, static_cast<std::uint64_t>(std::max<std::streamoff>(parser.position(), 0)));
        batch.clear();
        pass.check();
    };
    velmira::BatchFiller filler(batch, false, classify, n, pass.window);
    for (bool more = true; more;) {
        more = scanRows(parser, filler);
        classify();
    }
}

// Rows are read in batches that never straddle a cache-window boundary. While the
// workers classify one batch, column group by column group, the calling thread
// tokenizes the next, into bytes of the batch's own. The cache is flushed between
// batches, when no worker runs.
void Inf::classifyRowsConcurrently(Pass& pass, tessel::csv::CsvParser& parser) {
    struct Failure {
        std::size_t row = SIZE_MAX;
        std::size_t col = SIZE_MAX;
        std::exception_ptr error;
    };

    const std::size_t numCols = pass.numCols;
    // Larger batches than a single thread uses: each costs the workers a wake-up.
    const std::size_t batchRows = 4 * pass.batchRows();
    velmira::RowBatch batches[2] = {{numCols, batchRows}, {numCols, batchRows}};
    std::vector<TypeId> types[2];  // column-major, so that workers write apart
    for (auto& t : types) t.resize(batchRows * numCols);
    std::uint64_t rowsRead = n;  // header included, like n
    bool exhausted = false;
    auto fill = [&](velmira::RowBatch& b) {
        b.clear();
        if (exhausted) return;
        velmira::BatchFiller filler(b, true, [] {}, rowsRead, pass.window);
        exhausted = !scanRows(parser, filler);
        filler.keepViews();
        rowsRead += b.rows;
        b.endsAt = static_cast<std::uint64_t>(std::max<std::streamoff>(parser.position(), 0));
    };

    int cur = 0;
    // The calling thread classifies too once it has read the next batch, so the pool
    // holds one thread fewer than the machine runs at once (and no more than there
    // are column groups to hand out).
    const unsigned hardware = std::thread::hardware_concurrency();
    const std::size_t threads = std::min<std::size_t>(pass.groups.size(), hardware == 0 ? 2 : hardware);
    const std::size_t poolThreads = std::max<std::size_t>(threads, 2) - 1;
    const std::size_t workers = poolThreads + 1;  // the last index is the calling thread's
    std::vector<Failure> failures(workers);
    struct alignas(64) Scratch {
        velmira::MatchScratch match;
        std::vector<std::uint64_t> hashes;  // the hashes of the rows ahead, a ring
    };
    std::vector<Scratch> scratch(workers);
    typeCache.setWriters(workers);
    // The calling thread only tokenizes; hashing is left to the workers, who hash a few rows
    // ahead of their lookups and fetch those slots early, to overlap the cache misses.
    constexpr std::size_t kAhead = 8;
    // Tasks are handed out costliest first, by what each group took in the round before,
    // so that a round does not end with one worker still busy on a long task alone.
    std::vector<std::size_t> order(pass.groups.size());
    std::vector<std::uint64_t> cost(pass.groups.size(), 0);  // ns in the last round; one writer each
    for (std::size_t g = 0; g < order.size(); ++g) order[g] = g;
    auto job = [&](std::size_t worker, std::size_t slot) {
        const std::size_t task = order[slot];
        const auto started = std::chrono::steady_clock::now();
        ColumnGroup& group = pass.groups[task];
        const velmira::RowBatch& b = batches[cur];
        std::vector<TypeId>& out = types[cur];
        std::vector<std::uint64_t>& ring = scratch[worker].hashes;
        const std::size_t width = group.cols.size();
        ring.resize((kAhead + 1) * width);
        auto hashRow = [&](std::size_t row) {
            std::uint64_t* hashes = &ring[(row % (kAhead + 1)) * width];
            for (std::size_t k = 0; k < width; ++k) {
                const std::size_t col = group.cols[k];
                if (col >= b.widths[row]) break;
                const velmira::Cell& cell = b.at(row, col);
                hashes[k] = velmira::hashReadable(cell.data, cell.size);
                typeCache.prefetch(hashes[k]);
            }
        };
        std::size_t r = 0, c = 0;
        try {
            for (r = 0; r < std::min(kAhead, b.rows); ++r) hashRow(r);
            for (r = 0; r < b.rows; ++r) {
                if (r + kAhead < b.rows) hashRow(r + kAhead);
                const std::uint64_t* hashes = &ring[(r % (kAhead + 1)) * width];
                for (std::size_t k = 0; k < width; ++k) {
                    c = group.cols[k];
                    if (c >= b.widths[r]) break;
                    out[c * batchRows + r] = getColType(b.at(r, c).text(), hashes[k], group, pass.markers,
                                                        scratch[worker].match, worker);
                }
            }
        } catch (...) {
            // Keep the failure the single-threaded order would have met first.
            Failure& f = failures[worker];
            if (r < f.row || (r == f.row && c < f.col)) f = Failure{r, c, std::current_exception()};
        }
        cost[task] = static_cast<std::uint64_t>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - started).count());
    };
    velmira::WorkerPool pool(poolThreads, job);  // declared after everything its workers touch

    fill(batches[cur]);
    while (batches[cur].rows > 0) {
        const velmira::RowBatch& current = batches[cur];
        typeCache.reserve(current.rows * numCols);  // the table must not grow under the workers
        pool.start(pass.groups.size());
        fill(batches[cur ^ 1]);
        pool.help(workers - 1);
        pool.wait();
        const Failure* first = nullptr;
        for (const Failure& f : failures) {
            if (f.error && (!first || f.row < first->row || (f.row == first->row && f.col < first->col))) {
                first = &f;
            }
        }
        if (first) std::rethrow_exception(first->error);

        if (pass.typesFile.enabled()) {
            for (std::size_t r = 0; r < current.rows; ++r) {
                for (std::size_t c = 0; c < current.widths[r]; ++c) {
                    pass.typesFile.entry(c, pass.typeTexts[types[cur][c * batchRows + r]]);
                }
                pass.typesFile.endLine();
            }
        }
        n += current.rows;
        if (pass.atWindowBoundary(n)) typeCache.clear();
        std::stable_sort(order.begin(), order.end(), [&](std::size_t x, std::size_t y) { return cost[x] > cost[y]; });
        // The tokenizer is a batch ahead: the input this batch came from ends where it ended.
        pass.presizeCache(typeCache, current.rows * numCols, current.endsAt);
        cur ^= 1;
        pass.check();
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
