#include "arrow/batch_reader.hpp"

#include <algorithm>
#include <utility>

namespace velmira {
namespace arrow {

// The tokenizer's sink: it gathers one row's fields and hands the row over at its end.
class BatchReader::Sink {
public:
    Sink(BatchReader& reader, bool build) : r_(reader), build_(build) {}

    void view(const char* data, std::size_t size) {
        if (r_.width_++ < r_.names_.size()) r_.fields_.push_back(FieldRef{data, size, 0});
    }
    void copy(const char* data, std::size_t size) {
        if (r_.width_++ < r_.names_.size()) {
            r_.fields_.push_back(FieldRef{nullptr, size, r_.rowCopy_.size()});
            r_.rowCopy_.append(data, size);
        }
    }
    void drop_row() { r_.clearRow(); }
    bool end_row() {
        r_.convertRow(build_);
        r_.clearRow();
        return !build_ || (static_cast<std::size_t>(r_.batch_) < r_.rowLimit_ && r_.batchText_ < r_.options_.batchBytes);
    }
    // The views of a row still being read would go stale with the block: they are kept.
    void block_end() {
        for (FieldRef& field : r_.fields_) {
            if (field.data == nullptr) continue;
            const std::size_t at = r_.rowCopy_.size();
            r_.rowCopy_.append(field.data, field.size);
            field = FieldRef{nullptr, field.size, at};
        }
    }

private:
    BatchReader& r_;
    const bool build_;
};

BatchReader::BatchReader(std::unique_ptr<Input> input, std::vector<std::string> names, std::vector<ColumnPlan> plans,
                         ReaderOptions options)
    : input_(std::move(input)),
      stream_(input_.get()),
      parser_((stream_.exceptions(std::ios::badbit), stream_)),
      names_(std::move(names)),
      plans_(std::move(plans)),
      options_(std::move(options)),
      counts_(names_.size()) {
    if (plans_.size() != names_.size()) throw std::invalid_argument("one plan per column is needed");
    parser_.delimiter(options_.delimiter).quote(options_.quote);
    if (options_.blankRuns) parser_.blank_runs();
    if (options_.lfRows) parser_.lf_rows();
    parser_.max_field_size(options_.maxFieldSize);
    for (const ColumnPlan& plan : plans_) {
        formats_.push_back(formatOf(plan.type, plan.precision, plan.scale));
        builders_.emplace_back(plan.type);
    }
    for (const std::string& marker : options_.naValues) {
        naLengths_ |= marker.size() < 64 ? std::uint64_t{1} << marker.size() : 0;
    }
    // A wide table's batch holds fewer rows, so that its fixed-width values stay bounded too.
    rowLimit_ = std::min(options_.batchRows, std::max<std::size_t>(1, kBatchCells / std::max<std::size_t>(1, names_.size())));
}

BatchReader::~BatchReader() = default;

void BatchReader::schema(ArrowSchema* out) const { exportSchema(names_, formats_, out); }

void BatchReader::clearRow() {
    fields_.clear();
    rowCopy_.clear();
    width_ = 0;
}

bool BatchReader::fill(bool build) {
    if (!started_) {
        started_ = true;
        auto header = parser_.end();
        try {
            header = parser_.begin();
        } catch (tessel::csv::FieldTooLong& e) {
            e.row = 1;
            throw;
        }
        const std::size_t width = header != parser_.end() ? header->size() : 0;
        if (width != names_.size()) {
            throw HeaderMismatch("the file's header row has " + std::to_string(width) + " fields where its profile has " +
                                 std::to_string(names_.size()) + " columns: has the file changed since it was profiled?");
        }
        if (width == 0) ended_ = true;
        if (width > 1) header_ = *header;
    }
    if (ended_) return false;
    batch_ = 0;
    batchText_ = 0;
    Sink sink(*this, build);
    bool more;
    try {
        more = parser_.scan_rows(sink);
    } catch (tessel::csv::FieldTooLong& e) {
        e.row = rows_ + 2;
        throw;
    }
    if (!more) ended_ = true;
    if (const std::function<void()>* checkpoint = input_->checkpoint()) (*checkpoint)();
    return batch_ > 0;
}

bool BatchReader::next(ArrowArray* out) {
    if (!fill(true)) return false;
    exportBatch(builders_, batch_, out);
    return true;
}

void BatchReader::drain() {
    while (!ended_) fill(false);
}

void BatchReader::convertRow(bool build) {
    const std::size_t columns = names_.size();
    if (columns == 0) return;
    auto text = [&](const FieldRef& field) {
        return std::string_view(field.data != nullptr ? field.data : rowCopy_.data() + field.copied, field.size);
    };
    // Rows the inference pass does not count: comments, blank lines, repeats of the header.
    const std::string_view first = text(fields_[0]);
    if (options_.comment >= 0 && !first.empty() &&
        static_cast<unsigned char>(first[0]) == static_cast<unsigned>(options_.comment)) {
        return;
    }
    if (width_ == 1 && columns > 1 && first.empty()) return;
    if (!header_.empty() && width_ == header_.size()) {
        bool same = true;
        for (std::size_t c = 0; c < columns && same; ++c) same = text(fields_[c]) == header_[c];
        if (same) return;
    }
    for (std::size_t c = 0; c < columns; ++c) {
        if (c < fields_.size()) {
            convertField(c, text(fields_[c]), build);
        } else if (build && builds(plans_[c])) {
            builders_[c].appendNull();
        }
    }
    ++rows_;
    ++batch_;
}

bool BatchReader::builds(const ColumnPlan& plan) {
    return plan.kind != ColumnPlan::Kind::Skip && plan.kind != ColumnPlan::Kind::ZoneProbe &&
           plan.kind != ColumnPlan::Kind::DecimalProbe;
}

bool BatchReader::isMarker(std::string_view text) const {
    // Most texts have a length no marker has.
    if (text.size() < 64 && ((naLengths_ >> text.size()) & 1) == 0) return false;
    for (const std::string& marker : options_.naValues) {
        if (marker == text) return true;
    }
    return false;
}

void BatchReader::refuse(std::size_t column, std::string_view text, bool build) {
    if (options_.raiseOnError) throw ConversionError(rows_ + 2, column, std::string(text.substr(0, 200)));
    ColumnCounts& counts = counts_[column];
    if (counts.errors++ == 0) {
        counts.firstErrorRow = rows_ + 2;
        counts.firstError = std::string(text.substr(0, 60));
    }
    if (build) builders_[column].appendNull();
}

void BatchReader::convertField(std::size_t column, std::string_view text, bool build) {
    using Kind = ColumnPlan::Kind;
    const ColumnPlan& plan = plans_[column];
    if (plan.kind == Kind::Skip) return;
    ColumnBuilder& out = builders_[column];
    if (isMarker(text)) {
        if (build && builds(plan)) out.appendNull();
        return;
    }
    if (!plan.accepted.empty()) {
        const bool plain = plainText(text);
        bool taken = false;
        for (const Pattern* pattern : plan.accepted) {
            if (pattern->fullMatch(text, plain, scratch_)) {
                taken = true;
                break;
            }
        }
        if (!taken) {
            if (builds(plan)) refuse(column, text, build);
            return;
        }
    }
    convert::Civil civil;
    std::string_view number = text;
    if (plan.kind == Kind::Int64 || plan.kind == Kind::Float64 || plan.kind == Kind::Decimal ||
        plan.kind == Kind::DecimalProbe) {
        // Numbers padded with blanks (" 42") are numbers of their column's type.
        while (!number.empty() && (number.front() == ' ' || number.front() == '\t')) number.remove_prefix(1);
        while (!number.empty() && (number.back() == ' ' || number.back() == '\t')) number.remove_suffix(1);
    }
    switch (plan.kind) {
        case Kind::Int64: {
            std::int64_t value;
            if (!convert::parseInt64(number, plan.number.group, value)) return refuse(column, text, build);
            if (build) out.appendInt64(value);
            return;
        }
        case Kind::Float64: {
            double value;
            if (!convert::parseDouble(number, plan.number, value)) return refuse(column, text, build);
            if (build) out.appendDouble(value);
            return;
        }
        case Kind::Decimal: {
            __int128 value;
            if (!convert::parseDecimal(number, plan.number, plan.precision, plan.scale, value)) return refuse(column, text, build);
            if (build) out.appendDecimal(value);
            return;
        }
        case Kind::DecimalProbe: {
            convert::DecimalShape shape;
            if (convert::measureDecimal(number, plan.number, shape)) {
                ColumnCounts& counts = counts_[column];
                counts.whole = std::max(counts.whole, shape.whole);
                counts.scale = std::max(counts.scale, shape.scale);
                counts.exponents += shape.exponent ? 1 : 0;
                std::int64_t ignored;
                if (shape.scale == 0 && !shape.exponent && !convert::parseInt64(number, plan.number.group, ignored)) {
                    ++counts.beyondInt64;
                }
            }
            return;
        }
        case Kind::Bool: {
            bool value;
            if (!plan.words || !plan.words->parse(text, value)) return refuse(column, text, build);
            if (build) out.appendBool(value);
            return;
        }
        case Kind::Date:
            if (!plan.format.parse(text, civil)) return refuse(column, text, build);
            if (build) out.appendInt32(static_cast<std::int32_t>(convert::daysFromCivil(civil.year, civil.month, civil.day)));
            return;
        case Kind::Timestamp: {
            const bool ok = plan.isoForm ? convert::parseIsoDatetime(text, civil) : plan.format.parse(text, civil);
            // A zone where the column has none, or none where it has: not the column's value.
            if (!ok || civil.zoned != (plan.type == ColumnType::TimestampUtc)) return refuse(column, text, build);
            if (build) out.appendInt64(convert::epochMicros(civil));
            return;
        }
        case Kind::Time: {
            const bool ok = plan.isoForm ? convert::parseIsoTime(text, civil) : plan.format.parse(text, civil);
            if (!ok || civil.zoned != plan.zoned) return refuse(column, text, build);
            if (build) out.appendInt64(convert::dayMicros(civil));
            return;
        }
        case Kind::ZoneProbe:
            if (convert::parseIsoDatetime(text, civil) || convert::parseIsoTime(text, civil)) {
                ++(civil.zoned ? counts_[column].zoned : counts_[column].naive);
            } else if (text == "24:00" || text == "24:00:00") {
                ++counts_[column].endOfDay;
            }
            return;
        case Kind::Text:
            if (!build) return;
            batchText_ += text.size();
            if (options_.encoding == TextEncoding::Utf8) {
                if (convert::validUtf8(text)) {
                    out.appendText(text);
                    return;
                }
                ++counts_[column].replaced;
                converted_.clear();
                convert::appendUtf8Replacing(text, converted_);
            } else {
                if (std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
                    out.appendText(text);
                    return;
                }
                converted_.clear();
                convert::appendSingleByte(text, options_.encoding == TextEncoding::Cp1252, converted_);
            }
            batchText_ += converted_.size() - text.size();
            out.appendText(converted_);
            return;
        case Kind::Skip:
            return;
    }
}

}  // namespace arrow
}  // namespace velmira
