// The pool's threads, its one pending job and its open loops under one mutex;
// loop pieces are claimed without it, from each loop's atomic counter.
#include "common/pool.hpp"

#include <algorithm>
#include <cerrno>
#include <stdexcept>
#include <system_error>

namespace quillet {

struct Pool::Job {
    const std::function<void()>* fn;
    std::exception_ptr fault;
    bool done = false;
};

// One parallel loop. Shared with the workers that took part in it, so that a
// worker that arrives after the last piece was claimed still finds it alive.
struct Pool::Loop {
    std::size_t end;
    std::size_t grain;
    std::size_t first;
    const std::function<void(std::size_t, std::size_t)>* body;
    std::atomic<std::size_t> next;
    std::atomic<std::size_t> unfinished;

    std::mutex mutex;
    std::condition_variable finished;
    std::exception_ptr fault;
    std::size_t fault_piece = 0;

    bool exhausted() const { return next.load(std::memory_order_relaxed) >= end; }
};

Result<std::unique_ptr<Pool>> Pool::create(std::size_t n_workers) {
    std::unique_ptr<Pool> pool(new Pool());
    n_workers = std::max<std::size_t>(n_workers, 1);
    try {
        pool->workers_.reserve(n_workers);
    } catch (const std::length_error&) {
        // More threads than any process can have: the text of a failed thread start.
        return Error{std::system_category().message(EAGAIN)};
    }
    for (std::size_t i = 0; i < n_workers; ++i) {
        try {
            pool->workers_.emplace_back([p = pool.get()] { p->worker_main(); });
        } catch (const std::system_error& e) {
            return Error{e.code().message()};  // the destructor stops the threads already started
        }
    }
    return pool;
}

Pool::~Pool() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    for (std::thread& t : workers_) t.join();
}

void Pool::run(const std::function<void()>& job, const std::function<bool()>& poll) {
    Job pending{&job, nullptr};
    {
        std::unique_lock lock(mutex_);
        wake_.wait(lock, [&] { return pending_job_ == nullptr; });
        pending_job_ = &pending;
    }
    wake_.notify_all();
    wait_for_job(pending, poll);
    if (pending.fault) std::rethrow_exception(pending.fault);
}

void Pool::wait_for_job(const Job& job, const std::function<bool()>& poll) {
    std::unique_lock lock(mutex_);
    while (!wake_.wait_for(lock, kPollInterval, [&] { return job.done; })) {
        if (cancel_.raised()) continue;
        // The poll may block (it takes the interpreter lock): never hold ours meanwhile.
        lock.unlock();
        bool cancel = false;
        try {
            cancel = poll();
        } catch (...) {
            // The job still refers to this frame: cancel it and let it end first.
            cancel_.raise();
            lock.lock();
            wake_.wait(lock, [&] { return job.done; });
            throw;
        }
        lock.lock();
        if (cancel) cancel_.raise();
    }
}

std::shared_ptr<Pool::Loop> Pool::open_loop_locked() {
    while (!open_loops_.empty()) {
        if (!open_loops_.back()->exhausted()) return open_loops_.back();
        open_loops_.pop_back();
    }
    return nullptr;
}

void Pool::worker_main() {
    std::unique_lock lock(mutex_);
    for (;;) {
        std::shared_ptr<Loop> loop;
        wake_.wait(lock, [&] {
            if (stopping_ || pending_job_ != nullptr) return true;
            loop = open_loop_locked();
            return loop != nullptr;
        });
        if (stopping_) return;
        if (pending_job_ != nullptr) {
            Job* job = std::exchange(pending_job_, nullptr);
            lock.unlock();
            try {
                (*job->fn)();
            } catch (...) {
                job->fault = std::current_exception();
            }
            lock.lock();
            job->done = true;
            wake_.notify_all();
            continue;
        }
        lock.unlock();
        work_on(*loop);
        loop.reset();
        lock.lock();
    }
}

// Claims and runs pieces of `loop` until none is left to claim.
void Pool::work_on(Loop& loop) const {
    for (;;) {
        const std::size_t lo = loop.next.fetch_add(loop.grain, std::memory_order_relaxed);
        if (lo >= loop.end) return;
        const std::size_t hi = std::min(loop.end, lo + loop.grain);
        try {
            cancel_.check();
            (*loop.body)(lo, hi);
        } catch (...) {
            std::lock_guard lock(loop.mutex);
            const std::size_t piece = (lo - loop.first) / loop.grain;
            if (!loop.fault || piece < loop.fault_piece) {
                loop.fault = std::current_exception();
                loop.fault_piece = piece;
            }
        }
        if (loop.unfinished.fetch_sub(1, std::memory_order_acq_rel) == 1) {
            std::lock_guard lock(loop.mutex);
            loop.finished.notify_all();
        }
    }
}

void Pool::parallel_for(std::size_t begin, std::size_t end, std::size_t grain,
                        const std::function<void(std::size_t, std::size_t)>& body) {
    if (begin >= end) return;
    grain = std::max<std::size_t>(grain, 1);
    const std::size_t pieces = (end - begin + grain - 1) / grain;
    if (pieces == 1 || workers_.size() == 1) {
        // Nothing to share: run the pieces here without waking the workers.
        std::exception_ptr fault;
        for (std::size_t lo = begin; lo < end; lo += grain) {
            try {
                cancel_.check();
                body(lo, std::min(end, lo + grain));
            } catch (...) {
                if (!fault) fault = std::current_exception();
            }
        }
        if (fault) std::rethrow_exception(fault);
        return;
    }
    auto loop = std::make_shared<Loop>();
    loop->end = end;
    loop->grain = grain;
    loop->first = begin;
    loop->body = &body;
    loop->next.store(begin);
    loop->unfinished.store(pieces);
    {
        std::lock_guard lock(mutex_);
        open_loops_.push_back(loop);
    }
    wake_.notify_all();
    work_on(*loop);
    {
        std::unique_lock lock(loop->mutex);
        loop->finished.wait(lock, [&] { return loop->unfinished.load(std::memory_order_acquire) == 0; });
    }
    if (loop->fault) std::rethrow_exception(loop->fault);
}

}  // namespace quillet
