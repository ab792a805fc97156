#include "arrow/columns.hpp"

#include <cstring>
#include <limits>
#include <memory>
#include <stdexcept>
#include <utility>

namespace velmira {
namespace arrow {

namespace {

// What an exported array owns: its buffers, and for a struct its children's structs.
struct ArrayData {
    std::vector<std::vector<std::uint8_t>> buffers;
    std::vector<const void*> pointers;
    std::vector<ArrowArray> children;
    std::vector<ArrowArray*> childPointers;
};

void releaseArray(ArrowArray* array) {
    if (array == nullptr || array->release == nullptr) return;
    auto* data = static_cast<ArrayData*>(array->private_data);
    // A child moved out by the consumer has had its release cleared; it frees itself.
    for (ArrowArray& child : data->children) {
        if (child.release != nullptr) child.release(&child);
    }
    delete data;
    array->release = nullptr;
}

struct SchemaData {
    std::string format;
    std::string name;
    std::vector<ArrowSchema> children;
    std::vector<ArrowSchema*> childPointers;
};

void releaseSchema(ArrowSchema* schema) {
    if (schema == nullptr || schema->release == nullptr) return;
    auto* data = static_cast<SchemaData*>(schema->private_data);
    for (ArrowSchema& child : data->children) {
        if (child.release != nullptr) child.release(&child);
    }
    delete data;
    schema->release = nullptr;
}

std::vector<std::uint8_t> bytesOf(const void* data, std::size_t size) {
    const auto* p = static_cast<const std::uint8_t*>(data);
    return std::vector<std::uint8_t>(p, p + size);
}

}  // namespace

std::string formatOf(ColumnType type, int precision, int scale) {
    switch (type) {
        case ColumnType::Int64: return "l";
        case ColumnType::Float64: return "g";
        case ColumnType::Decimal128: return "d:" + std::to_string(precision) + "," + std::to_string(scale);
        case ColumnType::Bool: return "b";
        case ColumnType::Date32: return "tdD";
        case ColumnType::Timestamp: return "tsu:";
        case ColumnType::TimestampUtc: return "tsu:UTC";
        case ColumnType::Time64: return "ttu";
        case ColumnType::Utf8: return "u";
        case ColumnType::LargeUtf8: return "U";
    }
    return "u";
}

ColumnBuilder::ColumnBuilder(ColumnType type) : type_(type) { offsets_.push_back(0); }

void ColumnBuilder::markValid() {
    const auto row = static_cast<std::size_t>(length_);
    if (row % 8 == 0) validity_.push_back(0);
    validity_[row / 8] = static_cast<std::uint8_t>(validity_[row / 8] | (1u << (row % 8)));
}

void ColumnBuilder::appendNull() {
    const auto row = static_cast<std::size_t>(length_);
    if (row % 8 == 0) validity_.push_back(0);
    ++nulls_;
    switch (type_) {
        case ColumnType::Bool:
            if (row % 8 == 0) values_.push_back(0);
            break;
        case ColumnType::Utf8:
        case ColumnType::LargeUtf8:
            offsets_.push_back(static_cast<std::int64_t>(text_.size()));
            break;
        case ColumnType::Date32:
            values_.insert(values_.end(), 4, 0);
            break;
        case ColumnType::Decimal128:
            values_.insert(values_.end(), 16, 0);
            break;
        default:
            values_.insert(values_.end(), 8, 0);
    }
    ++length_;
}

void ColumnBuilder::appendInt64(std::int64_t value) {
    markValid();
    const std::size_t at = values_.size();
    values_.resize(at + 8);
    std::memcpy(values_.data() + at, &value, 8);
    ++length_;
}

void ColumnBuilder::appendInt32(std::int32_t value) {
    markValid();
    const std::size_t at = values_.size();
    values_.resize(at + 4);
    std::memcpy(values_.data() + at, &value, 4);
    ++length_;
}

void ColumnBuilder::appendDouble(double value) {
    markValid();
    const std::size_t at = values_.size();
    values_.resize(at + 8);
    std::memcpy(values_.data() + at, &value, 8);
    ++length_;
}

void ColumnBuilder::appendDecimal(__int128 value) {
    markValid();
    const std::size_t at = values_.size();
    values_.resize(at + 16);
    std::memcpy(values_.data() + at, &value, 16);  // little-endian two's complement, as Arrow's
    ++length_;
}

void ColumnBuilder::appendBool(bool value) {
    const auto row = static_cast<std::size_t>(length_);
    markValid();
    if (row % 8 == 0) values_.push_back(0);
    if (value) values_[row / 8] = static_cast<std::uint8_t>(values_[row / 8] | (1u << (row % 8)));
    ++length_;
}

void ColumnBuilder::appendText(std::string_view text) {
    if (type_ == ColumnType::Utf8 &&
        text_.size() + text.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
        throw std::length_error("a batch's text column passed 2 GiB");
    }
    markValid();
    text_.insert(text_.end(), text.begin(), text.end());
    offsets_.push_back(static_cast<std::int64_t>(text_.size()));
    ++length_;
}

void ColumnBuilder::finish(ArrowArray* out) {
    auto data = std::make_unique<ArrayData>();
    data->buffers.push_back(nulls_ != 0 ? std::move(validity_) : std::vector<std::uint8_t>());
    if (type_ == ColumnType::Utf8) {
        std::vector<std::int32_t> narrow(offsets_.size());
        for (std::size_t i = 0; i < offsets_.size(); ++i) narrow[i] = static_cast<std::int32_t>(offsets_[i]);
        data->buffers.push_back(bytesOf(narrow.data(), narrow.size() * 4));
        data->buffers.push_back(std::move(text_));
    } else if (type_ == ColumnType::LargeUtf8) {
        data->buffers.push_back(bytesOf(offsets_.data(), offsets_.size() * 8));
        data->buffers.push_back(std::move(text_));
    } else {
        data->buffers.push_back(std::move(values_));
    }
    for (std::size_t i = 0; i < data->buffers.size(); ++i) {
        // An empty buffer is still a valid pointer but the validity bitmap, which is left out.
        const std::vector<std::uint8_t>& buffer = data->buffers[i];
        static const std::uint64_t kEmpty = 0;
        data->pointers.push_back(i == 0 && nulls_ == 0 ? nullptr
                                 : buffer.empty()       ? static_cast<const void*>(&kEmpty)
                                                        : static_cast<const void*>(buffer.data()));
    }
    out->length = length_;
    out->null_count = nulls_;
    out->offset = 0;
    out->n_buffers = static_cast<std::int64_t>(data->pointers.size());
    out->n_children = 0;
    out->buffers = data->pointers.data();
    out->children = nullptr;
    out->dictionary = nullptr;
    out->release = releaseArray;
    out->private_data = data.release();

    length_ = 0;
    nulls_ = 0;
    validity_ = {};
    values_ = {};
    offsets_.assign(1, 0);
    text_ = {};
}

void exportSchema(const std::vector<std::string>& names, const std::vector<std::string>& formats, ArrowSchema* out) {
    auto data = std::make_unique<SchemaData>();
    data->format = "+s";
    data->children.resize(names.size());
    for (std::size_t i = 0; i < names.size(); ++i) {
        auto child = std::make_unique<SchemaData>();
        child->format = formats[i];
        child->name = names[i];
        ArrowSchema& c = data->children[i];
        c.format = child->format.c_str();
        c.name = child->name.c_str();
        c.metadata = nullptr;
        c.flags = ARROW_FLAG_NULLABLE;
        c.n_children = 0;
        c.children = nullptr;
        c.dictionary = nullptr;
        c.release = releaseSchema;
        c.private_data = child.release();
        data->childPointers.push_back(&c);
    }
    out->format = data->format.c_str();
    out->name = "";
    out->metadata = nullptr;
    out->flags = 0;
    out->n_children = static_cast<std::int64_t>(names.size());
    out->children = data->childPointers.data();
    out->dictionary = nullptr;
    out->release = releaseSchema;
    out->private_data = data.release();
}

void exportBatch(std::vector<ColumnBuilder>& columns, std::int64_t rows, ArrowArray* out) {
    for (const ColumnBuilder& column : columns) {
        if (column.length() != rows) throw std::logic_error("a column's length is not the batch's");
    }
    auto data = std::make_unique<ArrayData>();
    data->children.resize(columns.size());
    for (std::size_t i = 0; i < columns.size(); ++i) {
        columns[i].finish(&data->children[i]);
        data->childPointers.push_back(&data->children[i]);
    }
    data->pointers.push_back(nullptr);  // a struct's validity: every row is there
    out->length = rows;
    out->null_count = 0;
    out->offset = 0;
    out->n_buffers = 1;
    out->n_children = static_cast<std::int64_t>(columns.size());
    out->buffers = data->pointers.data();
    out->children = data->childPointers.data();
    out->dictionary = nullptr;
    out->release = releaseArray;
    out->private_data = data.release();
}

}  // namespace arrow
}  // namespace velmira
