// Columns built for Arrow: values appended one row at a time into buffers laid out as the
// Arrow columnar format has them, then handed over, buffers and all, as an ArrowArray that
// any consumer releases when it is done. Nothing is copied on the way out.
//
// Guarantees: every exported array and schema owns what it points to and frees it in its
// release callback, children separately (a consumer may move a child out and release the
// parent); a builder is empty again after export; validity buffers are left out (null)
// when a column has no null in the batch.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "arrow/c_abi.hpp"

namespace velmira {
namespace arrow {

// What a column becomes. Timestamps and times are in microseconds; a decimal's precision
// and scale are given beside its type.
enum class ColumnType : std::uint8_t {
    Int64, Float64, Decimal128, Bool, Date32, Timestamp, TimestampUtc, Time64, Utf8, LargeUtf8
};

// The Arrow format string of a type ("l", "tsu:UTC", "d:12,2", ...).
std::string formatOf(ColumnType type, int precision = 0, int scale = 0);

class ColumnBuilder {
public:
    explicit ColumnBuilder(ColumnType type);

    ColumnType type() const { return type_; }
    std::int64_t length() const { return length_; }
    // Bytes of text held (text columns): what bounds a batch's size.
    std::size_t textBytes() const { return text_.size(); }

    void appendNull();
    void appendInt64(std::int64_t value);   // Int64, Timestamp*, Time64
    void appendInt32(std::int32_t value);   // Date32
    void appendDouble(double value);
    void appendDecimal(__int128 value);     // Decimal128: the unscaled value
    void appendBool(bool value);
    // The text must be valid UTF-8 already. A Utf8 column refuses to go past 2 GiB of text
    // in one batch (std::length_error): the reader ends batches well before.
    void appendText(std::string_view text);

    // Moves the batch's buffers into `out` and starts the next batch empty.
    void finish(ArrowArray* out);

private:
    void markValid();

    ColumnType type_;
    std::int64_t length_ = 0;             // rows appended since the last finish
    std::int64_t nulls_ = 0;
    std::vector<std::uint8_t> validity_;  // one bit per row, grown a byte at a time
    std::vector<std::uint8_t> values_;    // fixed-width values, or packed bits for Bool
    std::vector<std::int64_t> offsets_;   // text columns: where each value ends (starts with 0)
    std::vector<std::uint8_t> text_;      // text columns: the values' bytes
};

// The schema of a batch: a struct whose children are the columns, all nullable, each with
// its format string (formatOf).
void exportSchema(const std::vector<std::string>& names, const std::vector<std::string>& formats, ArrowSchema* out);
// The builders' rows as one struct array of `rows` rows (every builder must hold that many).
void exportBatch(std::vector<ColumnBuilder>& columns, std::int64_t rows, ArrowArray* out);

}  // namespace arrow
}  // namespace velmira
