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
//     of the next; LF CR is two terminators. Mode LF (lf_rows()): only LF ends a row, with a
//     CR right before it taken as part of it; any other CR is text. Any other terminator is a
//     single byte, and CR and LF are then ordinary text.
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
//   buffer that throws). FieldTooLong, only when a limit was set with max_field_size(), from
//   the scan that meets a field (or a row read by the iterator) longer than the limit: a
//   single line of a gigabyte would otherwise be gathered whole into memory. Exceptions the stream itself is configured to throw, and allocation
//   failures, pass through unchanged. Nothing is caught.
//
// Threads
//   None. A parser and its iterators are used by one thread at a time; nothing is locked.
//
// Header-only; depends on the C++17 standard library alone.

#ifndef TESSEL_CSV_PARSER_HPP
#define TESSEL_CSV_PARSER_HPP

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <ios>
#include <istream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__GNUC__) && defined(__x86_64__)
#include <immintrin.h>
#endif

namespace tessel {
namespace csv {

// Row terminator. CRLF means CR, LF or the pair CR LF; any other value is one byte (low 8 bits).
// CRLF: a lone CR, a lone LF and CR LF each end a row. LF: only LF ends a row (with a CR
// right before it, which belongs to it); any other CR is text.
enum class Term : int { CRLF = -2, LF = -3 };

// Kind of token that CsvParser::next_field returns.
enum class FieldType : int { DATA = 0, ROW_END = 1, CSV_END = 2 };

// Whether byte c ends a row under terminator t.
inline bool operator==(char c, Term t) {
    if (t == Term::CRLF || t == Term::LF) {  // LF mode then tells a lone CR apart
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

// A field, or a row taken by the row iterator, longer than the parser's max_field_size().
class FieldTooLong : public std::runtime_error {
public:
    FieldTooLong(std::size_t limit_, bool wholeRow_)
        : std::runtime_error(wholeRow_ ? "a row is longer than the field size limit"
                                       : "a field is longer than the field size limit"),
          limit(limit_),
          wholeRow(wholeRow_) {}
    std::size_t limit;      // the limit that was passed
    bool wholeRow;          // a row of the iterator (its fields together), not one field
    std::uint64_t row = 0;  // 1-based row of the input, if the caller knows it; else 0
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
        m_delimiter2 = c;
        m_blank_runs = false;
        return *this;
    }

    // Fields are separated by runs of blanks (spaces and tabs) instead of the delimiter, as in
    // space-aligned exports: blanks at the start of a row and before its end separate nothing,
    // so no field is empty unless quoted (""). Quotes work as usual at a field's start, and
    // blanks inside quotes are text. A row of blanks alone is a row of one empty field.
    CsvParser& blank_runs() {
        m_blank_runs = true;
        m_delimiter = ' ';
        m_delimiter2 = '\t';
        return *this;
    }

    // Rows end at LF alone (a CR right before it included); a lone CR is text. For files
    // whose lines end in LF and whose fields may hold a CR, as some writers leave them.
    CsvParser& lf_rows() {
        m_terminator = Term::LF;
        return *this;
    }

    // Stored as the byte's unsigned value so that no byte can be mistaken for CRLF mode.
    CsvParser& terminator(char c) {
        m_terminator = static_cast<Term>(static_cast<unsigned char>(c));
        return *this;
    }

    // Refuse fields longer than `bytes` (0: no limit, the default) with FieldTooLong. For the
    // row iterator the limit also bounds a whole row: its fields' bytes plus the size of a
    // std::string each, so that a line of nothing but delimiters is bounded as well.
    CsvParser& max_field_size(std::size_t bytes) {
        m_max_field = bytes == 0 ? SIZE_MAX : bytes;
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
        if (m_pending_cr) {  // a lone CR that a blank run ran into starts this field
            m_pending_cr = false;
            append_field("\r", 1);
            m_state = State::IN_FIELD;
        }
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
                    if (m_blank_runs && is_blank(c)) {  // blank at a row's start
                        break;
                    }
                    if (lone_cr(c)) {  // text, in LF mode
                        append_field(&c, 1);
                        m_state = State::IN_FIELD;
                        break;
                    }
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
                    if (m_blank_runs && is_blank(c)) {  // field ends, row too if only blanks follow
                        m_state = end_blank_run() ? State::END_OF_ROW : State::START_OF_FIELD;
                        return Field(m_fieldbuf);
                    }
                    if (lone_cr(c)) {  // text, in LF mode
                        append_field(&c, 1);
                        break;
                    }
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
                    if (m_blank_runs && is_blank(c)) {  // quoted field ends, row too if only blanks follow
                        m_state = end_blank_run() ? State::END_OF_ROW : State::START_OF_FIELD;
                        return Field(m_fieldbuf);
                    }
                    if (lone_cr(c)) {  // text after closing quote, in LF mode
                        append_field(&c, 1);
                        m_state = State::IN_FIELD;
                        break;
                    }
                    if (c == m_terminator) {  // quoted field ends row
                        handle_crlf(c);
                        m_state = State::END_OF_ROW;
                        return Field(m_fieldbuf);
                    }
                    if (c == m_quote) {  // doubled quote
                        append_field(&c, 1);
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

    // Whole rows at a time, for callers that use each field where it lies in the block.
    //
    // Gives every field of every remaining row to `sink`, and ends each row with
    // sink.end_row(). The rows, their fields and the fields' texts are exactly those the row
    // iterator gives. A field that lies whole in the current block and needs no unescaping
    // comes as sink.view(data, size): its bytes stay valid until sink.block_end(), which is
    // called before the block is replaced. Any other field comes as sink.copy(data, size),
    // valid only during the call. Returns false once the input is exhausted, true when
    // sink.end_row() returned false to stop the scan. Call it at the start of a row (before
    // any other read, or after the iterator or a ROW_END token); the sink:
    //   void view(const char* data, std::size_t size);
    //   void copy(const char* data, std::size_t size);
    //   void drop_row();   // forget the fields given since the last end_row()
    //   bool end_row();    // a row is complete; false stops the scan after it
    //   void block_end();  // the views given so far are about to go stale
    //
    // Ordinary bytes are never looked at one by one: the scan jumps from a field's start to
    // the next delimiter or terminator (or, in a quoted field, the next quote), sixteen bytes
    // a step. A row that runs past the end of the block, or ends the input without a
    // terminator, is read again from its start by next_field, with every field copied.
    template <class Sink>
    bool scan_rows(Sink& sink) {
        const bool fast = special_bytes_distinct();
        if (m_state == State::END_OF_ROW) {
            m_state = State::START_OF_FIELD;  // the row's ROW_END, taken
        }
        for (;;) {
            if (m_state == State::EMPTY) {
                return false;
            }
            if (m_state == State::START_OF_FIELD && m_cursor == m_inputbuf_size) {
                if (fast) {
                    sink.block_end();
                }
                if (top_token() == nullptr) {
                    m_state = State::EMPTY;
                    return false;
                }
            }
            if (fast && m_state == State::START_OF_FIELD) {
                const FastScan done = fast_rows(sink);
                if (done == FastScan::STOPPED) {
                    return true;
                }
                if (done == FastScan::BLOCK_USED) {
                    continue;
                }
                // The row at m_cursor needs what lies beyond the block: the refill may come
                // within it, so whatever was given as a view must be used up first.
                sink.drop_row();
                sink.block_end();
            }
            if (!slow_row(sink)) {
                return false;
            }
            if (!sink.end_row()) {
                return true;
            }
        }
    }

private:
    // After a CR in CRLF mode, swallow an LF that directly follows, even from the next block.
    void handle_crlf(char c) {
        if ((m_terminator != Term::CRLF && m_terminator != Term::LF) || c != '\r') {
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

    static bool is_blank(char c) { return c == ' ' || c == '\t'; }

    // After a blank that ended a field: skips the rest of the run, and the row's terminator if
    // the run reaches one. Returns whether the row ended there.
    bool end_blank_run() {
        for (;;) {
            const char* next = top_token();
            if (next == nullptr) {
                return false;
            }
            const char c = *next;
            if (is_blank(c)) {
                ++m_cursor;
                continue;
            }
            if (!(c == m_terminator)) {
                return false;
            }
            ++m_cursor;
            if (lone_cr(c)) {  // text that starts the next field
                m_pending_cr = true;
                return false;
            }
            handle_crlf(c);
            return true;
        }
    }

    // In LF mode, whether the CR just consumed is text: no LF follows it, even from the next
    // block. A CR that an LF follows is left for handle_crlf to pair.
    bool lone_cr(char c) {
        if (m_terminator != Term::LF || c != '\r') {
            return false;
        }
        const char* next = top_token();
        return next == nullptr || *next != '\n';
    }

    // Whether the delimiter, the quote and the terminator bytes are all different: only then
    // may a field be found by jumping to the next special byte.
    bool special_bytes_distinct() const {
        const char t1 = term_byte(0);
        const char t2 = term_byte(1);
        return !m_blank_runs && m_delimiter != m_quote && m_delimiter != t1 && m_delimiter != t2 &&
               m_quote != t1 && m_quote != t2;
    }

    // The bytes that end a row: CR and LF in CRLF mode, else the terminator byte twice.
    char term_byte(int which) const {
        if (m_terminator == Term::CRLF || m_terminator == Term::LF) {
            return which == 0 ? '\r' : '\n';
        }
        return static_cast<char>(static_cast<int>(m_terminator));
    }

    enum class FastScan {
        STOPPED,     // the sink asked to stop after a row
        BLOCK_USED,  // every row of the block is taken; m_cursor is at its end
        FELL_BACK,   // the row at m_cursor goes on past the block, or ends the input unended
    };

    // Rows of the block from m_cursor, which is at the start of a row, each taken whole or
    // not at all: m_cursor moves past a row only once its terminator is read. Separators
    // (delimiter and terminator bytes) are found from a bit mask of 64 bytes at a time, so
    // each unquoted field costs a bit scan. Special bytes are distinct here, so the order in
    // which a state tests them does not matter.
    template <class Sink>
    FastScan fast_rows(Sink& sink) {
        const std::size_t size = m_inputbuf_size;
        std::size_t pos = m_cursor;              // start of the current field
        std::size_t base = pos & ~std::size_t{63};
        std::uint64_t bits = separator_mask(base) & (~std::uint64_t{0} << (pos - base));  // at >= pos
        for (;;) {
            if (pos == size) {
                return pos == m_cursor ? FastScan::BLOCK_USED : FastScan::FELL_BACK;
            }
            std::size_t end;  // the delimiter or terminator after the field
            if (m_inputbuf[pos] == m_quote) {
                const std::size_t close = find_quote(pos + 1);
                if (close + 1 >= size) {
                    return FastScan::FELL_BACK;
                }
                const char after = m_inputbuf[close + 1];
                if (close - pos - 1 > m_max_field) {
                    throw FieldTooLong(m_max_field, false);
                }
                if (after == m_delimiter || after == m_terminator) {
                    sink.view(m_inputbuf + pos + 1, close - pos - 1);
                    end = close + 1;
                } else {
                    end = unescape_quoted(pos, close);
                    if (end >= size) {
                        return FastScan::FELL_BACK;
                    }
                    sink.copy(m_fieldbuf.data(), m_fieldbuf.size());
                }
                // Separators inside the quotes are text: the mask starts again at `end`.
                base = end & ~std::size_t{63};
                bits = separator_mask(base) & (~std::uint64_t{0} << (end - base));
            } else {
                while (bits == 0) {
                    base += 64;
                    if (base >= size) {
                        return FastScan::FELL_BACK;
                    }
                    bits = separator_mask(base);
                }
                end = base + static_cast<std::size_t>(__builtin_ctzll(bits));
                if (end - pos > m_max_field) {
                    throw FieldTooLong(m_max_field, false);
                }
                sink.view(m_inputbuf + pos, end - pos);
            }
            bits &= bits - 1;  // the separator at `end`
            if (m_inputbuf[end] == m_delimiter) {
                pos = end + 1;
                continue;
            }
            std::size_t next = end + 1;
            if (m_terminator == Term::LF && m_inputbuf[end] == '\r' && (next == size || m_inputbuf[next] != '\n')) {
                return FastScan::FELL_BACK;  // a lone CR, which is text, or one whose LF may be in the next block
            }
            if ((m_terminator == Term::CRLF || m_terminator == Term::LF) && m_inputbuf[end] == '\r') {
                if (next == size) {
                    if (!m_eof) {
                        return FastScan::FELL_BACK;  // its LF may start the next block
                    }
                } else if (m_inputbuf[next] == '\n') {
                    ++next;
                }
            }
            m_cursor = next;
            if (!sink.end_row()) {
                return FastScan::STOPPED;
            }
            pos = next;
            if (pos - base >= 64) {
                if (pos == size) {
                    return FastScan::BLOCK_USED;
                }
                base = pos & ~std::size_t{63};
                bits = separator_mask(base);
            }
            bits &= ~std::uint64_t{0} << (pos - base);  // an LF taken with its CR
        }
    }

    // Bit i set when byte base + i of the block is a delimiter or terminator byte; bytes past
    // the block's valid ones read as none. `base` is a multiple of 64 below the block's size,
    // so the loads stay inside the buffer.
    std::uint64_t separator_mask(std::size_t base) const {
        const char* p = m_inputbuf + base;
        const char t1 = term_byte(0);
        const char t2 = term_byte(1);
#if defined(__GNUC__) && defined(__x86_64__)
        const std::uint64_t mask =
            has_avx2() ? separator_mask_avx2(p, m_delimiter, t1, t2) : separator_mask_sse2(p, m_delimiter, t1, t2);
#elif defined(__SSE2__)
        const std::uint64_t mask = separator_mask_sse2(p, m_delimiter, t1, t2);
#else
        std::uint64_t mask = 0;
        for (unsigned i = 0; i < 64; ++i) {
            const char c = p[i];
            mask |= static_cast<std::uint64_t>(c == m_delimiter || c == t1 || c == t2) << i;
        }
#endif
        const std::size_t valid = m_inputbuf_size - base;
        return valid >= 64 ? mask : mask & ((std::uint64_t{1} << valid) - 1);
    }

#if defined(__SSE2__)
    static std::uint64_t separator_mask_sse2(const char* p, char delimiter, char t1, char t2) {
        const __m128i d = _mm_set1_epi8(delimiter);
        const __m128i a = _mm_set1_epi8(t1);
        const __m128i b = _mm_set1_epi8(t2);
        std::uint64_t mask = 0;
        for (unsigned k = 0; k < 4; ++k) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * k));
            const __m128i hit =
                _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, d), _mm_cmpeq_epi8(v, a)), _mm_cmpeq_epi8(v, b));
            mask |= static_cast<std::uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(hit))) << (16 * k);
        }
        return mask;
    }
