// CSV tokenizer: turns a byte stream into rows of text fields.
//
// What it does
//   CsvParser reads an std::istream in blocks of INPUTBUF_CAP bytes into a buffer that lives
//   inside the parser object and scans those bytes in place. It hands out one token at a time
//   (next_field) or one whole row at a time (iterator, a std::vector<std::string> per row).
//   It never seeks or rewinds: a parser makes exactly one pass over its stream, and it reads a
//   block only when the scan needs its first byte, so taking the first row of a huge file costs
//   one block.
//
// Dialect
//   - Input is bytes. Three of them are special: the delimiter (default ','), the quote (default
//     '"') and the terminator. Every other byte is field text.
//   - Terminator mode CRLF (the default): a lone CR, a lone LF and the pair CR LF each end a row.
//     The pair counts once, also when the CR is the last byte of one block and the LF the first
//     of the next; LF CR is two terminators. Any other terminator is a single byte, and CR and
//     LF are then ordinary text.
//   - A field that starts with the quote is quoted: inside it every byte except the quote is
//     text, delimiters and terminators included, and two quotes stand for one. After the closing
//     quote a delimiter or terminator ends the field; any other byte continues the same field as
//     unquoted text ("ab"cd is the field abcd). A quote anywhere else is text. Nothing is trimmed.
//   - Every terminator ends a row, so an empty line is a row with one empty field and a
//     delimiter before a terminator gives a trailing empty field. At end of input the last field
//     is delivered only if it holds text: no empty row follows a final terminator, a delimiter
//     as the very last byte adds no field, and an input of just "" has no row.
//   - Rows may differ in width; each row comes with the fields it has.
//   - When configured bytes coincide, the terminator wins over the quote and the delimiter, and
//     the quote wins over the delimiter at the start of a field.
//
// What never happens
//   - Malformed input is never an error. Unbalanced or stray quotes, text after a closing quote
//     and ragged rows all have a defined outcome; a quoted field still open at end of input is
//     delivered with the text gathered so far.
//   - No decoding: no character sets, no byte-order-mark handling (EF BB BF is text of the first
//     field), and 0x00 is ordinary text.
//   - No stale bytes: a block read that fails for any reason other than end of file throws
//     std::runtime_error, and the parser never scans the previous block's bytes again.
//
// Errors
//   std::runtime_error from the constructor when the stream is not good, and from any scan whose
//   block read fails before end of file (an I/O error, a directory opened as a file, a stream
//   buffer that throws). Exceptions the stream itself is configured to throw, and allocation
//   failures, pass through unchanged. Nothing is caught.
//
// Threads
//   None. A parser and its iterators are used by one thread at a time; nothing is locked.
//
// Header-only; depends on the C++17 standard library alone.

#ifndef TESSEL_CSV_PARSER_HPP
#define TESSEL_CSV_PARSER_HPP

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <ios>
#include <istream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

namespace tessel {
namespace csv {

// Row terminator. CRLF means CR, LF or the pair CR LF; any other value is one byte (low 8 bits).
enum class Term : int { CRLF = -2 };

// Kind of token that CsvParser::next_field returns.
enum class FieldType : int { DATA = 0, ROW_END = 1, CSV_END = 2 };

// Whether byte c ends a row under terminator t.
inline bool operator==(char c, Term t) {
    if (t == Term::CRLF) {
        return c == '\r' || c == '\n';
    }
    return c == static_cast<char>(static_cast<int>(t));
}

// One token of the scan.
struct Field {
    explicit Field(FieldType t) : type(t), data(nullptr) {}
    explicit Field(const std::string& str) : type(FieldType::DATA), data(&str) {}

    FieldType type;           // DATA, ROW_END or CSV_END
    const std::string* data;  // DATA only: the parser's field buffer, valid until the next scan
};

class CsvParser {
public:
    enum class State : int {
        START_OF_FIELD = 0,
        IN_FIELD = 1,
        IN_QUOTED_FIELD = 2,
        IN_ESCAPED_QUOTE = 3,
        END_OF_ROW = 4,
        EMPTY = 5,
    };

