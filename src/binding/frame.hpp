// The frame every exported function runs in: the per-call worker pool, running
// the driver on it, and handing the result grid back as a NumPy array.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>

#include "common/grid.hpp"
#include "common/pool.hpp"
#include "common/progress.hpp"
#include "python.hpp"

namespace quillet::py {

// The worker count of a call: the requested one, or the CPUs available to the
// process; 0 becomes 1.
std::size_t thread_count(std::optional<std::uint64_t> requested);

// Builds a pool of `threads` workers and runs `driver` on one of them while this
// thread waits without the interpreter lock, taking it back every few
// milliseconds to run the interpreter's signal handlers and, when this thread has
// a progress callback and `progress` is given, to report it (see
// `report_progress` in functions.hpp). Returns false with a Python exception set when the
// pool cannot be built (RuntimeError with the operating system's text) or when a
// signal handler or the callback raised (its exception, the computation cancelled
// and its result dropped). Faults of the driver propagate as C++ exceptions; the
// pool is torn down in every case.
bool run_on_pool(std::size_t threads, const std::function<void(Pool&)>& driver,
                 const Progress* progress = nullptr);

// A new C-contiguous float32 array with the grid's shape and values. The array
// takes over the grid's storage instead of copying it (a copy of a large grid costs
// as much as a whole coverage computation); the grid is left empty.
PyObject* to_numpy(Grid&& grid);

}  // namespace quillet::py
