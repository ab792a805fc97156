// The threaded pass of Inf. Rows are read in batches that never straddle a cache-window
// boundary. While the workers classify one batch, column group by column group, the calling
// thread tokenizes the next, into bytes of the batch's own; then it classifies too. The
// cache is flushed between batches, when no worker runs.
#include <algorithm>
#include <chrono>
#include <exception>
#include <thread>
#include <vector>

#include "inf.hpp"
#include "pass.hpp"
#include "worker_pool.hpp"

using velmira::pass::TypeId;

class Inf::ConcurrentPass {
public:
    ConcurrentPass(Inf& inf, Pass& pass, tessel::csv::CsvParser& parser)
        : inf_(inf),
          pass_(pass),
          parser_(parser),
          batchRows_(4 * pass.batchRows()),  // larger than a single thread's: each costs a wake-up
          batches_{velmira::RowBatch(pass.numCols, batchRows_), velmira::RowBatch(pass.numCols, batchRows_)},
          rowsRead_(inf.n),
          workers_(workerCount(pass.groups.size())),
          failures_(workers_),
          scratch_(workers_),
          order_(pass.groups.size()),
          cost_(pass.groups.size(), 0) {
        for (auto& t : types_) t.resize(batchRows_ * pass.numCols);
        for (std::size_t g = 0; g < order_.size(); ++g) order_[g] = g;
        inf.typeCache.setWriters(workers_);
    }

    void run() {
        velmira::WorkerPool pool(workers_ - 1, [this](std::size_t worker, std::size_t slot) { classify(worker, slot); });
        fill(batches_[cur_]);
        while (batches_[cur_].rows > 0) {
            const velmira::RowBatch& current = batches_[cur_];
            inf_.typeCache.reserve(current.rows * pass_.numCols);  // the table must not grow under the workers
            pool.start(pass_.groups.size());
            fill(batches_[cur_ ^ 1]);
            pool.help(workers_ - 1);
            pool.wait();
            rethrowFirstFailure();
            const std::vector<TypeId>& types = types_[cur_];
            // The tokenizer is a batch ahead: the input this batch came from ends where it ended.
            inf_.finishBatch(pass_, current, current.endsAt,
                             [&](std::size_t r, std::size_t c) { return types[c * batchRows_ + r]; });
            std::stable_sort(order_.begin(), order_.end(),
                             [&](std::size_t x, std::size_t y) { return cost_[x] > cost_[y]; });
            cur_ ^= 1;
        }
    }

private:
    // Where a worker's error arose; the single-threaded pass would have met the first in row
    // order, then column order, and that one is reported.
    struct Failure {
        std::size_t row = SIZE_MAX;
        std::size_t col = SIZE_MAX;
        std::exception_ptr error;
        bool before(const Failure& other) const {
            return row < other.row || (row == other.row && col < other.col);
        }
    };
    struct alignas(64) Scratch {
        velmira::MatchScratch match;
        std::vector<std::uint64_t> hashes;  // the hashes of the rows ahead, a ring
    };
    // The calling thread only tokenizes; hashing is left to the workers, who hash a few rows
    // ahead of their lookups and fetch those slots early, to overlap the cache misses.
    static constexpr std::size_t kAhead = 8;

    // The calling thread classifies too once it has read the next batch, so the pool holds
    // one thread fewer than the machine runs at once, and there are no more workers than
    // column groups to hand out. The last worker index is the calling thread's.
    static std::size_t workerCount(std::size_t groups) {
        const unsigned hardware = std::thread::hardware_concurrency();
        const std::size_t threads = std::min<std::size_t>(groups, hardware == 0 ? 2 : hardware);
        return std::max<std::size_t>(threads, 2);
    }

    void fill(velmira::RowBatch& b) {
        b.clear();
        if (exhausted_) return;
        velmira::BatchFiller filler(b, true, [] {}, rowsRead_, pass_.window, pass_.shapes);
        exhausted_ = !velmira::pass::scanRows(parser_, filler);
        filler.keepViews();
        rowsRead_ += b.rows;
        b.endsAt = static_cast<std::uint64_t>(std::max<std::streamoff>(parser_.position(), 0));
    }

    // One task: a column group's fields of the current batch. Tasks are handed out costliest
    // first, by what each took in the round before, so that a round does not end with one
    // worker busy on a long task alone.
    void classify(std::size_t worker, std::size_t slot) {
        const std::size_t task = order_[slot];
        const auto started = std::chrono::steady_clock::now();
        ColumnGroup& group = pass_.groups[task];
        const velmira::RowBatch& b = batches_[cur_];
        std::vector<TypeId>& out = types_[cur_];
        std::vector<std::uint64_t>& ring = scratch_[worker].hashes;
        const std::size_t width = group.cols.size();
        ring.resize((kAhead + 1) * width);
        auto hashRow = [&](std::size_t row) {
            std::uint64_t* hashes = &ring[(row % (kAhead + 1)) * width];
            for (std::size_t k = 0; k < width; ++k) {
                const std::size_t col = group.cols[k];
                if (col >= b.widths[row]) break;
                const velmira::Cell& cell = b.at(row, col);
                hashes[k] = velmira::hashReadable(cell.data, cell.size);
                inf_.typeCache.prefetch(hashes[k]);
            }
        };
        std::size_t r = 0, c = 0;
        try {
            for (r = 0; r < std::min(kAhead, b.rows); ++r) hashRow(r);
            for (r = 0; r < b.rows; ++r) {
                if (r + kAhead < b.rows) hashRow(r + kAhead);
                const std::uint64_t* hashes = &ring[(r % (kAhead + 1)) * width];
                for (std::size_t k = 0; k < width; ++k) {
                    c = group.cols[k];
                    if (c >= b.widths[r]) break;
                    out[c * batchRows_ + r] = inf_.getColType(b.at(r, c).text(), hashes[k], group, pass_.markers,
                                                              scratch_[worker].match, worker);
                }
            }
        } catch (...) {
            const Failure failure{r, c, std::current_exception()};
            if (failure.before(failures_[worker])) failures_[worker] = failure;
        }
        cost_[task] = static_cast<std::uint64_t>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - started).count());
    }

    void rethrowFirstFailure() const {
        const Failure* first = nullptr;
        for (const Failure& f : failures_) {
            if (f.error && (first == nullptr || f.before(*first))) first = &f;
        }
        if (first != nullptr) std::rethrow_exception(first->error);
    }

    Inf& inf_;
    Pass& pass_;
    tessel::csv::CsvParser& parser_;  // read by the calling thread only
    const std::size_t batchRows_;
    velmira::RowBatch batches_[2];     // one classified while the other is read
    std::vector<TypeId> types_[2];     // the batches' types, column-major so that workers write apart
    int cur_ = 0;                      // the batch being classified
    std::uint64_t rowsRead_;           // rows tokenized so far, the header included, like Inf::n
    bool exhausted_ = false;           // the tokenizer has no more rows
    const std::size_t workers_;        // pool threads and the calling thread
    std::vector<Failure> failures_;    // per worker: its first failure in this batch
    std::vector<Scratch> scratch_;     // per worker
    std::vector<std::size_t> order_;   // column groups, costliest first
    std::vector<std::uint64_t> cost_;  // per group: ns in the last round; written by its task only
};

void Inf::classifyRowsConcurrently(Pass& pass, tessel::csv::CsvParser& parser) {
    workersRunning = true;
    try {
        ConcurrentPass(*this, pass, parser).run();
    } catch (...) {
        workersRunning = false;
        throw;
    }
    workersRunning = false;
}