    class iterator;

    // Reads nothing; the first block is read by the first scan.
    explicit CsvParser(std::istream& input) : m_input(input) {
        m_fieldbuf.reserve(FIELDBUF_CAP);
        if (!m_input.good()) {
            throw std::runtime_error("Something is wrong with input stream");
        }
    }

    CsvParser& quote(char c) {
        m_quote = c;
        return *this;
    }

    CsvParser& delimiter(char c) {
        m_delimiter = c;
        return *this;
    }

    // Stored as the byte's unsigned value so that no byte can be mistaken for CRLF mode.
    CsvParser& terminator(char c) {
        m_terminator = static_cast<Term>(static_cast<unsigned char>(c));
        return *this;
    }

    bool empty() const { return m_state == State::EMPTY; }

    // Stream offset of the next byte the scan will look at (0 before anything is read).
    std::streamoff position() const {
        return m_scanposition + static_cast<std::streamoff>(m_cursor);
    }

    // The next token. A row's last field comes back as DATA when its terminator is read; the
    // row's ROW_END comes on the following call, or CSV_END if the input ends there.
    Field next_field() {
        if (empty()) {
            return Field(FieldType::CSV_END);
        }
        m_fieldbuf.clear();
        for (;;) {
            const char* top = top_token();
            if (top == nullptr) {
                m_state = State::EMPTY;
                return m_fieldbuf.empty() ? Field(FieldType::CSV_END) : Field(m_fieldbuf);
            }
            const char c = *top;
            switch (m_state) {
                case State::START_OF_FIELD:
                    ++m_cursor;
                    if (c == m_terminator) {  // empty last field
                        handle_crlf(c);
                        m_state = State::END_OF_ROW;
                        return Field(m_fieldbuf);
                    }
                    if (c == m_quote) {  // opening quote
                        m_state = State::IN_QUOTED_FIELD;
                    } else if (c == m_delimiter) {  // empty field
                        return Field(m_fieldbuf);
                    } else {  // first text byte
                        take_plain_run();
                        m_state = State::IN_FIELD;
                    }
                    break;

                case State::IN_FIELD:
                    ++m_cursor;
                    if (c == m_terminator) {  // field and row end
                        handle_crlf(c);
                        m_state = State::END_OF_ROW;
                        return Field(m_fieldbuf);
                    }
                    if (c == m_delimiter) {  // field ends
                        m_state = State::START_OF_FIELD;
                        return Field(m_fieldbuf);
                    }
                    take_plain_run();  // text, quotes included
                    break;

                case State::IN_QUOTED_FIELD:
                    ++m_cursor;
                    if (c == m_quote) {  // closing or doubled quote
                        m_state = State::IN_ESCAPED_QUOTE;
                    } else {  // quoted text
                        take_quoted_run();
                    }
                    break;

                case State::IN_ESCAPED_QUOTE:
                    ++m_cursor;
                    if (c == m_terminator) {  // quoted field ends row
                        handle_crlf(c);
                        m_state = State::END_OF_ROW;
                        return Field(m_fieldbuf);
                    }
                    if (c == m_quote) {  // doubled quote
                        m_fieldbuf.push_back(c);
                        m_state = State::IN_QUOTED_FIELD;
                    } else if (c == m_delimiter) {  // quoted field ends
                        m_state = State::START_OF_FIELD;
                        return Field(m_fieldbuf);
                    } else {  // text after closing quote
                        take_plain_run();
                        m_state = State::IN_FIELD;
                    }
                    break;

                case State::END_OF_ROW:  // next row starts here
                    m_state = State::START_OF_FIELD;
                    return Field(FieldType::ROW_END);

                case State::EMPTY:  // next_field's entry test makes this unreachable
                    throw std::logic_error("You goofed");
            }
        }
    }

    iterator begin();
    iterator end();

private:
    // After a CR in CRLF mode, swallow an LF that directly follows, even from the next block.
    void handle_crlf(char c) {
        if (m_terminator != Term::CRLF || c != '\r') {
            return;
        }
        const char* next = top_token();
        if (next != nullptr && *next == '\n') {
            ++m_cursor;
        }
    }

