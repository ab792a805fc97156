// RowBatch: rows of the inference pass as classification takes them, and the sink through
// which the tokenizer's fast path fills one.
//
// A batch holds, row by row, each field's text as a pointer and a size, with its hash taken
// while the bytes are at hand, and each row's width. A text points into the tokenizer's block
// (a view) or into the batch's own arena (a field the tokenizer had to copy, or a block's
// bytes that the batch must keep). Fields beyond the header's width have no column and are
// not kept.
//
// The single-threaded pass classifies a batch while its views are valid: when the batch is
// full and whenever the tokenizer is about to replace its block. The threaded pass tokenizes
// one batch while workers classify another, so its batches own their bytes: the views of a
// block are copied into the arena, in one piece, before the block goes away.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "value_cache.hpp"

namespace velmira {

// Bytes that must outlive the tokenizer's block, in chunks that never move, each with
// kReadableSlack bytes after its end.
class ByteArena {
public:
    const char* store(const char* data, std::size_t size) {
        while (current_ < chunks_.size() && chunks_[current_].size - used_ < size) {
            ++current_;
            used_ = 0;
        }
        if (current_ == chunks_.size()) {
            // Room to read a whole word past the last text: see hashReadable.
            const std::size_t bytes = std::max(size, kChunk);
            chunks_.push_back(Chunk{std::unique_ptr<char[]>(new char[bytes + kReadableSlack]()), bytes});
            used_ = 0;
        }
        char* out = chunks_[current_].data.get() + used_;
        if (size != 0) std::memcpy(out, data, size);
        used_ += size;
        total_ += size;
        return out;
    }
    void reset() {
        current_ = 0;
        used_ = 0;
        total_ = 0;
    }
    std::size_t bytes() const { return total_; }  // stored since the last reset

private:
    static constexpr std::size_t kChunk = std::size_t{1} << 18;
    struct Chunk {
        std::unique_ptr<char[]> data;
        std::size_t size;
    };
    std::vector<Chunk> chunks_;
    std::size_t current_ = 0;  // the chunk being filled
    std::size_t used_ = 0;     // bytes used in it
    std::size_t total_ = 0;
};

struct Cell {
    const char* data;
    std::size_t size;
    std::uint64_t hash;  // of the text, taken while tokenizing
    std::string_view text() const { return {data, size}; }
};

struct RowBatch {
    RowBatch(std::size_t numCols_, std::size_t maxRows_)
        : numCols(numCols_), maxRows(maxRows_), cells(numCols_ * maxRows_), widths(maxRows_) {}

    const Cell& at(std::size_t row, std::size_t col) const { return cells[row * numCols + col]; }
    void clear() {
        rows = 0;
        arena.reset();
    }

    const std::size_t numCols;
    const std::size_t maxRows;
    std::vector<Cell> cells;           // row-major, numCols per row
    std::vector<std::size_t> widths;   // per row: its fields that have a column
    std::size_t rows = 0;
    std::uint64_t endsAt = 0;          // input offset after its last row
    ByteArena arena;                   // copied fields, and the block bytes the batch keeps
};

// The sink of CsvParser::scan_rows that fills a RowBatch. `onBlockEnd` runs when the
// tokenizer is about to replace its block; with `ownBytes`, the views of that block are first
// copied into the batch's arena, so that the batch outlives the block, and hashes are left to
// whoever classifies the batch (Cell::hash is then not set). The scan stops when the
// batch is full, and after a row that ends a cache window: `rowsBefore` plus the batch's rows
// is the count of rows read, the header included.
// Rows whose width is not the header's, seen by a pass that keeps count (the package's).
// Row numbers count the header as row 1 and blank lines as rows.
struct RowShapes {
    std::uint64_t wider = 0;          // rows with fields beyond the header's width
    std::uint64_t firstWider = 0;     // the first of them, or 0
    std::uint64_t widest = 0;         // the most fields a row had
    std::uint64_t narrower = 0;       // rows with fewer fields than the header (blank lines not)
    std::uint64_t firstNarrower = 0;  // the first of them, or 0
    std::uint64_t blank = 0;          // empty lines
    std::uint64_t comments = 0;       // rows left out as comments
    std::uint64_t headers = 0;        // rows left out as repeats of the header
    std::uint64_t firstHeader = 0;    // the first of them, or 0
    bool skipBlank = false;           // leave empty lines out of the rows, only counted
    int comment = -1;                 // a row whose first byte is this is a comment; -1: none
    std::vector<std::string> header;  // the header's fields, to know its repeats; empty: none looked for
    std::size_t width = 0;            // the width rows are narrower than; 0: the header's
};

template <class OnBlockEnd>
class BatchFiller {
public:
    BatchFiller(RowBatch& batch, bool ownBytes, OnBlockEnd onBlockEnd, const std::uint64_t& rowsBefore,
                std::uint64_t window, RowShapes* shapes = nullptr)
        : batch_(batch), ownBytes_(ownBytes), onBlockEnd_(std::move(onBlockEnd)), rowsBefore_(rowsBefore),
          window_(window), shapes_(shapes) {}

