// WorkerPool: the worker threads of one threaded pass.
//
// The threads are started once and run rounds: each round hands out tasks
// 0..n-1, one at a time, to whichever thread (the caller too, through help) is
// free. The destructor always stops and joins every thread, so no joinable
// std::thread is ever destroyed, whatever the owner throws; a failure to start a
// thread joins those already started before it is reported.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace velmira {

// `job(worker, task)` must not throw: a task reports its own failures.
class WorkerPool {
public:
    using Job = std::function<void(std::size_t worker, std::size_t task)>;

    WorkerPool(std::size_t workers, Job job) : job_(std::move(job)) {
        threads_.reserve(workers);
        try {
            for (std::size_t w = 0; w < workers; ++w) threads_.emplace_back([this, w] { loop(w); });
        } catch (...) {
            stop();  // a thread failed to start: join those that did, then report
            throw;
        }
    }
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;
    ~WorkerPool() { stop(); }

    std::size_t size() const { return threads_.size(); }

    void start(std::size_t tasks) {
        std::lock_guard<std::mutex> lock(mutex_);
        tasks_ = tasks;
        next_.store(0, std::memory_order_relaxed);
        pending_ = threads_.size();
        ++round_;
        wake_.notify_all();
    }

    // Lets the calling thread take tasks of the current round too, as worker `worker`.
    void help(std::size_t worker) {
        for (std::size_t t; (t = next_.fetch_add(1, std::memory_order_relaxed)) < tasks_;) job_(worker, t);
    }

    void wait() {
        std::unique_lock<std::mutex> lock(mutex_);
        done_.wait(lock, [this] { return pending_ == 0; });
    }

private:
    void loop(std::size_t worker) {
        std::uint64_t seen = 0;
        for (;;) {
            std::size_t tasks;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                wake_.wait(lock, [&] { return stopping_ || round_ != seen; });
                if (stopping_ && round_ == seen) return;
                seen = round_;
                tasks = tasks_;
            }
            for (std::size_t t; (t = next_.fetch_add(1, std::memory_order_relaxed)) < tasks;) job_(worker, t);
            std::lock_guard<std::mutex> lock(mutex_);
            if (--pending_ == 0) done_.notify_all();
        }
    }

    void stop() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        for (auto& t : threads_) {
            if (t.joinable()) t.join();
        }
    }

    Job job_;
    std::vector<std::thread> threads_;
    std::mutex mutex_;
    std::condition_variable wake_;  // a round started, or stopping
    std::condition_variable done_;  // the last worker finished a round
    std::uint64_t round_ = 0;
    std::size_t tasks_ = 0;
    std::size_t pending_ = 0;
    std::atomic<std::size_t> next_{0};
    bool stopping_ = false;
};

}  // namespace velmira