#endif

#if defined(__GNUC__) && defined(__x86_64__)
    // AVX2 takes the 64 bytes in two loads instead of four; asked of the processor once.
    static bool has_avx2() {
        static const bool yes = __builtin_cpu_supports("avx2");
        return yes;
    }

    __attribute__((target("avx2"))) static std::uint64_t separator_mask_avx2(const char* p, char delimiter,
                                                                             char t1, char t2) {
        const __m256i d = _mm256_set1_epi8(delimiter);
        const __m256i a = _mm256_set1_epi8(t1);
        const __m256i b = _mm256_set1_epi8(t2);
        const __m256i lo = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
        const __m256i hi = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32));
        const __m256i hit_lo =
            _mm256_or_si256(_mm256_or_si256(_mm256_cmpeq_epi8(lo, d), _mm256_cmpeq_epi8(lo, a)), _mm256_cmpeq_epi8(lo, b));
        const __m256i hit_hi =
            _mm256_or_si256(_mm256_or_si256(_mm256_cmpeq_epi8(hi, d), _mm256_cmpeq_epi8(hi, a)), _mm256_cmpeq_epi8(hi, b));
        return static_cast<std::uint64_t>(static_cast<unsigned>(_mm256_movemask_epi8(hit_lo))) |
               static_cast<std::uint64_t>(static_cast<unsigned>(_mm256_movemask_epi8(hit_hi))) << 32;
    }
