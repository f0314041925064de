// Cancellation of a running call. The thread that waits for the call raises the
// flag; the loops of the computation look at it between small units of work and
// leave by throwing `Cancelled`. It unwinds like a fault but is never reported as
// one: whoever raised the flag already knows why the call stopped.
#pragma once

#include <atomic>
#include <exception>

namespace quillet {

class Cancelled : public std::exception {
public:
    const char* what() const noexcept override { return "the computation was cancelled"; }
};

class CancelFlag {
public:
    void raise() { raised_.store(true, std::memory_order_relaxed); }
    bool raised() const { return raised_.load(std::memory_order_relaxed); }

    // Throws `Cancelled` once the flag is raised; one relaxed load otherwise, cheap
    // enough for every source cell.
    void check() const {
        if (raised()) throw Cancelled();
    }

private:
    std::atomic<bool> raised_{false};
};

// A flag nobody raises, for computations run outside a cancellable call.
inline const CancelFlag kNeverCancelled;

}  // namespace quillet