    // Address of the next unread byte, reading a block when the buffer is used up; nullptr once
    // the input is exhausted. Does not consume the byte.
    char* top_token() {
        if (m_cursor == m_inputbuf_size) {
            if (m_eof) {
                return nullptr;
            }
            m_scanposition += static_cast<std::streamoff>(m_cursor);
            m_cursor = 0;
            m_input.read(m_inputbuf, INPUTBUF_CAP);
            if (m_input.bad() || (m_input.fail() && !m_input.eof())) {
                // The buffer now holds nothing valid. Leaving it counted as empty (rather than
                // full of the previous block) makes any later scan read again and fail again.
                m_inputbuf_size = 0;
                throw std::runtime_error(
                    "Could not read the input: the read failed before end of file (is the path a "
                    "directory or an unreadable file?)");
            }
            if (m_input.eof()) {
                m_eof = true;
                m_inputbuf_size = static_cast<std::size_t>(m_input.gcount());
                if (m_inputbuf_size == 0) {
                    return nullptr;
                }
            } else {
                m_inputbuf_size = static_cast<std::size_t>(INPUTBUF_CAP);
            }
        }
        return &m_inputbuf[m_cursor];
    }

    // The scan handles one byte per step, but between special bytes a step would only append
    // and stay in its state, so the two helpers below take such a run from the buffer at once.
    // Each starts with the byte just consumed (at m_cursor - 1) and stops at the end of the
    // buffer or before the next byte that the current state tests, leaving it for the scan.

    // Unquoted text: runs up to a delimiter or terminator byte.
    void take_plain_run() {
        const std::size_t start = m_cursor - 1;
        const std::size_t stop = plain_run_end(m_cursor);
        m_fieldbuf.append(m_inputbuf + start, stop - start);
        m_cursor = stop;
    }

    // Quoted text: runs up to the quote.
    void take_quoted_run() {
        const std::size_t start = m_cursor - 1;
        const void* hit = std::memchr(m_inputbuf + m_cursor, m_quote, m_inputbuf_size - m_cursor);
        const std::size_t stop =
            hit == nullptr ? m_inputbuf_size
                           : static_cast<std::size_t>(static_cast<const char*>(hit) - m_inputbuf);
        m_fieldbuf.append(m_inputbuf + start, stop - start);
        m_cursor = stop;
    }

    // Index of the first delimiter or terminator byte at or after `from`, or the buffer size.
    // Eight bytes at a time: a word is tested for any of the three bytes at once.
    std::size_t plain_run_end(std::size_t from) const {
        const auto d = static_cast<unsigned char>(m_delimiter);
        unsigned char t1 = '\r';
        unsigned char t2 = '\n';
        if (m_terminator != Term::CRLF) {
            t1 = static_cast<unsigned char>(static_cast<int>(m_terminator));
            t2 = t1;
        }
        const std::uint64_t wd = splat(d);
        const std::uint64_t w1 = splat(t1);
        const std::uint64_t w2 = splat(t2);
        while (m_inputbuf_size - from >= 8) {
            std::uint64_t word;
            std::memcpy(&word, m_inputbuf + from, sizeof word);
            const std::uint64_t hits =
                zero_bytes(word ^ wd) | zero_bytes(word ^ w1) | zero_bytes(word ^ w2);
            if (hits != 0) {
#if defined(__GNUC__) && defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
                // The lowest marked byte is exact and, little-endian, the first in memory.
                return from + static_cast<std::size_t>(__builtin_ctzll(hits) / 8);
#else
                break;
#endif
            }
            from += 8;
        }
        for (; from < m_inputbuf_size; ++from) {
            const auto u = static_cast<unsigned char>(m_inputbuf[from]);
            if (u == d || u == t1 || u == t2) {
                break;
            }
        }
        return from;
    }

    static constexpr std::uint64_t splat(unsigned char b) {
        return 0x0101010101010101ULL * b;
    }

