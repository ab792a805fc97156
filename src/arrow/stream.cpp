#include "arrow/stream.hpp"

#include <cerrno>
#include <new>
#include <stdexcept>
#include <utility>

namespace velmira {
namespace arrow {

namespace {

struct StreamData {
    std::shared_ptr<BatchSource> source;
    int failed = 0;          // the errno-style code of the first failure, or 0
    std::string lastError;   // what get_last_error says of it
};

StreamData* dataOf(ArrowArrayStream* stream) { return static_cast<StreamData*>(stream->private_data); }

// Runs `step`; an exception becomes the stream's failure, reported from then on.
template <class Step>
int guarded(ArrowArrayStream* stream, Step step) {
    StreamData* data = dataOf(stream);
    if (data->failed != 0) return data->failed;
    try {
        step(*data->source);
        return 0;
    } catch (const std::bad_alloc&) {
        data->failed = ENOMEM;
        data->lastError = "velmira: out of memory";
    } catch (...) {
        data->failed = EIO;
        try {
            data->lastError = data->source->describe(std::current_exception());
        } catch (...) {
            data->lastError = "velmira: the read failed";
        }
    }
    return data->failed;
}

int getSchema(ArrowArrayStream* stream, ArrowSchema* out) {
    return guarded(stream, [&](BatchSource& source) { source.schema(out); });
}

int getNext(ArrowArrayStream* stream, ArrowArray* out) {
    return guarded(stream, [&](BatchSource& source) {
        if (!source.next(out)) out->release = nullptr;  // the end of the stream
    });
}

const char* lastError(ArrowArrayStream* stream) {
    StreamData* data = dataOf(stream);
    return data->failed != 0 ? data->lastError.c_str() : nullptr;
}

void release(ArrowArrayStream* stream) {
    if (stream == nullptr || stream->release == nullptr) return;
    delete dataOf(stream);
    stream->release = nullptr;
}

}  // namespace

std::string BatchSource::describe(const std::exception_ptr& failure) const {
    try {
        std::rethrow_exception(failure);
    } catch (const std::exception& e) {
        return std::string("velmira: ") + e.what();
    } catch (...) {
        return "velmira: the read failed";
    }
}

void exportStream(std::shared_ptr<BatchSource> source, ArrowArrayStream* out) {
    auto data = std::make_unique<StreamData>();
    data->source = std::move(source);
    out->get_schema = getSchema;
    out->get_next = getNext;
    out->get_last_error = lastError;
    out->release = release;
    out->private_data = data.release();
}

}  // namespace arrow
}  // namespace velmira
