// References for the tokenizer's tests and its fuzz target: the dialect read one byte at a time
// from a whole string, and the rows that CsvParser::scan_rows gives, taken through a sink that
// keeps its views until the parser says they go stale.
#pragma once

#include <sstream>
#include <string>
#include <vector>

#include "csv/parser.hpp"

namespace csvtest {

using Row = std::vector<std::string>;
using Rows = std::vector<Row>;

// CRLF mode, read one byte at a time: no blocks, no refills and no skipping of runs, so it is an
// independent check on the tokenizer's buffering.
// With `lfRows`, only LF (or CR LF) ends a row and a lone CR is text. With `blankRuns`, runs of
// spaces and tabs separate fields instead of `delim`, and blanks at a row's start or end
// separate nothing.
inline Rows modelRows(const std::string& in, char delim = ',', char quote = '"', bool lfRows = false,
                      bool blankRuns = false) {
    enum { START, FIELD, QUOTED, ESCAPED } state = START;
    Rows rows;
    Row row;
    std::string field;
    bool afterRun = false;  // a blank run ended the last field; a row end then adds none
    auto endField = [&] {
        row.push_back(field);
        field.clear();
    };
    auto endRow = [&] {
        rows.push_back(row);
        row.clear();
    };
    for (std::size_t i = 0; i < in.size(); ++i) {
        const char c = in[i];
        const bool crlf = c == '\r' && i + 1 < in.size() && in[i + 1] == '\n';
        const bool term = c == '\n' || (c == '\r' && (!lfRows || crlf));
        const bool blank = blankRuns && (c == ' ' || c == '\t');
        if (blank && state != QUOTED) {
            if (state == FIELD || state == ESCAPED) {
                endField();
                afterRun = true;
            }
            state = START;
            continue;
        }
        if (term && state != QUOTED) {
            if (!(afterRun && state == START)) {
                endField();
            }
            afterRun = false;
            endRow();
            if (crlf) {
                ++i;
            }
            state = START;
        } else if (c == quote && state == START) {
            afterRun = false;
            state = QUOTED;
        } else if (c == quote && state == QUOTED) {
            state = ESCAPED;
        } else if (c == quote && state == ESCAPED) {
            field += c;
            state = QUOTED;
        } else if (c == delim && state != QUOTED && !blankRuns) {
            endField();
            state = START;
        } else {
            afterRun = false;
            field += c;
            state = state == QUOTED ? QUOTED : FIELD;
        }
    }
    if (!field.empty()) {
        endField();
    }
    if (!row.empty()) {
        endRow();
    }
    return rows;
}

// Records what scan_rows gives. Views are read only when the parser announces the end of
// their block (or at the very end), so a view that went stale early shows up as wrong text.
class RecordingSink {
public:
    explicit RecordingSink(std::size_t stopEvery = 0) : stopEvery_(stopEvery) {}

    void view(const char* data, std::size_t size) { current_.push_back(Cell{data, size, {}, true}); }
    void copy(const char* data, std::size_t size) { current_.push_back(Cell{nullptr, 0, std::string(data, size), false}); }
    void drop_row() { current_.clear(); }
    bool end_row() {
        pending_.push_back(std::move(current_));
        current_.clear();
        ++rows_;
        return stopEvery_ == 0 || rows_ % stopEvery_ != 0;
    }
    void block_end() {
        if (!current_.empty()) {
            brokenInvariant_ = true;  // views of an unfinished row would go stale
        }
        for (const auto& cells : pending_) {
            Row row;
            for (const Cell& cell : cells) {
                row.push_back(cell.isView ? std::string(cell.data, cell.size) : cell.text);
            }
            out_.push_back(std::move(row));
        }
        pending_.clear();
    }

    Rows take() {
        block_end();
        return std::move(out_);
    }
    bool brokenInvariant() const { return brokenInvariant_ || !current_.empty(); }

private:
    struct Cell {
        const char* data;
        std::size_t size;
        std::string text;
        bool isView;
    };
    std::vector<std::vector<Cell>> pending_;
    std::vector<Cell> current_;
    Rows out_;
    std::size_t stopEvery_;
    std::size_t rows_ = 0;
    bool brokenInvariant_ = false;
};

struct ScanResult {
    Rows rows;
    bool brokenInvariant = false;
    std::streamoff position = 0;
    bool empty = false;
};

// The rows of `bytes` through scan_rows, optionally after the first row was taken by the row
// iterator (as the inference pass takes its header), stopping every `stopEvery` rows and
// resuming.
template <class Configure>
ScanResult scanRows(const std::string& bytes, const Configure& configure, bool headerByIterator = false,
                    std::size_t stopEvery = 0) {
    std::istringstream in(bytes);
    tessel::csv::CsvParser parser(in);
    configure(parser);
    ScanResult result;
    if (headerByIterator) {
        auto it = parser.begin();
        if (it != parser.end()) {
            result.rows.push_back(*it);
        }
    }
    RecordingSink sink(stopEvery);
    std::size_t rounds = 0;
    while (parser.scan_rows(sink)) {
        if (++rounds > bytes.size() + 2) {
            result.brokenInvariant = true;  // a scan that stops without making progress
            break;
        }
    }
    result.brokenInvariant = result.brokenInvariant || sink.brokenInvariant();
    for (Row& row : sink.take()) {
        result.rows.push_back(std::move(row));
    }
    result.position = parser.position();
    result.empty = parser.empty();
    return result;
}

}  // namespace csvtest
