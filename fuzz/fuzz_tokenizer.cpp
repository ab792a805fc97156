// Fuzz target for the CSV tokenizer (csv/parser.hpp).
//
// Input layout: byte 0 picks the delimiter (below 0x80 one of , ; TAB |; from 0x80 on, byte 1
// is taken as the delimiter, whatever it is); the next byte picks the layout: bits 0-1 the
// terminator used to render rows back (LF, CR LF, CR), bit 2 whether to also read the text
// placed right before the end of the first 131072-byte block (bits 3-7 say how far before).
// The rest is the CSV text.
//
// Checks, on every input:
//  1. The rows of the row iterator equal the rows assembled from next_field tokens.
//  2. After the last token, position() is the input's length.
//  3. Without quote bytes, the rows equal a plain split: lines on CR, LF or CR LF (once), then
//     fields on the delimiter; at end of input the last field only if it is not empty.
//  4. Rendered back with every field quoted, and with only the fields that need it quoted,
//     the rows parse to the same rows; without a final terminator too, when the last field is
//     not empty (an empty last field at end of input is no field).
//  5. With bit 2: after a filler row that ends just before the block's end, the text gives the
//     same rows as alone, so CR LF pairs, quotes and fields that straddle a refill change
//     nothing. (The filler goes through the tokenizer only: the checks above, byte by byte
//     and slow under instrumentation, run on the text alone.)
//  6. The fast path (scan_rows) gives the iterator's rows, which equal the byte-at-a-time
//     model's: alone, after a header taken by the iterator, stopping and resuming every few
//     rows, and (with bit 2) across the block boundary; its views are read only when it says
//     they are about to go stale, and it ends with the parser empty at the input's end.
#include <cstddef>
#include <cstdint>
#include <string>

#include "common.hpp"
#include "tests/cpp/csv_model.hpp"

