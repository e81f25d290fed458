#include "export/pipeline.h"

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace kestrune::exporting {

namespace {

class Pipeline {
public:
    Pipeline(std::size_t jobs, const PipelineLimits& limits)
        : jobs_(jobs),
          window_(std::max<std::size_t>(limits.jobs_ahead, 1)),
          bytes_ahead_(limits.bytes_ahead),
          slots_(window_) {}

    // Stops the workers and waits for them, whatever happened.
    ~Pipeline() {
        {
            std::lock_guard lock(m_);
            stop_ = true;
        }
        can_start_.notify_all();
        for (std::thread& t : threads_) t.join();
    }

    void start(unsigned threads, const std::function<std::size_t(std::size_t, unsigned)>& produce) {
        for (unsigned w = 0; w < threads; ++w) threads_.emplace_back([this, w, &produce] { work(w, produce); });
    }

    // Waits for a job's result; rethrows what its produce threw.
    void wait_for(std::size_t job) {
        Slot& s = slots_[job % window_];
        std::exception_ptr error;
        {
            std::unique_lock lock(m_);
            finished_.wait(lock, [&] { return s.ready; });
            error = s.error;
        }
        if (error) std::rethrow_exception(error);
    }

    void release(std::size_t job) {
        {
            std::lock_guard lock(m_);
            Slot& s = slots_[job % window_];
            s.ready = false;
            waiting_bytes_ -= s.bytes;
            consumed_ = job + 1;
        }
        can_start_.notify_all();
    }

private:
    struct Slot {
        bool ready = false;
        std::size_t bytes = 0;
        std::exception_ptr error;
    };

    bool may_start() const {
        return stop_ || next_ >= jobs_ ||
               (next_ < consumed_ + window_ && (waiting_bytes_ <= bytes_ahead_ || next_ == consumed_));
    }

    void work(unsigned worker, const std::function<std::size_t(std::size_t, unsigned)>& produce) {
        std::unique_lock lock(m_);
        while (true) {
            can_start_.wait(lock, [this] { return may_start(); });
            if (stop_ || next_ >= jobs_) return;
            const std::size_t job = next_++;
            lock.unlock();
            std::size_t bytes = 0;
            std::exception_ptr error;
            try {
                bytes = produce(job, worker);
            } catch (...) {
                error = std::current_exception();
            }
            lock.lock();
            Slot& s = slots_[job % window_];
            s.ready = true;
            s.bytes = bytes;
            s.error = error;
            waiting_bytes_ += bytes;
            if (job == consumed_) finished_.notify_one();
        }
    }

    const std::size_t jobs_;
    const std::size_t window_;
    const std::size_t bytes_ahead_;
    std::mutex m_;
    std::condition_variable can_start_;  // workers: a job may start
    std::condition_variable finished_;   // the consumer: its next job is done
    std::vector<Slot> slots_;
    std::size_t next_ = 0;      // the next job to start
    std::size_t consumed_ = 0;  // jobs consumed
    std::size_t waiting_bytes_ = 0;
    bool stop_ = false;
    std::vector<std::thread> threads_;
};

}  // namespace

void run_ordered(std::size_t jobs, const PipelineLimits& limits,
                 const std::function<std::size_t(std::size_t job, unsigned worker)>& produce,
                 const std::function<bool(std::size_t job)>& consume) {
    if (limits.threads <= 1 || jobs <= 1) {
        for (std::size_t job = 0; job < jobs; ++job) {
            produce(job, 0);
            if (!consume(job)) return;
        }
        return;
    }
    Pipeline pipeline(jobs, limits);
    pipeline.start(limits.threads, produce);
    for (std::size_t job = 0; job < jobs; ++job) {
        pipeline.wait_for(job);
        const bool go = consume(job);
        pipeline.release(job);
        if (!go) return;
    }
}

}  // namespace kestrune::exporting
