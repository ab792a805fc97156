// BatchReader: the typed reader's pass. It reads a table again through the tokenizer, with
// the dialect the profile found, and turns each field into its column's Arrow value as the
// row is read, into batches of bounded size.
//
// Rows are the rows the inference pass counted: blank lines, comment lines and repeats of
// the header are no rows; fields beyond the header's width have no column; a row short of
// the header's width has nulls for the fields it lacks. A missing-value marker is null.
// A text its column does not take (where the column's verdict allows strays, or the file
// changed since it was profiled) is null and counted per column, or stops the pass with
// ConversionError when asked to. Memory is bounded by one batch: at most `batchRows` rows
// and 8M fields (so a wide table's batches hold fewer rows), ended early once its text
// passes `batchBytes`.
#pragma once

#include <cstdint>
#include <functional>
#include <istream>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "arrow/c_abi.hpp"
#include "arrow/columns.hpp"
#include "convert/datetime.hpp"
#include "convert/numbers.hpp"
#include "csv/parser.hpp"
#include "input/input.hpp"
#include "match/matcher.hpp"

namespace velmira {
namespace arrow {

// How one column's texts become values.
struct ColumnPlan {
    // The probes read a column for what decides its type, and build nothing.
    enum class Kind : std::uint8_t {
        Int64, Float64, Decimal, Bool, Date, Timestamp, Time, Text, ZoneProbe, DecimalProbe, Skip
    };
    Kind kind = Kind::Text;
    ColumnType type = ColumnType::Utf8;
    int precision = 0;                             // Decimal
    int scale = 0;
    convert::NumberFormat number;                  // Int64 (its group), Float64, Decimal
    bool isoForm = false;                          // Timestamp, Time: the ISO shapes, no format
    convert::DateFormat format;                    // Date, and Timestamp and Time without isoForm
    std::shared_ptr<const convert::BoolWords> words;
    // The patterns of the types the column takes; a text none of them matches is refused
    // before it is converted. Empty: not checked (every text was of the column's types).
    std::vector<const Pattern*> accepted;
    bool zoned = false;                            // Time: values carry a zone (kept in UTC)
};

enum class TextEncoding : std::uint8_t { Utf8, Latin1, Cp1252 };

struct ReaderOptions {
    char delimiter = ',';
    char quote = '"';
    bool blankRuns = false;
    bool lfRows = false;
    int comment = -1;                  // a data row whose first byte is this is left out; -1: none
    std::size_t maxFieldSize = 0;      // 0: no limit
    std::vector<std::string> naValues;
    TextEncoding encoding = TextEncoding::Utf8;
    bool raiseOnError = false;
    std::size_t batchRows = 65536;
    std::size_t batchBytes = std::size_t{64} << 20;
};

// Per column, what the pass met besides values.
struct ColumnCounts {
    std::uint64_t errors = 0;          // texts made null because the column does not take them
    std::uint64_t firstErrorRow = 0;
    std::string firstError;            // the first such text, cut to 60 bytes
    std::uint64_t replaced = 0;        // texts whose invalid UTF-8 was replaced by U+FFFD
    std::uint64_t zoned = 0;           // ZoneProbe: ISO values with a zone,
    std::uint64_t naive = 0;           //   and without, and times of 24:00, which no
    std::uint64_t endOfDay = 0;        //   time64 holds
    int whole = 0;                     // DecimalProbe: the most digits before the point,
    int scale = 0;                     //   and after it,
    std::uint64_t exponents = 0;       //   and the values written with an exponent,
    std::uint64_t beyondInt64 = 0;     //   and the integers int64 cannot hold
};

// A text its column does not take, with on_error="raise".
class ConversionError : public std::runtime_error {
public:
    ConversionError(std::uint64_t row_, std::size_t column_, std::string text_)
        : std::runtime_error("a value its column does not take"), row(row_), column(column_), text(std::move(text_)) {}
    std::uint64_t row;      // 1-based, the header being row 1
    std::size_t column;
    std::string text;
};

// The header row is not the one the profile read.
class HeaderMismatch : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class BatchReader {
public:
    // `input` must stand at the header row. `names` are the columns' names as exported.
    BatchReader(std::unique_ptr<Input> input, std::vector<std::string> names, std::vector<ColumnPlan> plans,
                ReaderOptions options);
    ~BatchReader();
    BatchReader(const BatchReader&) = delete;
    BatchReader& operator=(const BatchReader&) = delete;

    // The schema of every batch.
    void schema(ArrowSchema* out) const;
    // The next batch into `out`; false once the input is used up (`out` untouched). The
    // header is read by the first call, which throws HeaderMismatch for a header of another
    // width than the names'.
    bool next(ArrowArray* out);
    // Reads to the end without building anything: what ZoneProbe columns count.
    void drain();

    const std::vector<ColumnCounts>& counts() const { return counts_; }
    std::uint64_t rows() const { return rows_; }
    Input& input() { return *input_; }


private:
    class Sink;
    bool fill(bool build);
    void convertRow(bool build);
    void convertField(std::size_t column, std::string_view text, bool build);
    void refuse(std::size_t column, std::string_view text, bool build);
    bool isMarker(std::string_view text) const;
    static bool builds(const ColumnPlan& plan);
    void clearRow();

    std::unique_ptr<Input> input_;
    std::istream stream_;
    tessel::csv::CsvParser parser_;
    std::vector<std::string> names_;
    std::vector<ColumnPlan> plans_;
    std::vector<std::string> formats_;     // each column's Arrow format string
    ReaderOptions options_;
    std::vector<ColumnBuilder> builders_;  // one per column, emptied by each export
    std::vector<ColumnCounts> counts_;
    std::vector<std::string> header_;      // the raw header, to know its repeats
    std::uint64_t naLengths_ = 0;          // bit n: some marker is n bytes long (n < 64)
    bool started_ = false;
    bool ended_ = false;
    std::uint64_t rows_ = 0;               // data rows read
    std::int64_t batch_ = 0;               // rows in the batch being built
    std::size_t batchText_ = 0;            // bytes of text in it
    std::size_t rowLimit_ = 0;             // rows a batch may hold: batchRows, fewer for wide tables
    static constexpr std::size_t kBatchCells = std::size_t{1} << 23;
    MatchScratch scratch_;
    std::string converted_;                // a text re-encoded as UTF-8
    // The row being read: where each field lies, in the block or in `rowCopy_`.
    struct FieldRef {
        const char* data;
        std::size_t size;
        std::size_t copied;  // offset in rowCopy_ when data is null
    };
    std::vector<FieldRef> fields_;
    std::size_t width_ = 0;                // fields of the row, those beyond the columns included
    std::string rowCopy_;
};

}  // namespace arrow
}  // namespace velmira
