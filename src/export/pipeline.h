// Numbered jobs produced on worker threads and consumed on the calling
// thread in job order, with a bounded number (and size) of results waiting:
// the export renders scans in parallel while one writer appends them.
#pragma once

#include <cstddef>
#include <functional>

namespace kestrune::exporting {

struct PipelineLimits {
    unsigned threads = 1;  // workers; 1 runs every job on the calling thread
    // Jobs started but not yet consumed, at most; results live in slot
    // job % jobs_ahead.
    std::size_t jobs_ahead = 4;
    // No job starts while finished, unconsumed results hold more bytes than
    // this, except the next one to consume.
    std::size_t bytes_ahead = std::size_t{16} << 20;
};

// Runs produce(job, worker) for jobs 0 to jobs - 1, several at a time (one
// per worker index), and consume(job) on the calling thread in job order,
// each after its produce has returned. produce returns the bytes its result
// holds; consume returns false to stop early. An exception thrown by produce
// is thrown again from here when its job's turn to be consumed comes.
void run_ordered(std::size_t jobs, const PipelineLimits& limits,
                 const std::function<std::size_t(std::size_t job, unsigned worker)>& produce,
                 const std::function<bool(std::size_t job)>& consume);

}  // namespace kestrune::exporting
