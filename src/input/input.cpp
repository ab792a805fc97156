#include "input.hpp"

#include <chrono>

#include "stages.hpp"

namespace velmira {
namespace {

constexpr std::size_t kChunk = std::size_t{1} << 20;
constexpr std::size_t kChunks = 4;

}  // namespace

Input::Input(std::unique_ptr<RawSource> raw, bool readAhead, const std::function<void()>* checkpoint)
    : raw_(std::move(raw)), checkpoint_(checkpoint) {
    rawSize_ = raw_->size();
    // A pipe or a terminal may give nothing for a long time, before the first byte too.
    raw_->setWaitHook(checkpoint);
    // The first bytes say the format; a short read (a pipe) is not the end.
    std::string head(6, '\0');
    std::size_t got = 0;
    while (got < head.size()) {
        const std::size_t n = raw_->read(&head[got], head.size() - got);
        if (n == 0) break;
        got += n;
    }
    raw_->setWaitHook(nullptr);  // the read-ahead thread must not call it
    head.resize(got);
    rawBytes_.store(got, std::memory_order_relaxed);
    compression_ = detectCompression(reinterpret_cast<const unsigned char*>(head.data()), head.size());
    stage_ = makeStage(compression_, *raw_, rawBytes_, head);
    threaded_ = readAhead && (compression_ != Compression::None || raw_->mayBlock());
    if (threaded_) {
        for (std::size_t i = 0; i < kChunks; ++i) free_.push_back(std::make_unique<Chunk>());
        thread_ = std::thread([this] { readAheadLoop(); });
    }
}

Input::~Input() { close(); }

void Input::close() {
    if (thread_.joinable()) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        raw_->stop();
        changed_.notify_all();
        thread_.join();
    }
    ended_ = true;
    setg(nullptr, nullptr, nullptr);
}

std::size_t Input::produce(Chunk& chunk) {
    if (chunk.bytes.size() != kChunk) chunk.bytes.resize(kChunk);
    chunk.size = stage_->produce(chunk.bytes.data(), chunk.bytes.size());
    return chunk.size;
}

void Input::readAheadLoop() {
    for (;;) {
        std::unique_ptr<Chunk> chunk;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait(lock, [this] { return stop_ || !free_.empty(); });
            if (stop_) return;
            chunk = std::move(free_.back());
            free_.pop_back();
        }
        std::size_t n = 0;
        std::exception_ptr error;
        try {
            n = produce(*chunk);
        } catch (...) {
            error = std::current_exception();
        }
        std::lock_guard<std::mutex> lock(mutex_);
        if (error || n == 0) {
            error_ = error;
            producerDone_ = true;
            free_.push_back(std::move(chunk));
            changed_.notify_all();
            return;
        }
        full_.push_back(std::move(chunk));
        changed_.notify_all();
    }
}

bool Input::fill() {
    if (!peekedServed_) {
        peekedServed_ = true;
        if (!peeked_.empty()) {
            setg(&peeked_[0], &peeked_[0], &peeked_[0] + peeked_.size());
            return true;
        }
    }
    if (ended_) return false;
    // Once a chunk (1 MiB), whether the pass waits or not: a field of a gigabyte is one
    // long read for the tokenizer, and Ctrl-C must still be heard within it.
    if (checkpoint_ != nullptr) (*checkpoint_)();
    if (!threaded_) {
        if (produce(current_) == 0) {
            ended_ = true;
            return false;
        }
        setg(current_.bytes.data(), current_.bytes.data(), current_.bytes.data() + current_.size);
        return true;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    if (reading_) {
        free_.push_back(std::move(reading_));
        changed_.notify_all();
    }
    while (full_.empty()) {
        if (producerDone_) {
            ended_ = true;
            if (error_) std::rethrow_exception(error_);
            return false;
        }
        if (changed_.wait_for(lock, std::chrono::milliseconds(100)) == std::cv_status::timeout &&
            checkpoint_ != nullptr && full_.empty()) {
            lock.unlock();
            (*checkpoint_)();
            lock.lock();
        }
    }
    reading_ = std::move(full_.front());
    full_.erase(full_.begin());
    setg(reading_->bytes.data(), reading_->bytes.data(), reading_->bytes.data() + reading_->size);
    return true;
}

Input::int_type Input::underflow() {
    if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
    if (!fill()) return traits_type::eof();
    return traits_type::to_int_type(*gptr());
}

std::string Input::peek(std::size_t n) {
    // What is not read yet: what an earlier peek kept, or what the get area still shows;
    // then more chunks, all kept in peeked_ to be served before anything else.
    std::string kept;
    if (!peekedServed_) {
        kept = std::move(peeked_);
        peekedServed_ = true;
    } else if (gptr() != nullptr) {
        kept.assign(gptr(), egptr());
    }
    setg(nullptr, nullptr, nullptr);
    while (kept.size() < n && fill()) kept.append(gptr(), egptr());
    peeked_ = std::move(kept);
    peekedServed_ = false;
    setg(nullptr, nullptr, nullptr);
    return peeked_.substr(0, std::min(n, peeked_.size()));
}

std::size_t Input::skip(std::size_t n) {
    peek(n);
    const std::size_t dropped = std::min(n, peeked_.size());
    peeked_.erase(0, dropped);
    return dropped;
}

void Input::prepend(const std::string& bytes) {
    peek(0);  // whatever the get area still shows joins what was peeked
    peeked_.insert(0, bytes);
}

}  // namespace velmira
