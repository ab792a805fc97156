// An ArrowArrayStream over any source of batches: the C stream interface that pyarrow,
// polars and DuckDB import. The stream keeps its source alive until the consumer releases
// it, reports the source's first failure from then on (an errno-style code and the
// source's own words for it), and never lets an exception cross the C boundary.
#pragma once

#include <exception>
#include <memory>
#include <string>

#include "arrow/c_abi.hpp"

namespace velmira {
namespace arrow {

class BatchSource {
public:
    virtual ~BatchSource() = default;
    virtual void schema(ArrowSchema* out) = 0;
    // The next batch into `out`; false at the end. Throws on failure.
    virtual bool next(ArrowArray* out) = 0;
    // What the consumer is told of a failure.
    virtual std::string describe(const std::exception_ptr& failure) const;
};

// Fills `out` (which the caller owns, released or never initialised) with a stream over
// `source`.
void exportStream(std::shared_ptr<BatchSource> source, ArrowArrayStream* out);

}  // namespace arrow
}  // namespace velmira