    // Marks the zero bytes of w with 0x80. Borrows can also mark a 0x01 byte above a zero byte,
    // never one below the first, so "any marked" and "lowest marked" are both exact.
    static constexpr std::uint64_t zero_bytes(std::uint64_t w) {
        return (w - 0x0101010101010101ULL) & ~w & 0x8080808080808080ULL;
    }

    State m_state = State::START_OF_FIELD;  // scanner state; EMPTY is final
    char m_quote = '"';                     // quote byte; set by quote()
    char m_delimiter = ',';                 // field separator; set by delimiter()
    Term m_terminator = Term::CRLF;         // row terminator; set by terminator()
    std::istream& m_input;                  // not owned; must outlive the parser

public:
    static constexpr int FIELDBUF_CAP = 1024;    // bytes reserved up front for one field
    static constexpr int INPUTBUF_CAP = 131072;  // block size: buffer size and every read's ask

private:
    std::string m_fieldbuf;                 // current field's text; cleared per token, grows freely
    char m_inputbuf[INPUTBUF_CAP] = {};     // current block, scanned in place
    bool m_eof = false;                     // end of file met; no read after it
    std::size_t m_cursor = static_cast<std::size_t>(INPUTBUF_CAP);  // next unread byte's index
    std::size_t m_inputbuf_size = static_cast<std::size_t>(INPUTBUF_CAP);  // valid bytes in block
    std::streamoff m_scanposition = -INPUTBUF_CAP;  // stream offset of m_inputbuf[0]; 0 after 1st read
};

// Input iterator over rows. All iterators of one parser share its position.
class CsvParser::iterator {
public:
    using iterator_category = std::input_iterator_tag;
    using value_type = std::vector<std::string>;
    using difference_type = std::ptrdiff_t;
    using reference = const value_type&;
    using pointer = const value_type*;

    // A non-end iterator reads its first row at once.
    explicit iterator(CsvParser* p, bool end) : m_parser(p) {
        if (!end) {
            m_row.reserve(50);
            m_current_row = 0;
            next();
        }
    }

    iterator& operator++() {
        next();
        return *this;
    }

    iterator operator++(int) {
        iterator before = *this;
        next();
        return before;
    }

    // Rows are not compared: an iterator is at the end when its count is -1 and its row empty,
    // which keeps the row that end of input cut off distinct from end().
    bool operator==(const iterator& other) const {
        return m_current_row == other.m_current_row && m_row.size() == other.m_row.size();
    }

    bool operator!=(const iterator& other) const { return !(*this == other); }

    reference operator*() const { return m_row; }
    pointer operator->() const { return &m_row; }

private:
    // Reuses the strings already held so that rows of steady width allocate nothing.
    // A field's text is swapped out of the parser's field buffer rather than copied:
    // the buffer is cleared before the next field anyway, and takes over the old
    // string's storage.
    void next() {
        std::size_t num_fields = 0;
        for (;;) {
            const Field field = m_parser->next_field();
            switch (field.type) {
                case FieldType::DATA:
                    if (num_fields < m_row.size()) {
                        m_row[num_fields].swap(m_parser->m_fieldbuf);
                    } else {
                        m_row.push_back(*field.data);
                    }
                    ++num_fields;
                    break;
                case FieldType::ROW_END:
                    m_row.resize(num_fields);
                    ++m_current_row;
                    return;
                case FieldType::CSV_END:
                    m_row.resize(num_fields);
                    m_current_row = -1;
                    return;
            }
        }
    }

    value_type m_row;                 // current row; replaced by each advance
    CsvParser* m_parser;              // parser read from; shared by all its iterators
    std::int64_t m_current_row = -1;  // rows ended by ROW_END so far; -1 at and past end of input
};

inline CsvParser::iterator CsvParser::begin() { return iterator(this, false); }

inline CsvParser::iterator CsvParser::end() { return iterator(this, true); }

}  // namespace csv
}  // namespace tessel

#endif  // TESSEL_CSV_PARSER_HPP
