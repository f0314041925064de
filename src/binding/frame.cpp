#include "frame.hpp"

#include <cstdlib>
#include <exception>

#include "common/cpu_count.hpp"
#include "errors.hpp"
#include "numpy.hpp"

namespace quillet::py {

std::size_t thread_count(std::optional<std::uint64_t> requested) {
    const std::uint64_t count = requested.has_value() ? *requested : available_cpus();
    return count == 0 ? 1 : static_cast<std::size_t>(count);
}

namespace {

// Set while this thread takes the interpreter lock back. At interpreter exit that
// never returns: the thread is ended by a forced unwind, which carries no C++
// object, so handlers recognise it by this flag instead of by its type.
thread_local bool taking_lock_back = false;

void take_lock_back(PyThreadState* state) {
    taking_lock_back = true;
    PyEval_RestoreThread(state);
    taking_lock_back = false;
}

// Takes the interpreter lock back to run the signal handlers, then lets it go
// again; true when a handler raised, its exception then stays set for the caller.
// Only the main thread runs handlers.
bool signal_handler_raised(PyThreadState*& state) {
    take_lock_back(state);
    const bool raised = PyErr_CheckSignals() < 0;
    state = PyEval_SaveThread();
    return raised;
}

}  // namespace

bool thread_is_being_ended() { return taking_lock_back; }

// The lock is let go while the pool computes, so that other Python threads run.
// It is taken back outside any handler: at interpreter exit, taking it ends this
// thread by unwinding, which must not start inside a destructor or while another
// exception is in flight.
bool run_on_pool(std::size_t threads, const std::function<void(Pool&)>& driver) {
    Result<std::unique_ptr<Pool>> pool = Pool::create(threads);
    if (!pool.ok()) {
        PyErr_SetString(PyExc_RuntimeError, pool.error().message.c_str());
        return false;
    }
    Pool& workers = *pool.value();
    bool interrupted = false;
    std::exception_ptr failure;
    PyThreadState* state = PyEval_SaveThread();
    try {
        workers.run([&] { driver(workers); }, [&] { return interrupted = signal_handler_raised(state); });
    } catch (...) {
        if (thread_is_being_ended()) throw;
        failure = std::current_exception();
    }
    take_lock_back(state);
    // After an interruption whatever the workers threw on their way out
    // (`Cancelled`, or a fault met first) gives way to the handler's exception.
    if (interrupted) return false;
    if (failure) std::rethrow_exception(failure);
    return true;
}

namespace {

void free_cells(PyObject* capsule) { std::free(PyCapsule_GetPointer(capsule, nullptr)); }

}  // namespace

PyObject* to_numpy(Grid&& grid) {
    npy_intp dims[2] = {static_cast<npy_intp>(grid.nrows()), static_cast<npy_intp>(grid.ncols())};
    if (grid.size() == 0) return PyArray_SimpleNew(2, dims, NPY_FLOAT32);
    // The capsule owns the cells from here on and frees them with the array.
    Ref owner(PyCapsule_New(grid.data(), nullptr, free_cells));
    if (!owner) return nullptr;
    Ref array(PyArray_SimpleNewFromData(2, dims, NPY_FLOAT32, grid.release_cells()));
    if (!array || PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), owner.release()) < 0) {
        return nullptr;
    }
    return array.release();
}

}  // namespace quillet::py
