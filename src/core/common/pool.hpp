// The per-call worker pool: exactly N threads, a blocking `run` that executes a job
// on one worker, and a fork-join `parallel_for` that any thread (a worker included)
// can call. Loop chunks are claimed from an atomic counter by the calling thread and
// by every idle worker, so uneven chunk costs balance themselves. A fault raised in
// any chunk or job is carried back to the thread that waits for it. A job can be
// cancelled: the pool's flag is raised and every loop piece not yet started throws
// `Cancelled` instead of running, so the pool drains quickly.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "common/cancel.hpp"
#include "common/fault.hpp"

namespace quillet {

class Pool {
public:
    // A pool of exactly `n_workers` threads (at least one). The error text is the
    // operating system's text when a thread cannot be started.
    static Result<std::unique_ptr<Pool>> create(std::size_t n_workers);

    Pool(const Pool&) = delete;
    Pool& operator=(const Pool&) = delete;
    ~Pool();

    std::size_t size() const { return workers_.size(); }

    // How often a waiting `run` calls its poll function.
    static constexpr std::chrono::milliseconds kPollInterval{20};

    // Runs `job` on one worker while the calling thread blocks; rethrows the job's
    // exception on the calling thread. While it waits, the calling thread calls
    // `poll` every kPollInterval; once `poll` returns true it is not called again
    // and the cancel flag is raised, and `run` still waits for the job to end. When
    // `poll` throws, the job is cancelled and waited for before the exception leaves.
    void run(const std::function<void()>& job, const std::function<bool()>& poll = [] { return false; });

    // Raised when a poll asked for cancellation; long loops check it themselves
    // between small units of work.
    const CancelFlag& cancel_flag() const { return cancel_; }

    // Calls body(lo, hi) on consecutive pieces [lo, hi) of [begin, end), each at most
    // `grain` long, in parallel. Every piece runs, even after another one threw, so
    // that the exception rethrown (that of the lowest piece that threw) is the same
    // for every pool size.
    void parallel_for(std::size_t begin, std::size_t end, std::size_t grain,
                      const std::function<void(std::size_t, std::size_t)>& body);

private:
    struct Loop;
    struct Job;

    Pool() = default;
    void worker_main();
    std::shared_ptr<Loop> open_loop_locked();
    void work_on(Loop& loop) const;
    void wait_for_job(const Job& job, const std::function<bool()>& poll);

    std::mutex mutex_;
    std::condition_variable wake_;
    std::vector<std::shared_ptr<Loop>> open_loops_;
    Job* pending_job_ = nullptr;
    bool stopping_ = false;
    CancelFlag cancel_;
    std::vector<std::thread> workers_;
};

}  // namespace quillet