    __attribute__((always_inline)) void view(const char* data, std::size_t size) {
        if (ownBytes_ && field_ < batch_.numCols) {
            if (low_ == nullptr) low_ = data;
            high_ = data + size;
        }
        add(data, size);
    }
    // A field beyond the header's width has no column: it is counted, never stored.
    void copy(const char* data, std::size_t size) {
        add(field_ < batch_.numCols ? batch_.arena.store(data, size) : data, size);
    }
    void drop_row() { field_ = 0; }
    __attribute__((always_inline)) bool end_row() {
        if (shapes_ != nullptr && (field_ != batch_.numCols || shapes_->comment >= 0 || may_be_header()) &&
            odd_shape()) {
            field_ = 0;
            return true;  // a blank line, a comment or a repeated header left out: it is no row
        }
        batch_.widths[batch_.rows++] = std::min(field_, batch_.numCols);
        field_ = 0;
        // The byte limit keeps rows of huge copied fields from piling up.
        const bool windowEnds = window_ != 0 && (rowsBefore_ + batch_.rows) % window_ == 0;
        return batch_.rows < batch_.maxRows && !windowEnds && batch_.arena.bytes() < kMaxBytes;
    }
    void block_end() {
        keepViews();
        onBlockEnd_();
    }

    // Copies the views of the rows read since the last copy into the arena, in one piece:
    // they lie in the block in increasing order, between low_ and high_. Copied fields live
    // in the arena, never in the block, so a cell in that span is a view. A row dropped
    // since may have widened the span; its bytes are copied for nothing, harmlessly.
    void keepViews() {
        if (low_ != nullptr) {
            const char* kept = batch_.arena.store(low_, static_cast<std::size_t>(high_ - low_));
            for (std::size_t r = firstRow_; r < batch_.rows; ++r) {
                Cell* row = &batch_.cells[r * batch_.numCols];
                for (std::size_t c = 0; c < batch_.widths[r]; ++c) {
                    if (row[c].data >= low_ && row[c].data <= high_) row[c].data = kept + (row[c].data - low_);
                }
            }
        }
        low_ = high_ = nullptr;
        firstRow_ = batch_.rows;
    }

    // Whether the row may repeat the header: its first field is the header's first. One
    // compare of sizes for most rows.
    bool may_be_header() const {
        if (shapes_->header.empty() || field_ != shapes_->header.size() || batch_.numCols == 0) return false;
        const Cell& first = batch_.cells[batch_.rows * batch_.numCols];
        return first.size == shapes_->header[0].size() &&
               (first.size == 0 || std::memcmp(first.data, shapes_->header[0].data(), first.size) == 0);
    }

    // The 1-based input row being read: for messages about a row that stopped the scan.
    std::uint64_t currentRow() const {
        if (shapes_ == nullptr) return rowsBefore_ + batch_.rows + 1;
        return rowsBefore_ + batch_.rows + 1 + (shapes_->skipBlank ? shapes_->blank : 0) + shapes_->comments +
               shapes_->headers;
    }

private:
    static constexpr std::size_t kMaxBytes = std::size_t{1} << 22;

    // A row of another width than the header's, or any row where comments are looked for:
    // counted; true if it is a blank line or a comment to leave out. Kept out of the common
    // path.
    __attribute__((noinline)) bool odd_shape() {
        RowShapes& s = *shapes_;
        if (batch_.numCols == 0) return false;
        const Cell& first = batch_.cells[batch_.rows * batch_.numCols];
        if (s.comment >= 0 && first.size > 0 &&
            static_cast<unsigned char>(first.data[0]) == static_cast<unsigned>(s.comment)) {
            ++s.comments;
            return true;
        }
        if (field_ == batch_.numCols) {
            if (!may_be_header()) return false;
            for (std::size_t c = 0; c < field_; ++c) {
                const Cell& cell = batch_.cells[batch_.rows * batch_.numCols + c];
                if (std::string_view(cell.data, cell.size) != s.header[c]) return false;
            }
            if (s.headers++ == 0) s.firstHeader = currentRow();
            return true;
        }
        const std::uint64_t row = currentRow();
        if (field_ == 1 && batch_.numCols > 1 && first.size == 0) {
            ++s.blank;
            return s.skipBlank;
        }
        if (field_ > batch_.numCols) {
            if (s.wider++ == 0) s.firstWider = row;
            s.widest = std::max<std::uint64_t>(s.widest, field_);
        } else if (field_ < (s.width != 0 ? s.width : batch_.numCols)) {
            if (s.narrower++ == 0) s.firstNarrower = row;
        }
        return false;
    }

    __attribute__((always_inline)) void add(const char* data, std::size_t size) {
        if (field_ < batch_.numCols) {
            batch_.cells[batch_.rows * batch_.numCols + field_] =
                Cell{data, size, ownBytes_ ? 0 : hashReadable(data, size)};
        }
        ++field_;
    }

    RowBatch& batch_;
    const bool ownBytes_;
    OnBlockEnd onBlockEnd_;
    const std::uint64_t& rowsBefore_;     // rows read before this batch, the header included
    const std::uint64_t window_;
    RowShapes* const shapes_;             // counts of odd rows, or null: not kept
    std::size_t field_ = 0;               // fields of the row being read
    const char* low_ = nullptr;           // with ownBytes_: the views' span in the block since
    const char* high_ = nullptr;          //   the last keepViews, or null
    std::size_t firstRow_ = 0;            // the first row read since the last keepViews
};

}  // namespace velmira