#endif

    // A quoted field that holds a doubled quote or goes on after its closing quote, opened at
    // `open` and with a quote at `close`: its text, unescaped as the state table does, goes
    // into m_fieldbuf. Returns the index of the delimiter or terminator after it, or the
    // block's size if the block ends first.
    std::size_t unescape_quoted(std::size_t open, std::size_t close) {
        const std::size_t size = m_inputbuf_size;
        m_fieldbuf.clear();
        append_field(m_inputbuf + open + 1, close - open - 1);
        for (;;) {
            const std::size_t at = close + 1;  // after a quote in a quoted field
            if (at >= size) {
                return size;
            }
            const char c = m_inputbuf[at];
            if (c == m_delimiter || c == m_terminator) {  // the field ends
                return at;
            }
            if (c == m_quote) {  // doubled quote: one quote byte, still quoted
                append_field(&c, 1);
                close = find_quote(at + 1);
                if (close >= size) {
                    return size;
                }
                append_field(m_inputbuf + at + 1, close - at - 1);
                continue;
            }
            const std::size_t end = find_separator(at);  // text after the closing quote
            append_field(m_inputbuf + at, end - at);
            return end;
        }
    }

    // One row through next_field, every field copied. Returns false if the input held no
    // further row.
    template <class Sink>
    bool slow_row(Sink& sink) {
        std::size_t fields = 0;
        for (;;) {
            const Field field = next_field();
            if (field.type == FieldType::DATA) {
                sink.copy(field.data->data(), field.data->size());
                ++fields;
                continue;
            }
            // A row that the end of input cut off still counts if it has a field.
            return field.type == FieldType::ROW_END || fields > 0;
        }
    }

    // Index of the first quote at or after `from` in the block, or the block's size.
    std::size_t find_quote(std::size_t from) const {
        if (from >= m_inputbuf_size) {
            return m_inputbuf_size;
        }
        const void* hit = std::memchr(m_inputbuf + from, m_quote, m_inputbuf_size - from);
        return hit == nullptr ? m_inputbuf_size
                              : static_cast<std::size_t>(static_cast<const char*>(hit) - m_inputbuf);
    }

    // The scan handles one byte per step, but between special bytes a step would only append
    // and stay in its state, so the two helpers below take such a run from the buffer at once.
    // Each starts with the byte just consumed (at m_cursor - 1) and stops at the end of the
    // buffer or before the next byte that the current state tests, leaving it for the scan.

    // Unquoted text: runs up to a delimiter or terminator byte.
    void take_plain_run() {
        const std::size_t start = m_cursor - 1;
        const std::size_t stop = find_separator(m_cursor);
        append_field(m_inputbuf + start, stop - start);
        m_cursor = stop;
    }

    // Quoted text: runs up to the quote.
    void take_quoted_run() {
        const std::size_t start = m_cursor - 1;
        const void* hit = std::memchr(m_inputbuf + m_cursor, m_quote, m_inputbuf_size - m_cursor);
        const std::size_t stop =
            hit == nullptr ? m_inputbuf_size
                           : static_cast<std::size_t>(static_cast<const char*>(hit) - m_inputbuf);
        append_field(m_inputbuf + start, stop - start);
        m_cursor = stop;
    }

    // Text onto the current field. A field that spans blocks grows by half again rather than
    // doubling, so that a long one holds little more memory than its own length; the limit is
    // checked before the memory is taken.
    void append_field(const char* data, std::size_t size) {
        const std::size_t needed = m_fieldbuf.size() + size;
        if (needed > m_max_field) {
            throw FieldTooLong(m_max_field, false);
        }
        if (needed > m_fieldbuf.capacity()) {
            const std::size_t grown = m_fieldbuf.size() + m_fieldbuf.size() / 2;
            m_fieldbuf.reserve(std::max(needed, std::min(grown, m_max_field)));
        }
        m_fieldbuf.append(data, size);
    }

    // Index of the first delimiter or terminator byte at or after `from`, or the block's size.
    // Sixteen bytes at a time where SSE2 is there, which is always on x86-64. Loads may reach
    // past the block's valid bytes into its slack (never past the buffer); hits there are
    // ignored.
    std::size_t find_separator(std::size_t from) const {
        const std::size_t size = m_inputbuf_size;
        const char t1 = term_byte(0);
        const char t2 = term_byte(1);
#if defined(__SSE2__)
        constexpr std::size_t kLast = static_cast<std::size_t>(INPUTBUF_CAP + INPUTBUF_SLACK) - 16;
        const __m128i d = _mm_set1_epi8(m_delimiter);
        const __m128i e = _mm_set1_epi8(m_delimiter2);
        const __m128i a = _mm_set1_epi8(t1);
        const __m128i b = _mm_set1_epi8(t2);
        for (; from < size && from <= kLast; from += 16) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(m_inputbuf + from));
            const __m128i hit = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, d), _mm_cmpeq_epi8(v, e)),
                                             _mm_or_si128(_mm_cmpeq_epi8(v, a), _mm_cmpeq_epi8(v, b)));
            const auto mask = static_cast<unsigned>(_mm_movemask_epi8(hit));
            if (mask != 0) {
                const std::size_t at = from + static_cast<std::size_t>(__builtin_ctz(mask));
                return at < size ? at : size;
            }
        }
