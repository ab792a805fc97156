// The typed reader's C++ side: text to values, Arrow arrays and their release, and the
// reader's pass over rows of every shape, with fields across the tokenizer's block edges.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "arrow/batch_reader.hpp"
#include "arrow/columns.hpp"
#include "arrow/stream.hpp"
#include "convert/datetime.hpp"
#include "convert/numbers.hpp"
#include "csv/parser.hpp"
#include "input/input.hpp"

namespace {

namespace cv = velmira::convert;
namespace ar = velmira::arrow;

// --- numbers -------------------------------------------------------------------------------

struct IntCase {
    const char* text;
    char group;
    bool ok;
    std::int64_t value;
};

class Integers : public ::testing::TestWithParam<IntCase> {};

TEST_P(Integers, ReadAsTheTypeWritesThem) {
    const IntCase& c = GetParam();
    std::int64_t value = 0;
    ASSERT_EQ(cv::parseInt64(c.text, c.group, value), c.ok) << c.text;
    if (c.ok) {
        EXPECT_EQ(value, c.value) << c.text;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, Integers,
    ::testing::Values(IntCase{"0", 0, true, 0}, IntCase{"-0", 0, true, 0}, IntCase{"+5", 0, true, 5},
                      IntCase{"1,234", ',', true, 1234}, IntCase{"-12.345.678", '.', true, -12345678},
                      IntCase{"9223372036854775807", 0, true, std::numeric_limits<std::int64_t>::max()},
                      IntCase{"-9223372036854775808", 0, true, std::numeric_limits<std::int64_t>::min()},
                      IntCase{"9223372036854775808", 0, false, 0}, IntCase{"99999999999999999999", 0, false, 0},
                      IntCase{"1,234", 0, false, 0}, IntCase{"1,", ',', false, 0}, IntCase{",1", ',', false, 0},
                      IntCase{"1,,2", ',', false, 0}, IntCase{"", 0, false, 0}, IntCase{"-", 0, false, 0},
                      IntCase{" 1", 0, false, 0}, IntCase{"1e3", 0, false, 0}, IntCase{"0x1F", 0, false, 0}));

struct DoubleCase {
    const char* text;
    cv::NumberFormat format;
    bool ok;
    double value;
};

class Doubles : public ::testing::TestWithParam<DoubleCase> {};

TEST_P(Doubles, ReadAsPythonsFloatReadsThePlainText) {
    const DoubleCase& c = GetParam();
    double value = 0;
    ASSERT_EQ(cv::parseDouble(c.text, c.format, value), c.ok) << c.text;
    if (c.ok) {
        EXPECT_EQ(std::memcmp(&value, &c.value, sizeof value), 0) << c.text << " gave " << value;
    }
}

const cv::NumberFormat kPlain{0, '.', false};
const double kInf = std::numeric_limits<double>::infinity();

INSTANTIATE_TEST_SUITE_P(
    Table, Doubles,
    ::testing::Values(DoubleCase{"3.14", kPlain, true, 3.14}, DoubleCase{"-.5", kPlain, true, -0.5},
                      DoubleCase{"1e10", kPlain, true, 1e10}, DoubleCase{"-2.5e+07", kPlain, true, -2.5e7},
                      DoubleCase{"0.1", kPlain, true, 0.1}, DoubleCase{"1e400", kPlain, true, kInf},
                      DoubleCase{"-1e400", kPlain, true, -kInf}, DoubleCase{"1e-400", kPlain, true, 0.0},
                      DoubleCase{"-1e-400", kPlain, true, -0.0},
                      DoubleCase{"4.9e-324", kPlain, true, std::numeric_limits<double>::denorm_min()},
                      DoubleCase{"1,234.5", {',', '.', false}, true, 1234.5},
                      DoubleCase{"-1.234.567,89", {'.', ',', false}, true, -1234567.89},
                      DoubleCase{"3,14", {0, ',', false}, true, 3.14}, DoubleCase{"12.5%", {0, '.', true}, true, 12.5},
                      DoubleCase{"12.5", {0, '.', true}, false, 0}, DoubleCase{"inf", kPlain, false, 0},
                      DoubleCase{"nan", kPlain, false, 0}, DoubleCase{".", kPlain, false, 0},
                      DoubleCase{"1.", kPlain, true, 1.0}, DoubleCase{"1e", kPlain, false, 0},
                      DoubleCase{"", kPlain, false, 0}, DoubleCase{"+", kPlain, false, 0},
                      DoubleCase{"1 ", kPlain, false, 0}));

struct ExactCase {
    const char* text;
    cv::NumberFormat format;
    int scale;
    bool ok;
    const char* unscaled;  // the value times 10^scale
    int whole, digitsAfter;
    bool exponent;
};

std::string decimalText(__int128 value) {
    if (value == 0) return "0";
    const bool negative = value < 0;
    std::string out;
    for (; value != 0; value /= 10) out.insert(out.begin(), static_cast<char>('0' + (negative ? -(value % 10) : value % 10)));
    return negative ? "-" + out : out;
}

class Exact : public ::testing::TestWithParam<ExactCase> {};

TEST_P(Exact, DecimalsKeepEveryDigit) {
    const ExactCase& c = GetParam();
    cv::DecimalShape shape;
    ASSERT_TRUE(cv::measureDecimal(c.text, c.format, shape)) << c.text;
    EXPECT_EQ((std::vector<int>{shape.whole, shape.scale, shape.exponent}),
              (std::vector<int>{c.whole, c.digitsAfter, c.exponent}))
        << c.text;
    __int128 value = 0;
    ASSERT_EQ(cv::parseDecimal(c.text, c.format, 38, c.scale, value), c.ok) << c.text;
    if (c.ok) {
        // A precision one digit short refuses the text rather than overflow the column's type.
        __int128 ignored = 0;
        EXPECT_FALSE(cv::parseDecimal(c.text, c.format, std::max(shape.whole + c.scale, 1) - 1, c.scale, ignored))
            << c.text;
    }
    if (c.ok) {
        EXPECT_EQ(decimalText(value), c.unscaled) << c.text;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, Exact,
    ::testing::Values(ExactCase{"12.34", kPlain, 2, true, "1234", 2, 2, false},
                      ExactCase{"-0.5", kPlain, 3, true, "-500", 0, 1, false},
                      ExactCase{"007.50", kPlain, 2, true, "750", 1, 2, false},
                      ExactCase{"1.234.567,8", {'.', ',', false}, 1, true, "12345678", 7, 1, false},
                      ExactCase{"12.5%", {0, '.', true}, 1, true, "125", 2, 1, false},
                      ExactCase{"1.25", kPlain, 1, false, "", 1, 2, false},
                      ExactCase{"1e5", kPlain, 0, false, "", 1, 0, true},
                      ExactCase{"99999999999999999999999999999999999999", kPlain, 0, true, "99999999999999999999999999999999999999", 38, 0, false},
                      ExactCase{"999999999999999999999999999999999999999", kPlain, 0, false, "", 39, 0, false}));

TEST(Booleans, WordsInAnyCase) {
    const cv::BoolWords words({"true", "Yes"}, {"false", "no"});
    bool value = false;
    EXPECT_TRUE(words.parse("TRUE", value) && value);
    EXPECT_TRUE(words.parse("yes", value) && value);
    EXPECT_TRUE(words.parse("No", value) && !value);
    EXPECT_FALSE(words.parse("maybe", value));
    EXPECT_FALSE(words.parse("", value));
}

// --- dates and times ------------------------------------------------------------------------

struct DateCase {
    const char* format;
    const char* text;
    bool ok;
    int y, mo, d, h, mi, s, us, offset;  // offset: seconds east, or -1 for no zone
};

DateCase Refused(const char* format, const char* text) { return {format, text, false, 0, 0, 0, 0, 0, 0, 0, -1}; }

class Formats : public ::testing::TestWithParam<DateCase> {};

TEST_P(Formats, ReadTheirTexts) {
    const DateCase& c = GetParam();
    cv::DateFormat format;
    std::string why;
    ASSERT_TRUE(cv::DateFormat::compile(c.format, format, why)) << why;
    cv::Civil got;
    ASSERT_EQ(format.parse(c.text, got), c.ok) << c.format << " " << c.text;
    if (!c.ok) return;
    EXPECT_EQ((std::vector<int>{got.year, got.month, got.day, got.hour, got.minute, got.second, got.micro}),
              (std::vector<int>{c.y, c.mo, c.d, c.h, c.mi, c.s, c.us}))
        << c.format << " " << c.text;
    EXPECT_EQ(got.zoned ? got.offsetSeconds : -1, c.offset) << c.text;
}

INSTANTIATE_TEST_SUITE_P(
    Table, Formats,
    ::testing::Values(
        DateCase{"%Y-%m-%d", "2024-02-29", true, 2024, 2, 29, 0, 0, 0, 0, -1},
        Refused("%Y-%m-%d", "2023-02-29"),
        Refused("%Y-%m-%d", "1900-02-29"),
        DateCase{"%Y-%m-%d", "2000-02-29", true, 2000, 2, 29, 0, 0, 0, 0, -1},
        DateCase{"%d/%m/%Y", "5/1/2023", true, 2023, 1, 5, 0, 0, 0, 0, -1},
        DateCase{"%d-%b-%Y", "05-FEB-2023", true, 2023, 2, 5, 0, 0, 0, 0, -1},
        DateCase{"%b %d, %Y", "Sep 5, 2023", true, 2023, 9, 5, 0, 0, 0, 0, -1},
        DateCase{"%B %Y", "september 2023", true, 2023, 9, 1, 0, 0, 0, 0, -1},
        DateCase{"%m/%d/%y", "1/2/68", true, 2068, 1, 2, 0, 0, 0, 0, -1},
        DateCase{"%m/%d/%y", "1/2/69", true, 1969, 1, 2, 0, 0, 0, 0, -1},
        DateCase{"%Y-Q%q", "2023-Q3", true, 2023, 7, 1, 0, 0, 0, 0, -1},
        DateCase{"%Y-%j", "2024-060", true, 2024, 2, 29, 0, 0, 0, 0, -1},
        Refused("%Y-%j", "2023-366"),
        DateCase{"%I:%M %p", "12:05 am", true, 1900, 1, 1, 0, 5, 0, 0, -1},
        DateCase{"%I:%M %p", "12:05 PM", true, 1900, 1, 1, 12, 5, 0, 0, -1},
        DateCase{"%I:%M %p", "1:05 PM", true, 1900, 1, 1, 13, 5, 0, 0, -1},
        DateCase{"%H:%M:%S.%f", "23:59:59.1234567", true, 1900, 1, 1, 23, 59, 59, 123456, -1},
        DateCase{"%Y%m%d", "20230115", true, 2023, 1, 15, 0, 0, 0, 0, -1},
        // Unpadded runs are read longest first, then shorter, as strptime does.
        DateCase{"%d%m%Y", "3102023", true, 2023, 10, 3, 0, 0, 0, 0, -1},
        DateCase{"%Y-%m-%dT%H:%M%z", "2023-01-15T14:30-03:30", true, 2023, 1, 15, 14, 30, 0, 0, -12600},
        DateCase{"%Y-%m-%dT%H:%M%z", "2023-01-15T14:30Z", true, 2023, 1, 15, 14, 30, 0, 0, 0},
        DateCase{"%Y-%m-%dT%H:%M%z", "2023-01-15T14:30+0545", true, 2023, 1, 15, 14, 30, 0, 0, 20700},
        DateCase{"%Y %m", "2023 \t 1", true, 2023, 1, 1, 0, 0, 0, 0, -1},
        Refused("%Y", "0000"), Refused("%H", "24"), Refused("%Y-%m-%d", "2023-01-15 "),
        Refused("%Y-%m-%d", ""), DateCase{"%%%Y", "%2023", true, 2023, 1, 1, 0, 0, 0, 0, -1}));

TEST(Formats, UnknownDirectivesAreRefusedWithTheirName) {
    cv::DateFormat format;
    std::string why;
    EXPECT_FALSE(cv::DateFormat::compile("%Y-W%U", format, why));
    EXPECT_NE(why.find("%U"), std::string::npos);
    EXPECT_FALSE(cv::DateFormat::compile("%Y%", format, why));
}

TEST(Formats, BacktrackingIsBounded) {
    // Forty unpadded numbers in a row over digits: every split would be tried without a bound.
    std::string format;
    for (int i = 0; i < 40; ++i) format += "%d";
    cv::DateFormat parsed;
    std::string why;
    ASSERT_TRUE(cv::DateFormat::compile(format, parsed, why));
    cv::Civil c;
    EXPECT_FALSE(parsed.parse(std::string(79, '1') + "x", c));
}

struct IsoCase {
    const char* text;
    bool datetime;
    bool ok;
    std::int64_t micros;  // since the epoch (datetimes) or midnight (times), in UTC when zoned
};

class Iso : public ::testing::TestWithParam<IsoCase> {};

TEST_P(Iso, ShapesOfTheDefaultTypes) {
    const IsoCase& c = GetParam();
    cv::Civil civil;
    const bool ok = c.datetime ? cv::parseIsoDatetime(c.text, civil) : cv::parseIsoTime(c.text, civil);
    ASSERT_EQ(ok, c.ok) << c.text;
    if (ok) {
        EXPECT_EQ(c.datetime ? cv::epochMicros(civil) : cv::dayMicros(civil), c.micros) << c.text;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, Iso,
    ::testing::Values(IsoCase{"1970-01-01T00:00", true, true, 0}, IsoCase{"1970-01-01 00:00:01.5", true, true, 1500000},
                      IsoCase{"1970-01-01T01:00+01", true, true, 0}, IsoCase{"1970-01-01T00:00:00,25Z", true, true, 250000},
                      IsoCase{"1969-12-31T23:00:00-0100", true, true, 0},
                      IsoCase{"2023-02-29T00:00", true, false, 0}, IsoCase{"2023-01-15t14:30", true, false, 0},
                      IsoCase{"2023-01-15T14:30z", true, false, 0}, IsoCase{"2023-01-15", true, false, 0},
                      IsoCase{"15:00:00-03:00", false, true, 18LL * 3600 * 1000000},
                      IsoCase{"01:00+02:00", false, true, 23LL * 3600 * 1000000},
                      IsoCase{"23:59:59.999999999", false, true, 86399999999LL}, IsoCase{"24:00", false, false, 0},
                      IsoCase{"7:30", false, false, 0}, IsoCase{"12:00:", false, false, 0}));

TEST(Utf8, ValidatedAndReplaced) {
    EXPECT_TRUE(cv::validUtf8("caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"));
    for (const char* bad : {"\xff", "\xc0\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80", "\xe2\x82", "abcdefgh\x80"}) {
        EXPECT_FALSE(cv::validUtf8(bad)) << bad;
        std::string replaced;
        cv::appendUtf8Replacing(bad, replaced);
        EXPECT_TRUE(cv::validUtf8(replaced));
        EXPECT_NE(replaced.find("\xef\xbf\xbd"), std::string::npos);
    }
    std::string decoded;
    cv::appendSingleByte("\x80\xe9\x81", true, decoded);
    EXPECT_EQ(decoded, "\xe2\x82\xac\xc3\xa9\xef\xbf\xbd");
}

// --- Arrow arrays ---------------------------------------------------------------------------

TEST(Columns, ExportedArraysOwnTheirBuffersAndLeaveOutAnEmptyValidity) {
    std::vector<ar::ColumnBuilder> columns{ar::ColumnBuilder(ar::ColumnType::Int64),
                                           ar::ColumnBuilder(ar::ColumnType::Utf8),
                                           ar::ColumnBuilder(ar::ColumnType::Bool)};
    for (int i = 0; i < 10; ++i) {
        columns[0].appendInt64(i);
        if (i == 3) {
            columns[1].appendNull();
        } else {
            columns[1].appendText(std::string(static_cast<std::size_t>(i), 'x'));
        }
        columns[2].appendBool(i % 3 == 0);
    }
    ArrowArray batch{};
    ar::exportBatch(columns, 10, &batch);
    ASSERT_EQ(batch.n_children, 3);
    EXPECT_EQ(batch.children[0]->buffers[0], nullptr);  // no nulls, no validity
    EXPECT_EQ(batch.children[1]->null_count, 1);
    const auto* offsets = static_cast<const std::int32_t*>(batch.children[1]->buffers[1]);
    EXPECT_EQ(offsets[10], 0 + 1 + 2 + 4 + 5 + 6 + 7 + 8 + 9);
    const auto* bits = static_cast<const std::uint8_t*>(batch.children[2]->buffers[1]);
    EXPECT_EQ(bits[0], 0b01001001);
    // A consumer may move a child out and release the parent first.
    ArrowArray moved = *batch.children[1];
    batch.children[1]->release = nullptr;
    batch.release(&batch);
    EXPECT_EQ(batch.release, nullptr);
    EXPECT_EQ(static_cast<const char*>(moved.buffers[2])[0], 'x');
    moved.release(&moved);
    EXPECT_EQ(columns[0].length(), 0);  // the builders start the next batch empty
}

TEST(Columns, ASchemaNamesEveryColumnWithItsFormat) {
    ArrowSchema schema{};
    ar::exportSchema({"a", "b", "c"},
                     {ar::formatOf(ar::ColumnType::TimestampUtc), ar::formatOf(ar::ColumnType::Date32),
                      ar::formatOf(ar::ColumnType::Decimal128, 12, 2)},
                     &schema);
    EXPECT_STREQ(schema.format, "+s");
    EXPECT_STREQ(schema.children[0]->format, "tsu:UTC");
    EXPECT_STREQ(schema.children[1]->name, "b");
    EXPECT_STREQ(schema.children[2]->format, "d:12,2");
    EXPECT_EQ(schema.children[1]->flags, ARROW_FLAG_NULLABLE);
    schema.release(&schema);
}

// --- the reader's pass ----------------------------------------------------------------------

class StringSource final : public velmira::RawSource {
public:
    explicit StringSource(std::string bytes) : bytes_(std::move(bytes)) {}
    std::size_t read(char* buffer, std::size_t size) override {
        const std::size_t n = std::min(size, bytes_.size() - at_);
        std::memcpy(buffer, bytes_.data() + at_, n);
        at_ += n;
        return n;
    }

private:
    std::string bytes_;
    std::size_t at_ = 0;
};

ar::ColumnPlan plan(ar::ColumnPlan::Kind kind, ar::ColumnType type) {
    ar::ColumnPlan p;
    p.kind = kind;
    p.type = type;
    return p;
}

// Every batch of a pass over `csv` (two columns: an integer and a text), as "n:text" rows,
// "-" for null, batches separated by "|".
std::string readAll(const std::string& csv, ar::ReaderOptions options = {}) {
    std::vector<ar::ColumnPlan> plans{plan(ar::ColumnPlan::Kind::Int64, ar::ColumnType::Int64),
                                      plan(ar::ColumnPlan::Kind::Text, ar::ColumnType::Utf8)};
    if (options.naValues.empty()) options.naValues = {"", "NA"};
    ar::BatchReader reader(std::make_unique<velmira::Input>(std::make_unique<StringSource>(csv), false),
                           {"n", "t"}, plans, options);
    std::string out;
    ArrowArray batch{};
    while (reader.next(&batch)) {
        const ArrowArray& n = *batch.children[0];
        const ArrowArray& t = *batch.children[1];
        const auto* values = static_cast<const std::int64_t*>(n.buffers[1]);
        const auto* offsets = static_cast<const std::int32_t*>(t.buffers[1]);
        const char* text = static_cast<const char*>(t.buffers[2]);
        auto valid = [](const ArrowArray& a, std::int64_t i) {
            return a.buffers[0] == nullptr || (static_cast<const std::uint8_t*>(a.buffers[0])[i / 8] >> (i % 8) & 1);
        };
        for (std::int64_t i = 0; i < batch.length; ++i) {
            out += valid(n, i) ? std::to_string(values[i]) : "-";
            out += ":";
            out += valid(t, i) ? std::string(text + offsets[i], static_cast<std::size_t>(offsets[i + 1] - offsets[i]))
                               : "-";
            out += " ";
        }
        out += "|";
        batch.release(&batch);
    }
    return out;
}

struct ShapeCase {
    const char* name;
    const char* csv;
    const char* rows;
};

class Shapes : public ::testing::TestWithParam<ShapeCase> {};

TEST_P(Shapes, RowsAreTheInferencePasssRows) { EXPECT_EQ(readAll(GetParam().csv), GetParam().rows); }

INSTANTIATE_TEST_SUITE_P(
    Table, Shapes,
    ::testing::Values(ShapeCase{"plain", "n,t\n1,a\n2,b\n", "1:a 2:b |"},
                      ShapeCase{"markers", "n,t\nNA,\n,NA\n", "-:- -:- |"},
                      ShapeCase{"short-and-wide", "n,t\n1\n2,b,extra\n", "1:- 2:b |"},
                      ShapeCase{"blank-lines", "n,t\n\n1,a\n\n", "1:a |"},
                      ShapeCase{"header-repeats", "n,t\n1,a\nn,t\n2,b\n", "1:a 2:b |"},
                      ShapeCase{"quoted", "n,t\n1,\"a,\"\"b\"\"\"\n", "1:a,\"b\" |"},
                      ShapeCase{"no-rows", "n,t\n", ""}, ShapeCase{"crlf", "n,t\r\n1,a\r\n", "1:a |"}),
    [](const ::testing::TestParamInfo<ShapeCase>& param) {
        std::string name = param.param.name;
        for (char& c : name) c = c == '-' ? '_' : c;
        return name;
    });

TEST(Reader, CommentsAreNoRows) {
    ar::ReaderOptions options;
    options.comment = '#';
    EXPECT_EQ(readAll("n,t\n#1,a\n2,b\n", options), "2:b |");
}

TEST(Reader, BatchesEndAtTheirRowLimit) {
    ar::ReaderOptions options;
    options.batchRows = 2;
    EXPECT_EQ(readAll("n,t\n1,a\n2,b\n3,c\n4,d\n5,e\n", options), "1:a 2:b |3:c 4:d |5:e |");
}

TEST(Reader, FieldsAcrossTheBlockEdgeKeepTheirText) {
    // Rows of every length around the tokenizer's block, so that some row straddles each
    // edge at every offset: a field cut by an edge must come out whole.
    const std::size_t block = static_cast<std::size_t>(tessel::csv::CsvParser::INPUTBUF_CAP);
    std::string csv = "n,t\n", expected;
    std::size_t written = csv.size();
    for (int i = 0; written < 3 * block; ++i) {
        const std::string text(static_cast<std::size_t>(i % 37) + (i % 500 == 0 ? block / 3 : 0),
                               static_cast<char>('a' + i % 26));
        const std::string row = std::to_string(i) + "," + text + "\n";
        csv += row;
        written += row.size();
        expected += std::to_string(i) + ":" + (text.empty() ? "-" : text) + " ";
    }
    ar::ReaderOptions options;
    options.batchRows = 1 << 30;
    EXPECT_EQ(readAll(csv, options), expected + "|");
}

TEST(Reader, AHeaderOfAnotherWidthIsRefused) {
    EXPECT_THROW(readAll("n,t,u\n1,a,b\n"), ar::HeaderMismatch);
}

TEST(Reader, RaisingNamesTheRowAndColumn) {
    ar::ReaderOptions options;
    options.raiseOnError = true;
    try {
        readAll("n,t\n1,a\nx,b\n", options);
        FAIL() << "no error";
    } catch (const ar::ConversionError& e) {
        EXPECT_EQ(e.row, 3u);
        EXPECT_EQ(e.column, 0u);
        EXPECT_EQ(e.text, "x");
    }
}

}  // namespace