namespace {

using fuzz::check;
using fuzz::Row;
using fuzz::Rows;
using fuzz::show;
using tessel::csv::CsvParser;
using tessel::csv::FieldType;

constexpr std::size_t kBlock = static_cast<std::size_t>(CsvParser::INPUTBUF_CAP);

// Rows from tokens: DATA adds a field, ROW_END ends the row, CSV_END ends the input (and a row
// cut off by it, if it has fields). Bounded, so that a scanner stuck in place fails.
Rows rowsFromTokens(const std::string& bytes, char delimiter, std::int64_t* position) {
    std::istringstream in(bytes);
    CsvParser parser(in);
    parser.delimiter(delimiter);
    Rows rows;
    Row row;
    for (std::size_t i = 0; i <= 2 * bytes.size() + 2; ++i) {
        const tessel::csv::Field field = parser.next_field();
        if (field.type == FieldType::DATA) {
            row.push_back(*field.data);
        } else if (field.type == FieldType::ROW_END) {
            check(!row.empty(), "ROW_END after no field");
            rows.push_back(std::move(row));
            row.clear();
        } else {
            if (!row.empty()) rows.push_back(std::move(row));
            check(parser.empty(), "CSV_END but the parser is not empty()");
            check(parser.next_field().type == FieldType::CSV_END, "a token after CSV_END");
            *position = parser.position();
            return rows;
        }
    }
    fuzz::fail("no CSV_END after 2n + 2 tokens");
}

// The fast path's rows, in one of its modes, against the iterator's.
void checkScan(const std::string& bytes, char delimiter, const Rows& expected, bool header, std::size_t stopEvery,
               const char* what) {
    const auto result =
        csvtest::scanRows(bytes, [delimiter](CsvParser& p) { p.delimiter(delimiter); }, header, stopEvery);
    check(!result.brokenInvariant, std::string("scan_rows broke the sink's invariants ") + what);
    check(result.rows == expected, std::string("scan_rows ") + what + ": " + show(result.rows) + " != " + show(expected));
    check(result.empty, std::string("scan_rows ended with the parser not empty ") + what);
    check(result.position == static_cast<std::streamoff>(bytes.size()), std::string("scan_rows position ") + what);
}

Rows plainSplit(const std::string& bytes, char delimiter) {
    Rows rows;
    auto split = [&](const std::string& line, bool atEnd) {
        Row row(1);
        for (char ch : line) {
            if (ch == delimiter) {
                row.emplace_back();
            } else {
                row.back() += ch;
            }
        }
        if (atEnd && row.back().empty()) row.pop_back();
        rows.push_back(std::move(row));
    };
    std::string line;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const char ch = bytes[i];
        if (ch == '\r' || ch == '\n') {
            split(line, false);
            line.clear();
            if (ch == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') ++i;
        } else {
            line += ch;
        }
    }
    if (!line.empty()) split(line, true);
    return rows;
}

std::string quoted(const std::string& field) {
    std::string out = "\"";
    for (char ch : field) {
        if (ch == '"') out += '"';
        out += ch;
    }
    return out + '"';
}

enum class Quoting { Every, Needed };

std::string render(const Rows& rows, char delimiter, const std::string& terminator, Quoting how,
                   bool finalTerminator) {
    std::string out;
    for (std::size_t r = 0; r < rows.size(); ++r) {
        for (std::size_t f = 0; f < rows[r].size(); ++f) {
            const std::string& field = rows[r][f];
            if (f > 0) out += delimiter;
            const bool needs = field.find_first_of(std::string{'"', '\r', '\n', delimiter}) != std::string::npos;
            out += (how == Quoting::Every || needs) ? quoted(field) : field;
        }
        if (r + 1 < rows.size() || finalTerminator) out += terminator;
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const char kDelimiters[] = {',', ';', '\t', '|'};
    static const char* const kTerminators[] = {"\n", "\r\n", "\r", "\n"};
    if (size < 2) return 0;
    std::size_t at = 0;
    char delimiter = kDelimiters[data[0] & 3];
    if (data[at++] >= 0x80) delimiter = static_cast<char>(data[at++]);
    if (at >= size) return 0;
    const std::uint8_t layout = data[at++];
    const std::string terminator = kTerminators[layout & 3];
    const std::string bytes(reinterpret_cast<const char*>(data) + at, size - at);

    const Rows rows = fuzz::rowsOf(bytes, delimiter);
    if (layout & 4) {
        // A row of filler that ends (layout >> 3) bytes before the block's end; an LF ends a row
        // without looking further, so the text starts a fresh row in a fresh field.
        const char filler = delimiter == 'p' ? 'q' : 'p';
        std::string padded(kBlock - (layout >> 3) - 1, filler);
        padded += '\n';
        Rows expected{{padded.substr(0, padded.size() - 1)}};
        expected.insert(expected.end(), rows.begin(), rows.end());
        padded += bytes;
        const Rows got = fuzz::rowsOf(padded, delimiter);
        check(got == expected, "rows across the block boundary differ from the rows alone: " +
                                   show(Rows(got.begin() + 1, got.end())) + " != " + show(rows));
        checkScan(padded, delimiter, expected, (layout >> 3) & 1, 0, "across the block boundary");
    }
    const Rows model = csvtest::modelRows(bytes, delimiter, '"');
    check(model == rows, "iterator rows " + show(rows) + " != byte-at-a-time model " + show(model));
    checkScan(bytes, delimiter, rows, false, 0, "alone");
    checkScan(bytes, delimiter, rows, true, 1 + (layout >> 5), "after a header, stopping");
    for (const Row& row : rows) check(!row.empty(), "a row with no field");

    std::int64_t position = -1;
    const Rows tokenRows = rowsFromTokens(bytes, delimiter, &position);
    check(tokenRows == rows, "iterator rows " + show(rows) + " != token rows " + show(tokenRows));
    check(position == static_cast<std::int64_t>(bytes.size()),
          "position() " + std::to_string(position) + " at the end of " + std::to_string(bytes.size()) +
              " bytes");

    // Rows ended by LF alone (a lone CR is text), by the iterator and the fast path, against
    // the model in the same mode.
    if (delimiter != '"' && delimiter != '\r' && delimiter != '\n') {
        const Rows lfModel = csvtest::modelRows(bytes, delimiter, '"', true);
        std::istringstream in(bytes);
        CsvParser parser(in);
        parser.delimiter(delimiter).lf_rows();
        Rows lfRows;
        for (auto it = parser.begin(); it != parser.end(); ++it) lfRows.push_back(*it);
        check(lfRows == lfModel, "LF-mode rows " + show(lfRows) + " != model " + show(lfModel));
        const auto scanned = csvtest::scanRows(bytes, [delimiter](CsvParser& p) { p.delimiter(delimiter).lf_rows(); },
                                               (layout >> 3) & 1, 1 + (layout >> 5));
        check(!scanned.brokenInvariant && scanned.rows == lfModel,
              "LF-mode scan_rows " + show(scanned.rows) + " != model " + show(lfModel));
    }

    // Runs of blanks as the separator, in either line-end mode.
    {
        const bool lf = (layout & 8) != 0;
        const Rows blankModel = csvtest::modelRows(bytes, ' ', '"', lf, true);
        const auto scanned = csvtest::scanRows(
            bytes,
            [lf](CsvParser& p) {
                p.blank_runs();
                if (lf) p.lf_rows();
            },
            (layout >> 4) & 1, 1 + (layout >> 5));
        check(!scanned.brokenInvariant && scanned.rows == blankModel,
              "blank-run rows " + show(scanned.rows) + " != model " + show(blankModel));
    }

    if (bytes.find('"') == std::string::npos) {
        const Rows split = plainSplit(bytes, delimiter);
        check(split == rows, "rows " + show(rows) + " != plain split " + show(split));
    }

    // Rendering needs a delimiter that is no terminator and no quote, or it cannot be written.
    if (delimiter == '"' || delimiter == '\r' || delimiter == '\n') return 0;
    for (Quoting how : {Quoting::Every, Quoting::Needed}) {
        const std::string text = render(rows, delimiter, terminator, how, true);
        const Rows back = fuzz::rowsOf(text, delimiter);
        check(back == rows, "re-quoted rows " + show(back) + " != " + show(rows));
    }
    if (!rows.empty() && !rows.back().back().empty()) {
        const std::string text = render(rows, delimiter, terminator, Quoting::Needed, false);
        const Rows back = fuzz::rowsOf(text, delimiter);
        check(back == rows, "rows without final terminator " + show(back) + " != " + show(rows));
    }
    return 0;
}