#endif
        for (; from < size; ++from) {
            const char c = m_inputbuf[from];
            if (c == m_delimiter || c == m_delimiter2 || c == t1 || c == t2) {
                break;
            }
        }
        return from < size ? from : size;
    }

    State m_state = State::START_OF_FIELD;  // scanner state; EMPTY is final
    char m_quote = '"';                     // quote byte; set by quote()
    char m_delimiter = ',';                 // field separator; set by delimiter()
    char m_delimiter2 = ',';                // a second separator byte: tab with blank_runs()
    bool m_blank_runs = false;              // runs of blanks separate fields; set by blank_runs()
    bool m_pending_cr = false;              // a lone CR, text, consumed after a blank run
    Term m_terminator = Term::CRLF;         // row terminator; set by terminator()
    std::istream& m_input;                  // not owned; must outlive the parser

public:
    static constexpr int FIELDBUF_CAP = 1024;    // bytes reserved up front for one field
    static constexpr int INPUTBUF_CAP = 131072;  // block size: buffer size and every read's ask
    // Bytes after the block that are always there to read (never data): a caller may load a
    // whole word from a field's start without looking at where the block ends.
    static constexpr int INPUTBUF_SLACK = 16;

private:
    std::size_t m_max_field = SIZE_MAX;     // longest field (and iterator row) allowed; set by max_field_size()
    std::string m_fieldbuf;                 // current field's text; cleared per token
    char m_inputbuf[INPUTBUF_CAP + INPUTBUF_SLACK] = {};  // current block, scanned in place
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
        std::size_t bytes = 0;  // what the row holds so far, held against the parser's limit
        for (;;) {
            const Field field = m_parser->next_field();
            switch (field.type) {
                case FieldType::DATA:
                    bytes += field.data->size() + sizeof(std::string);
                    if (bytes > m_parser->m_max_field) {
                        throw FieldTooLong(m_parser->m_max_field, true);
                    }
                    if (num_fields == m_row.size()) {
                        m_row.emplace_back();
                    }
                    m_row[num_fields].swap(m_parser->m_fieldbuf);
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
