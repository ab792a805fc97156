// The CSV tokenizer: dialect tables, block edges, token sequences and read failures.
//
// Rows render as "[a][b]/[c]/": each field in brackets, each row closed by '/'.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <stdexcept>
#include <streambuf>
#include <string>
#include <utility>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

#include "csv/parser.hpp"
#include "csv_model.hpp"

namespace {

using tessel::csv::CsvParser;
using tessel::csv::Field;
using tessel::csv::FieldType;
using namespace std::string_literals;

constexpr std::size_t kBlock = static_cast<std::size_t>(CsvParser::INPUTBUF_CAP);

using Configure = std::function<void(CsvParser&)>;

std::string render_row(const std::vector<std::string>& row) {
    std::string out;
    for (const std::string& field : row) {
        out += "[" + field + "]";
    }
    return out + "/";
}

std::vector<std::vector<std::string>> rows_of(std::istream& in, const Configure& configure = {}) {
    CsvParser parser(in);
    if (configure) {
        configure(parser);
    }
    std::vector<std::vector<std::string>> rows;
    for (auto it = parser.begin(); it != parser.end(); ++it) {
        rows.push_back(*it);
    }
    return rows;
}

std::string render_rows(const std::vector<std::vector<std::string>>& rows, std::size_t from = 0) {
    std::string out;
    for (std::size_t i = from; i < rows.size(); ++i) {
        out += render_row(rows[i]);
    }
    return out;
}

std::string rows_via_iterator(const std::string& input, const Configure& configure = {}) {
    std::istringstream in(input);
    return render_rows(rows_of(in, configure));
}

// Rows assembled from next_field tokens alone, bounded so that a scanner that stops making
// progress fails instead of hanging.
std::string rows_via_tokens(const std::string& input, const Configure& configure = {}) {
    std::istringstream in(input);
    CsvParser parser(in);
    if (configure) {
        configure(parser);
    }
    std::string out;
    std::string row;
    for (std::size_t i = 0; i < 2 * input.size() + 4; ++i) {
        const Field field = parser.next_field();
        if (field.type == FieldType::DATA) {
            row += "[" + *field.data + "]";
        } else if (field.type == FieldType::ROW_END) {
            out += row + "/";
            row.clear();
        } else {
            return row.empty() ? out : out + row + "/";
        }
    }
    return "no CSV_END after " + std::to_string(2 * input.size() + 4) + " tokens";
}

// Tokens of the whole input, e.g. "[a] [b] ROW_END [c] CSV_END".
std::string tokens_of(const std::string& input) {
    std::istringstream in(input);
    CsvParser parser(in);
    std::string out;
    for (std::size_t i = 0; i < 2 * input.size() + 4; ++i) {
        const Field field = parser.next_field();
        if (!out.empty()) {
            out += " ";
        }
        if (field.type == FieldType::DATA) {
            out += "[" + *field.data + "]";
        } else if (field.type == FieldType::ROW_END) {
            out += "ROW_END";
        } else {
            return out + "CSV_END";
        }
    }
    return out + "...";
}

// The byte-at-a-time model, rendered.
std::string model_rows(const std::string& in, char delim = ',', char quote = '"', bool lf_rows = false) {
    return render_rows(csvtest::modelRows(in, delim, quote, lf_rows));
}

// Rows through the fast path, rendered; a broken sink invariant renders as an error.
std::string rows_via_scan(const std::string& input, const Configure& configure = {},
                          bool header_by_iterator = false, std::size_t stop_every = 0) {
    const auto result = csvtest::scanRows(
        input, [&](CsvParser& p) { if (configure) configure(p); }, header_by_iterator, stop_every);
    if (result.brokenInvariant) {
        return "scan_rows broke the sink's invariants";
    }
    return render_rows(result.rows);
}

struct RowsCase {
    const char* name;
    std::string input;
    std::string expected;
};

void PrintTo(const RowsCase& c, std::ostream* os) { *os << c.name; }

template <class Case>
std::string case_name(const testing::TestParamInfo<Case>& param_info) {
    return param_info.param.name;
}

// Default dialect: ',' delimiter, '"' quote, CRLF terminator mode.
const std::vector<RowsCase> kDialect = {
    {"Empty", "", ""},
    {"LoneLF", "\n", "[]/"},
    {"LoneCR", "\r", "[]/"},
    {"CRLFCountsOnce", "\r\n", "[]/"},
    {"LFCRCountsTwice", "\n\r", "[]/[]/"},
    {"CRCR", "\r\r", "[]/[]/"},
    {"NoFinalTerminator", "a,b", "[a][b]/"},
    {"CRLFRows", "a,b\r\nc,d\r\n", "[a][b]/[c][d]/"},
    {"CRAndLFEachEndARow", "a\rb\nc", "[a]/[b]/[c]/"},
    {"EmptyLineBetweenLFAndCRLF", "a\n\r\nb", "[a]/[]/[b]/"},
    {"EmptyLinesKept", "a\n\n\nb\n", "[a]/[]/[]/[b]/"},
    {"DelimiterBeforeTerminator", "a,\n", "[a][]/"},
    {"DelimiterAtEndOfInput", "a,", "[a]/"},
    {"DelimiterAlone", ",", "[]/"},
    {"TwoDelimiters", ",,\n", "[][][]/"},
    {"SpacesKept", " a , b \n", "[ a ][ b ]/"},
    {"QuotedDelimiterLineEndAndQuote", "\"x,\r\n\"\"y\",z\n", "[x,\r\n\"y][z]/"},
    {"QuotedFieldEndsRowCRLF", "\"a\"\r\nb", "[a]/[b]/"},
    {"TextAfterClosingQuote", "\"a\"b", "[ab]/"},
    {"TextAfterClosingQuoteUpToDelimiter", "\"ab\"cd,e", "[abcd][e]/"},
    {"QuoteAfterTextAfterClosingQuote", "\"a\"b\"c", "[ab\"c]/"},
    {"QuoteInsideUnquotedField", "a\"b", "[a\"b]/"},
    {"QuoteAfterLeadingSpace", " \"a\"", "[ \"a\"]/"},
    {"TwoQuotesThenField", "\"\",x", "[][x]/"},
    {"TwoQuotesAlone", "\"\"", ""},
    {"TwoQuotesThenLF", "\"\"\n", "[]/"},
    {"TwoQuotesAfterDelimiterAtEnd", "a,\"\"", "[a]/"},
    {"ThreeQuotes", "\"\"\"", "[\"]/"},
    {"FourQuotes", "\"\"\"\"", "[\"]/"},
    {"UnterminatedQuoted", "\"abc", "[abc]/"},
    {"UnterminatedQuotedAcrossLF", "\"abc\ndef", "[abc\ndef]/"},
    {"LoneQuote", "\"", ""},
    {"ByteOrderMarkIsText", "\xEF\xBB\xBF" "a,b\n", "[\xEF\xBB\xBF" "a][b]/"},
    {"NulIsText", "a\0b,\0\n\0"s, "[a\0b][\0]/[\0]/"s},
    {"HighBytesAreText", "\xFF,\x80\xFE\n", "[\xFF][\x80\xFE]/"},
    {"NarrowerRowAfterWider", "1,2,3,4,5\na,b,c\nx\n", "[1][2][3][4][5]/[a][b][c]/[x]/"},
    {"WiderRowAfterNarrower", "a\n1,2,3\n", "[a]/[1][2][3]/"},
    {"LongFieldsMixed", "abcdefghijklmnop,\"qrstuvwxyz,0123456789\"\r\n",
     "[abcdefghijklmnop][qrstuvwxyz,0123456789]/"},
};

class Dialect : public testing::TestWithParam<RowsCase> {};

TEST_P(Dialect, IteratorRows) { EXPECT_EQ(rows_via_iterator(GetParam().input), GetParam().expected); }

TEST_P(Dialect, TokenRowsMatchIterator) {
    EXPECT_EQ(rows_via_tokens(GetParam().input), GetParam().expected);
}

TEST_P(Dialect, ByteAtATimeModelAgrees) {
    EXPECT_EQ(model_rows(GetParam().input), GetParam().expected);
}

TEST_P(Dialect, ScanRowsAgree) {
    const std::string& input = GetParam().input;
    EXPECT_EQ(rows_via_scan(input), GetParam().expected);
    EXPECT_EQ(rows_via_scan(input, {}, true), GetParam().expected);
    EXPECT_EQ(rows_via_scan(input, {}, false, 1), GetParam().expected);
}

// The fixture at every offset of a SIMD word, and straddling the end of the first block at
// every offset, through the fast path.
TEST_P(Dialect, ScanRowsAtEveryOffset) {
    const RowsCase& c = GetParam();
    for (std::size_t shift = 0; shift < 32; ++shift) {
        const std::string pad(shift, 'p');
        EXPECT_EQ(rows_via_scan(pad + "\n" + c.input, {}, true), "[" + pad + "]/" + c.expected)
            << "fixture at offset " << shift + 1;
    }
    for (std::size_t k = 0; k <= c.input.size() + 1; ++k) {
        const std::string pad(kBlock - k - 1, 'p');
        EXPECT_EQ(rows_via_scan(pad + "\n" + c.input), "[" + pad + "]/" + c.expected)
            << "fixture at offset " << kBlock - k;
    }
}

// Puts the fixture behind a padding row so that each of its bytes lands once on the last byte
// of the first block and once on the first byte of the second. Its rows must not change.
TEST_P(Dialect, ShiftedAcrossBlockBoundary) {
    const RowsCase& c = GetParam();
    for (std::size_t k = 0; k <= c.input.size(); ++k) {
        const std::string pad(kBlock - k - 1, 'p');
        std::istringstream in(pad + "\n" + c.input);
        const auto rows = rows_of(in);
        ASSERT_FALSE(rows.empty());
        EXPECT_EQ(rows[0], std::vector<std::string>{pad}) << "fixture at offset " << kBlock - k;
        EXPECT_EQ(render_rows(rows, 1), c.expected) << "fixture at offset " << kBlock - k;
    }
}

INSTANTIATE_TEST_SUITE_P(Tokenizer, Dialect, testing::ValuesIn(kDialect), case_name<RowsCase>);

struct ConfigCase {
    const char* name;
    char delimiter;
    char quote;
    int terminator;  // -1: leave CRLF mode
    std::string input;
    std::string expected;
};

void PrintTo(const ConfigCase& c, std::ostream* os) { *os << c.name; }

const std::vector<ConfigCase> kConfigured = {
    {"SemicolonDelimiter", ';', '"', -1, "a,b;c\n", "[a,b][c]/"},
    {"TabDelimiter", '\t', '"', -1, "a\tb c\n", "[a][b c]/"},
    {"SingleQuote", ',', '\'', -1, "'a,b',\"c,d\"\n", "[a,b][\"c][d\"]/"},
    {"SemicolonTerminatorMakesCRLFText", ',', '"', ';', "a\r\nb;c,d", "[a\r\nb]/[c][d]/"},
    {"LFTerminatorKeepsCR", ',', '"', '\n', "a\r\nb\r", "[a\r]/[b\r]/"},
    {"CRTerminatorDoesNotPair", ',', '"', '\r', "a\r\nb", "[a]/[\nb]/"},
    {"HighByteTerminatorIsNotCRLFMode", ',', '"', 0xFE, "a\r\xFE" "b\n", "[a\r]/[b\n]/"},
    {"TerminatorShadowsDelimiter", '\n', '"', -1, "a\nb", "[a]/[b]/"},
    {"TerminatorShadowsQuoteAtStart", ',', '\n', -1, "\nx", "[]/[x]/"},
    {"SingleByteTerminatorShadowsQuote", ',', ';', ';', ";a;;", "[]/[a]/[]/"},
    {"QuoteShadowsDelimiterAtStart", '"', '"', -1, "\"x\"", "[x]/"},
    {"DelimiterWhereQuoteIsNotTested", '"', '"', -1, "x\"y", "[x][y]/"},
    {"QuoteShadowsDelimiterAfterQuote", '"', '"', -1, "\"x\"\"y\"", "[x\"y]/"},
};

class Configured : public testing::TestWithParam<ConfigCase> {};

TEST_P(Configured, Rows) {
    const ConfigCase& c = GetParam();
    const Configure configure = [&c](CsvParser& p) {
        p.delimiter(c.delimiter).quote(c.quote);
        if (c.terminator != -1) {
            p.terminator(static_cast<char>(c.terminator));
        }
    };
    EXPECT_EQ(rows_via_iterator(c.input, configure), c.expected);
    EXPECT_EQ(rows_via_tokens(c.input, configure), c.expected);
    EXPECT_EQ(rows_via_scan(c.input, configure), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Tokenizer, Configured, testing::ValuesIn(kConfigured),
                         case_name<ConfigCase>);

struct TokensCase {
    const char* name;
    std::string input;
    std::string expected;
};

void PrintTo(const TokensCase& c, std::ostream* os) { *os << c.name; }

// A row's last field comes when its terminator is read; the ROW_END only on the next call,
// which is CSV_END instead when the input ends there.
const std::vector<TokensCase> kTokens = {
    {"Empty", "", "CSV_END"},
    {"OneRowNoTerminator", "a,b", "[a] [b] CSV_END"},
    {"OneRowTerminated", "a,b\n", "[a] [b] CSV_END"},
    {"TwoRows", "a,b\r\nc", "[a] [b] ROW_END [c] CSV_END"},
    {"EmptyLines", "\n\n", "[] ROW_END [] CSV_END"},
    {"DelimiterAtEnd", "a,", "[a] CSV_END"},
    {"DelimiterBeforeTerminator", "a,\nb", "[a] [] ROW_END [b] CSV_END"},
    {"TwoQuotesAlone", "\"\"", "CSV_END"},
    {"UnterminatedQuoted", "x\n\"ab", "[x] ROW_END [ab] CSV_END"},
};

class Tokens : public testing::TestWithParam<TokensCase> {};

TEST_P(Tokens, Sequence) {
    EXPECT_EQ(tokens_of(GetParam().input), GetParam().expected);

    std::istringstream in(GetParam().input);
    CsvParser parser(in);
    while (parser.next_field().type != FieldType::CSV_END) {
    }
    EXPECT_TRUE(parser.empty());
    EXPECT_EQ(parser.next_field().type, FieldType::CSV_END);
    EXPECT_EQ(parser.position(), static_cast<std::streamoff>(GetParam().input.size()));
}

INSTANTIATE_TEST_SUITE_P(Tokenizer, Tokens, testing::ValuesIn(kTokens),
                         case_name<TokensCase>);

// The byte that starts the next row stays unread until ROW_END is returned; CR LF is taken whole.
TEST(TokenizerPosition, AdvancesPastWhatEachTokenConsumed) {
    std::istringstream in("ab,c\r\nd");
    CsvParser parser(in);
    EXPECT_EQ(parser.position(), 0);
    std::vector<std::streamoff> positions;
    while (parser.next_field().type != FieldType::CSV_END) {
        positions.push_back(parser.position());
    }
    EXPECT_EQ(positions, (std::vector<std::streamoff>{3, 6, 6, 7}));
}

// Generated inputs, some shifted across the block boundary, against the byte-at-a-time model.
TEST(TokenizerModel, RandomInputsAgreeWithModel) {
    const std::vector<std::string> pieces = {
        "a", "b", "0123456789abcdef", ",", ",", "\"", "\"", "\"\"", "\r", "\n", "\r\n",
        " ",  "\xFF", "\x80", "\x09", "\x0B", "\x0C", "\x0E", "\x2B", "\x2D", "\0"s,
    };
    const std::vector<std::pair<char, char>> dialects = {
        {',', '"'}, {';', '"'}, {',', '\''}, {'"', '"'}, {'\n', '"'}};
    std::mt19937 rng(20240611);
    std::uniform_int_distribution<std::size_t> pick(0, pieces.size() - 1);
    std::uniform_int_distribution<std::size_t> length(0, 60);
    for (int n = 0; n < 600; ++n) {
        std::string input;
        for (std::size_t len = length(rng); len > 0; --len) {
            input += pieces[pick(rng)];
        }
        const auto [delim, quote] = dialects[static_cast<std::size_t>(n) % dialects.size()];
        const Configure configure = [d = delim, q = quote](CsvParser& p) {
            p.delimiter(d).quote(q);
        };
        const std::string expected = model_rows(input, delim, quote);
        ASSERT_EQ(rows_via_iterator(input, configure), expected) << "case " << n;
        ASSERT_EQ(rows_via_tokens(input, configure), expected) << "case " << n;
        if (n % 10 == 0) {
            const std::size_t k = std::uniform_int_distribution<std::size_t>(0, input.size())(rng);
            const std::string pad(kBlock - k - 1, 'p');
            ASSERT_EQ(rows_via_iterator(pad + "\n" + input, configure),
                      "[" + pad + "]/" + expected)
                << "case " << n << " at offset " << kBlock - k;
        }
    }
}

// The fast path against the byte-at-a-time model over generated inputs: every special byte at
// every offset of a SIMD word and around the end of the first block, CR ending one block with
// its LF starting the next, quotes and delimiters there, in every dialect the model knows.
TEST(TokenizerScanRows, GeneratedInputsAgreeWithModel) {
    const std::vector<std::string> pieces = {
        "a", "b", "0123456789abcdef", "0123456789abcdefghijklmnopqrstu", ",", ",", ";", "\"", "\"",
        "\"\"", "\r", "\n", "\r\n", " ", "\xFF", "\x80", "\t", "\x0B", "\x0C", "\0"s, "'",
    };
    const std::vector<std::pair<char, char>> dialects = {
        {',', '"'}, {';', '"'}, {',', '\''}, {'\t', '"'}, {'"', '"'}, {'\n', '"'}, {',', '\r'}};
    std::mt19937 rng(20261208);
    std::uniform_int_distribution<std::size_t> pick(0, pieces.size() - 1);
    std::uniform_int_distribution<std::size_t> length(0, 40);
    for (int n = 0; n < 1200; ++n) {
        std::string input;
        for (std::size_t len = length(rng); len > 0; --len) {
            input += pieces[pick(rng)];
        }
        const auto [delim, quote] = dialects[static_cast<std::size_t>(n) % dialects.size()];
        const Configure configure = [d = delim, q = quote](CsvParser& p) { p.delimiter(d).quote(q); };
        const std::string expected = model_rows(input, delim, quote);
        ASSERT_EQ(rows_via_scan(input, configure), expected) << "case " << n;
        ASSERT_EQ(rows_via_scan(input, configure, true, 3), expected) << "case " << n;
        // At every offset of a 16-byte word, behind a first row.
        const std::size_t shift = static_cast<std::size_t>(n) % 17;
        const std::string word_pad(shift, 'p');
        ASSERT_EQ(rows_via_scan(word_pad + "\n" + input, configure, n % 2 == 0),
                  model_rows(word_pad + "\n" + input, delim, quote))
            << "case " << n << " shifted by " << shift;
        // Straddling the end of the first block at each of its offsets in turn.
        const std::size_t k = static_cast<std::size_t>(n) % (input.size() + 2);
        const std::string pad(kBlock - k - 1, 'p');
        ASSERT_EQ(rows_via_scan(pad + "\n" + input, configure), model_rows(pad + "\n" + input, delim, quote))
            << "case " << n << " at offset " << kBlock - k;
        // Rows ended by LF alone, a lone CR being text: where neither delimiter nor quote is a
        // line-end byte.
        if (delim == '\r' || delim == '\n' || quote == '\r' || quote == '\n') {
            continue;
        }
        const Configure lf = [d = delim, q = quote](CsvParser& p) { p.delimiter(d).quote(q).lf_rows(); };
        ASSERT_EQ(rows_via_scan(input, lf), model_rows(input, delim, quote, true)) << "LF case " << n;
        ASSERT_EQ(rows_via_scan(input, lf, true, 3), model_rows(input, delim, quote, true)) << "LF case " << n;
        ASSERT_EQ(rows_via_scan(pad + "\n" + input, lf), model_rows(pad + "\n" + input, delim, quote, true))
            << "LF case " << n << " at offset " << kBlock - k;
    }
}

// Fields separated by runs of blanks, as space-aligned exports write them.
TEST(TokenizerBlankRuns, Cases) {
    const Configure blanks = [](CsvParser& p) { p.blank_runs(); };
    const std::pair<std::string, std::string> cases[] = {
        {"popul TVnews selfLR\n  1   2.5  x\n", "[popul][TVnews][selfLR]/[1][2.5][x]/"},
        {"a\tb \t c  \r\n1 2 3", "[a][b][c]/[1][2][3]/"},
        {"\"New York\"  12 \"\"\n", "[New York][12][]/"},
        {"   \n\t\n", "[]/[]/"},
        {"a,b c;d\n", "[a,b][c;d]/"},
        {"\"q\"x y\n", "[qx][y]/"},
    };
    for (const auto& [input, expected] : cases) {
        EXPECT_EQ(rows_via_scan(input, blanks), expected) << input;
        EXPECT_EQ(rows_via_scan(input, blanks, true), expected) << input;
        EXPECT_EQ(render_rows(csvtest::modelRows(input, ' ', '"', false, true)), expected) << input;
    }
}

// The same, against the byte-at-a-time model over generated inputs, in both line-end modes
// and across the first block's end.
TEST(TokenizerBlankRuns, GeneratedInputsAgreeWithModel) {
    const std::vector<std::string> pieces = {"a", "bc", "0123456789abcdefghij", " ", " ", "  ", "\t", " \t ",
                                             "\"", "\"\"", "\r", "\n", "\r\n", ",", "\xFF"};
    std::mt19937 rng(20261208);
    std::uniform_int_distribution<std::size_t> pick(0, pieces.size() - 1);
    std::uniform_int_distribution<std::size_t> length(0, 30);
    for (int n = 0; n < 1500; ++n) {
        std::string input;
        for (std::size_t len = length(rng); len > 0; --len) {
            input += pieces[pick(rng)];
        }
        const bool lf = n % 2 == 1;
        const Configure configure = [lf](CsvParser& p) {
            p.blank_runs();
            if (lf) {
                p.lf_rows();
            }
        };
        const std::string expected = render_rows(csvtest::modelRows(input, ' ', '"', lf, true));
        ASSERT_EQ(rows_via_scan(input, configure), expected) << "case " << n;
        ASSERT_EQ(rows_via_scan(input, configure, true, 2), expected) << "case " << n;
        const std::size_t k = static_cast<std::size_t>(n) % (input.size() + 2);
        const std::string padded = std::string(kBlock - k - 1, 'p') + "\n" + input;
        ASSERT_EQ(rows_via_scan(padded, configure), render_rows(csvtest::modelRows(padded, ' ', '"', lf, true)))
            << "case " << n << " at offset " << kBlock - k;
    }
}

// Rows ended by LF alone, as a writer that leaves CRs inside unquoted fields makes them.
TEST(TokenizerLfRows, LoneCrIsText) {
    const Configure lf = [](CsvParser& p) { p.lf_rows(); };
    EXPECT_EQ(rows_via_scan("a,b\nx\ry,2\r\nz,3\n\r,\"q\"\r\n", lf), "[a][b]/[x\ry][2]/[z][3]/[\r][q]/");
    EXPECT_EQ(rows_via_iterator("a\rb\n\"c\"\rd\n"), "[a]/[b]/[c]/[d]/");  // by default a CR ends rows
    EXPECT_EQ(rows_via_scan("a\rb\n\"c\"\rd\n", lf), "[a\rb]/[c\rd]/");
    // A CR as the last byte of a block, its LF or its text first in the next.
    for (const std::string& after : {"\n"s, "x\n"s}) {
        const std::string input = std::string(kBlock - 1, 'p') + "\r" + after;
        const std::string rows = rows_via_scan(input, lf);
        EXPECT_EQ(rows, model_rows(input, ',', '"', true));
    }
}

// Inputs of exactly one block and one byte more, ending in each special byte, and a CR as the
// last byte of a full block with its LF in the next.
TEST(TokenizerScanRows, BlockSizedInputs) {
    for (const std::string& tail : {"\n"s, "\r"s, ","s, "\""s, "\"\""s, "x"s, "\r\n"s}) {
        for (std::size_t extra : {std::size_t{0}, std::size_t{1}, std::size_t{2}}) {
            std::string input(kBlock + extra - tail.size(), 'a');
            for (std::size_t i = 7; i < input.size(); i += 8) {
                input[i] = (i / 8) % 3 == 0 ? '\n' : ',';
            }
            input += tail;
            ASSERT_EQ(rows_via_scan(input), model_rows(input))
                << "tail " << render_row({tail}) << " extra " << extra;
        }
    }
    const std::string pad(kBlock - 3, 'p');
    EXPECT_EQ(rows_via_scan(pad + "\nx\r\ny\n"), "[" + pad + "]/[x]/[y]/");
    EXPECT_EQ(rows_via_scan(pad + "\nx\r\r\n"), "[" + pad + "]/[x]/[]/");
    EXPECT_EQ(rows_via_scan(pad + "\nx\r"), "[" + pad + "]/[x]/");
    // Fields, quoted and plain, longer than a block.
    const std::string big(3 * kBlock + 5, 'b');
    EXPECT_EQ(rows_via_scan("a," + big + ",c\n\"" + big + "\"\"\"\n"),
              "[a][" + big + "][c]/[" + big + "\"]/");
}

// A single-byte terminator, CR and LF then being text: the fast path against the iterator.
TEST(TokenizerScanRows, SingleByteTerminator) {
    const Configure configure = [](CsvParser& p) { p.terminator(';'); };
    for (const std::string& input :
         {"a,b;c\r\nd;\"x;y\";\"\";"s, "a\n;b\r"s, std::string(kBlock - 1, 'q') + ";\"a\"\"b\";c"}) {
        EXPECT_EQ(rows_via_scan(input, configure), rows_via_iterator(input, configure));
    }
}

// --- Block edges ----------------------------------------------------------------------------

TEST(TokenizerBlocks, CRLFSplitAcrossBlocksCountsOnce) {
    const std::string pad(kBlock - 3, 'p');  // pad, LF, x: the CR is the block's last byte
    EXPECT_EQ(rows_via_iterator(pad + "\nx\r\ny\n"), "[" + pad + "]/[x]/[y]/");
    EXPECT_EQ(rows_via_iterator(pad + "\nx\r\r\n"), "[" + pad + "]/[x]/[]/");
    EXPECT_EQ(rows_via_iterator(pad + "\nx\ry"), "[" + pad + "]/[x]/[y]/");
}

TEST(TokenizerBlocks, CRAsLastByteOfExactBlock) {
    const std::string pad(kBlock - 3, 'p');
    EXPECT_EQ(rows_via_iterator(pad + "\nx\r"), "[" + pad + "]/[x]/");
}

TEST(TokenizerBlocks, FieldSpanningBlocksArrivesWhole) {
    const std::string head(kBlock - 100, 'h');
    const std::string plain = "a" + std::string(300000, 'x') + "z";
    const std::string ys(kBlock, 'y');
    const std::string quoted_raw = "\"q,\r\n\"\"" + ys + "\"\"w\"";
    const std::string quoted = "q,\r\n\"" + ys + "\"w";
    std::istringstream in(head + "\n" + plain + "," + quoted_raw + "\n");
    const auto rows = rows_of(in);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[1], (std::vector<std::string>{plain, quoted}));
}

TEST(TokenizerBlocks, FieldLongerThanAMegabyte) {
    const std::string big(1500000, 'b');
    EXPECT_EQ(rows_via_iterator("a," + big + ",c\n\"" + big + "\"\n"),
              "[a][" + big + "][c]/[" + big + "]/");
}

// The limit on a field's length, on every road a field takes: the fast path's views and its
// unescaped copies, and fields gathered across blocks. A field of exactly the limit is read.
struct LimitCase {
    const char* name;
    std::string input;
    bool refused;
};

void PrintTo(const LimitCase& c, std::ostream* os) { *os << c.name; }

const std::string kAtLimit(1000, 'x');
const LimitCase kLimits[] = {
    {"plain_at_limit", "a\n" + kAtLimit + "\n", false},
    {"plain_over", "a\n" + kAtLimit + "x\n", true},
    {"quoted_at_limit", "a\n\"" + kAtLimit + "\"\n", false},
    {"quoted_over", "a\n\"" + kAtLimit + "x\"\n", true},
    {"escaped_quote_over", "a\n\"" + kAtLimit + "\"\"\"\n", true},
    {"text_after_quote_over", "a\n\"" + kAtLimit + "\"x\n", true},
    {"across_blocks_over", "a\n" + std::string(kBlock, 'y') + "\n", true},
    {"unended_last_field_over", "a\n" + kAtLimit + "x", true},
};

class FieldLimit : public testing::TestWithParam<LimitCase> {};

TEST_P(FieldLimit, RefusedOnEveryRoad) {
    const LimitCase& c = GetParam();
    const auto limited = [](CsvParser& p) { p.max_field_size(1000); };
    for (const bool header_by_iterator : {false, true}) {
        if (c.refused) {
            EXPECT_THROW(rows_via_scan(c.input, limited, header_by_iterator), tessel::csv::FieldTooLong);
        } else {
            EXPECT_EQ(rows_via_scan(c.input, limited, header_by_iterator), rows_via_scan(c.input));
        }
    }
    std::istringstream in(c.input);
    CsvParser parser(in);
    parser.max_field_size(1000);
    if (c.refused) {
        EXPECT_THROW(for (auto it = parser.begin(); it != parser.end(); ++it) {}, tessel::csv::FieldTooLong);
    }
}

INSTANTIATE_TEST_SUITE_P(Tokenizer, FieldLimit, testing::ValuesIn(kLimits), case_name<LimitCase>);

TEST(FieldLimit, IteratorBoundsAWholeRowOfEmptyFields) {
    // Empty fields hold no text, but each costs a string: a line of delimiters is bounded too.
    std::istringstream in(std::string(100000, ',') + "\n");
    CsvParser parser(in);
    parser.max_field_size(1 << 20);
    try {
        parser.begin();
        FAIL() << "a row of 100000 fields fitted in 1 MiB";
    } catch (const tessel::csv::FieldTooLong& e) {
        EXPECT_TRUE(e.wholeRow);
        EXPECT_EQ(e.limit, std::size_t{1} << 20);
    }
}

TEST(TokenizerBlocks, InputOfExactlyOneBlock) {
    std::string input;
    while (input.size() < kBlock) {
        input += "abc,def\n";  // 8 bytes, a divisor of the block size
    }
    ASSERT_EQ(input.size(), kBlock);
    for (const std::string& variant : {input, input.substr(0, kBlock - 1) + "z"}) {
        std::istringstream in(variant);
        CsvParser parser(in);
        std::size_t rows = 0;
        std::vector<std::string> last;
        for (auto it = parser.begin(); it != parser.end(); ++it) {
            ++rows;
            last = *it;
        }
        EXPECT_EQ(rows, kBlock / 8);
        EXPECT_EQ(last, (std::vector<std::string>{"abc", variant.back() == 'z' ? "defz" : "def"}));
        EXPECT_EQ(parser.position(), static_cast<std::streamoff>(kBlock));
        EXPECT_TRUE(parser.empty());
    }
}

// --- Row iterator -----------------------------------------------------------------------------

TEST(TokenizerIterator, EmptyInputHasNoRows) {
    std::istringstream in("");
    CsvParser parser(in);
    auto it = parser.begin();
    EXPECT_TRUE(it == parser.end());
    ++it;
    EXPECT_TRUE(it == parser.end());
    EXPECT_TRUE(parser.empty());
}

TEST(TokenizerIterator, RowCutOffByEndOfInputIsDeliveredThenEnd) {
    std::istringstream in("a\nb,c");
    CsvParser parser(in);
    auto it = parser.begin();
    ++it;
    ASSERT_TRUE(it != parser.end());
    EXPECT_EQ(*it, (std::vector<std::string>{"b", "c"}));
    EXPECT_EQ(it->size(), 2u);
    ++it;
    EXPECT_TRUE(it == parser.end());
    ++it;
    EXPECT_TRUE(it == parser.end());
}

TEST(TokenizerIterator, PostfixIncrementReturnsPreviousRow) {
    std::istringstream in("a\nb\n");
    CsvParser parser(in);
    auto it = parser.begin();
    const auto before = it++;
    EXPECT_EQ(*before, std::vector<std::string>{"a"});
    EXPECT_EQ(*it, std::vector<std::string>{"b"});
}

// The parser is single-pass: a second begin() goes on from where the first one stopped.
TEST(TokenizerIterator, SecondBeginContinues) {
    std::istringstream in("a\nb\nc\n");
    CsvParser parser(in);
    EXPECT_EQ(*parser.begin(), std::vector<std::string>{"a"});
    EXPECT_EQ(*parser.begin(), std::vector<std::string>{"b"});
}

TEST(TokenizerIterator, CopiedParserCarriesItsState) {
    std::istringstream in("a\n\"b\nc\"\n");
    CsvParser parser(in);
    ASSERT_EQ(parser.next_field().type, FieldType::DATA);     // a
    ASSERT_EQ(parser.next_field().type, FieldType::ROW_END);  // its row's end
    CsvParser copy = parser;
    std::string from_copy, from_original;
    for (auto it = copy.begin(); it != copy.end(); ++it) from_copy += render_row(*it);
    for (auto it = parser.begin(); it != parser.end(); ++it) from_original += render_row(*it);
    EXPECT_EQ(from_copy, "[b\nc]/");
    EXPECT_EQ(from_original, "[b\nc]/");
}

// --- Streams ----------------------------------------------------------------------------------

// Runs `body` in a child process that SIGALRM ends after `seconds`. For tests whose failure
// mode is a scan that never returns: the test fails instead of hanging the run.
bool finishes_within(unsigned seconds, const std::function<bool()>& body) {
    const pid_t pid = fork();
    if (pid == 0) {
        alarm(seconds);
        std::_Exit(body() ? 0 : 1);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid) {
        return false;
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Serves `data` in small chunks; can fail once `fail_at` bytes have been served.
class ScriptedBuf : public std::streambuf {
public:
    enum class Failure { None, ThrowInUnderflow, ThrowInXsgetn };

    ScriptedBuf(std::string data, std::size_t fail_at, Failure failure)
        : m_data(std::move(data)), m_fail_at(fail_at), m_failure(failure) {}

    int underflows = 0;

protected:
    int_type underflow() override {
        ++underflows;
        if (m_failure == Failure::ThrowInUnderflow && m_served >= m_fail_at) {
            throw std::runtime_error("device error");
        }
        if (m_served >= m_data.size()) {
            return traits_type::eof();
        }
        const std::size_t n = std::min<std::size_t>(4096, m_data.size() - m_served);
        char* begin = &m_data[m_served];
        setg(begin, begin, begin + n);
        m_served += n;
        return traits_type::to_int_type(*begin);
    }

    std::streamsize xsgetn(char* s, std::streamsize count) override {
        if (m_failure == Failure::ThrowInXsgetn && m_served >= m_fail_at) {
            throw std::runtime_error("device error");
        }
        return std::streambuf::xsgetn(s, count);
    }

private:
    std::string m_data;
    std::size_t m_served = 0;
    std::size_t m_fail_at;
    Failure m_failure;
};

// Endless "a,b\n".
class EndlessBuf : public std::streambuf {
protected:
    int_type underflow() override {
        setg(m_chunk, m_chunk, m_chunk + sizeof m_chunk);
        return traits_type::to_int_type(m_chunk[0]);
    }

private:
    char m_chunk[4] = {'a', ',', 'b', '\n'};
};

TEST(TokenizerStream, StreamNotGoodAtConstruction) {
    for (const auto flag : {std::ios::failbit, std::ios::badbit, std::ios::eofbit}) {
        std::istringstream in("a,b\n");
        in.setstate(flag);
        try {
            CsvParser parser(in);
            ADD_FAILURE() << "no exception for state " << flag;
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "Something is wrong with input stream");
        }
    }
    std::ifstream missing("/nonexistent-dir/no-such-file.csv");
    EXPECT_THROW(CsvParser parser(missing), std::runtime_error);
}

TEST(TokenizerStream, ConstructorReadsNothing) {
    ScriptedBuf buf("a,b\n", 0, ScriptedBuf::Failure::None);
    std::istream in(&buf);
    CsvParser parser(in);
    EXPECT_EQ(buf.underflows, 0);
}

// Reads are made as the scan needs bytes, so the first rows of an endless stream arrive.
TEST(TokenizerStream, FirstRowsOfEndlessStream) {
    EXPECT_TRUE(finishes_within(10, [] {
        EndlessBuf buf;
        std::istream in(&buf);
        CsvParser parser(in);
        auto it = parser.begin();
        const std::vector<std::string> first = *it;
        ++it;
        return first == std::vector<std::string>{"a", "b"} && *it == first;
    }));
}

struct ReadOutcome {
    std::size_t tokens = 0;   // tokens returned before the exception
    std::string message;      // what() of the runtime_error, empty if none came
    bool raises_again = false;
};

// Drains the parser, bounded, then checks that a further call raises again.
ReadOutcome read_until_error(CsvParser& parser, std::size_t bound) {
    ReadOutcome out;
    try {
        while (out.tokens < bound && parser.next_field().type != FieldType::CSV_END) {
            ++out.tokens;
        }
        return out;
    } catch (const std::runtime_error& e) {
        out.message = e.what();
    }
    try {
        parser.next_field();
    } catch (const std::runtime_error&) {
        out.raises_again = true;
    }
    return out;
}

struct FailureCase {
    const char* name;
    ScriptedBuf::Failure failure;
    std::size_t fail_at;
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

class ReadFailure : public testing::TestWithParam<FailureCase> {};

// Regression: a read that failed before end of file used to leave the previous block counted
// as full, so the scan went over the stale bytes again, forever.
TEST_P(ReadFailure, RaisesAndNeverRescansTheStaleBlock) {
    std::string data;
    for (int i = 0; data.size() < 3 * kBlock; ++i) {
        data += "r" + std::to_string(i) + ",x\n";
    }
    const auto attempt = [&] {
        ScriptedBuf buf(data, GetParam().fail_at, GetParam().failure);
        std::istream in(&buf);
        CsvParser parser(in);
        return read_until_error(parser, 2 * data.size());
    };
    ASSERT_TRUE(finishes_within(10, [&] { return !attempt().message.empty(); }));
    const ReadOutcome outcome = attempt();
    EXPECT_NE(outcome.message.find("Could not read the input"), std::string::npos)
        << outcome.message;
    EXPECT_TRUE(outcome.raises_again);
    // Rows are at least 5 bytes and give 3 tokens: nothing beyond the bytes read was scanned.
    EXPECT_LE(outcome.tokens, 3 * (GetParam().fail_at / 5 + 1));
}

INSTANTIATE_TEST_SUITE_P(
    Tokenizer, ReadFailure,
    testing::Values(
        FailureCase{"UnderflowThrowsAtFirstRead", ScriptedBuf::Failure::ThrowInUnderflow, 0},
        FailureCase{"UnderflowThrowsInSecondBlock", ScriptedBuf::Failure::ThrowInUnderflow,
                    kBlock + 4096},
        FailureCase{"XsgetnThrowsAfterFirstBlock", ScriptedBuf::Failure::ThrowInXsgetn, kBlock}),
    case_name<FailureCase>);

// On Linux a directory opens as an ifstream and fails only when read.
TEST(TokenizerStream, DirectoryRaisesInsteadOfLooping) {
    const std::string path = testing::TempDir();
    if (!std::ifstream(path).good()) {
        GTEST_SKIP() << "this platform does not open directories as files";
    }
    const auto attempt = [&] {
        std::ifstream dir(path);
        CsvParser parser(dir);
        ReadOutcome outcome = read_until_error(parser, 1000);
        outcome.raises_again = outcome.raises_again && !parser.empty();
        return outcome;
    };
    ASSERT_TRUE(finishes_within(10, [&] { return !attempt().message.empty(); }));
    const ReadOutcome outcome = attempt();
    EXPECT_NE(outcome.message.find("directory"), std::string::npos) << outcome.message;
    EXPECT_EQ(outcome.tokens, 0u);
    EXPECT_TRUE(outcome.raises_again);
}

TEST(TokenizerStream, RowsBeforeAFailedReadAreDelivered) {
    std::string data;
    while (data.size() < 2 * kBlock) {
        data += "abc,def\n";
    }
    ScriptedBuf buf(data, kBlock, ScriptedBuf::Failure::ThrowInUnderflow);
    std::istream in(&buf);
    CsvParser parser(in);
    std::size_t rows = 0;
    EXPECT_THROW(
        for (auto it = parser.begin(); it != parser.end() && rows <= data.size(); ++it) ++rows,
        std::runtime_error);
    EXPECT_EQ(rows, kBlock / 8 - 1);  // the last row of the block waits for the next byte
}

// With the stream set to throw, its own exception reaches the caller unchanged.
TEST(TokenizerStream, StreamExceptionsPassThrough) {
    ScriptedBuf buf("a,b\n", 0, ScriptedBuf::Failure::ThrowInUnderflow);
    std::istream in(&buf);
    in.exceptions(std::ios::badbit);
    CsvParser parser(in);
    try {
        parser.next_field();
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "device error");
    }
}

}  // namespace
