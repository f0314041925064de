#include "frame.hpp"

#include <chrono>
#include <cstdlib>
#include <exception>

#include "common/cpu_count.hpp"
#include "errors.hpp"
#include "functions.hpp"
#include "numpy.hpp"

namespace quillet::py {

std::size_t thread_count(std::optional<std::uint64_t> requested) {
    const std::uint64_t count = requested.has_value() ? *requested : quillet::available_cpus();
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

// Where `_report_progress` keeps a thread's callback: the thread's own dictionary
// of the interpreter, which releases it when the thread ends (a C++ thread-local
// reference would be kept forever).
constexpr const char* kProgressCallbackKey = "quillet.progress_callback";

// How often, at most, a waiting call reports its progress.
constexpr std::chrono::milliseconds kProgressInterval{250};

// A waiting call's progress reports: the units to report, the callback (a strong
// reference, or null) and when it was last called.
struct ProgressReport {
    const Progress* progress;
    PyObject* callback;
    std::chrono::steady_clock::time_point last;
};

// The calling thread's progress callback as a new reference, or null; with the lock held.
PyObject* progress_callback_of_this_thread() {
    PyObject* dict = PyThreadState_GetDict();
    return dict == nullptr ? nullptr : Py_XNewRef(PyDict_GetItemString(dict, kProgressCallbackKey));
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

// While a call waits: when there is a callback and kProgressInterval has passed
// since the last report, takes the interpreter lock back to call it with the units
// done and their total, then lets it go again; true when it raised, its exception
// then stays set for the caller. The lock is taken only when a report is due.
bool progress_callback_raised(PyThreadState*& state, ProgressReport& report) {
    if (report.callback == nullptr) return false;
    const auto now = std::chrono::steady_clock::now();
    if (now - report.last < kProgressInterval) return false;
    report.last = now;
    take_lock_back(state);
    PyObject* result = PyObject_CallFunction(report.callback, "KK",
                                             static_cast<unsigned long long>(report.progress->done.load()),
                                             static_cast<unsigned long long>(report.progress->total.load()));
    Py_XDECREF(result);
    state = PyEval_SaveThread();
    return result == nullptr;
}

}  // namespace

bool thread_is_being_ended() { return taking_lock_back; }

// The lock is let go while the pool computes, so that other Python threads run.
// It is taken back outside any handler: at interpreter exit, taking it ends this
// thread by unwinding, which must not start inside a destructor or while another
// exception is in flight.
bool run_on_pool(std::size_t threads, const std::function<void(Pool&)>& driver, const Progress* progress) {
    Result<std::unique_ptr<Pool>> pool = Pool::create(threads);
    if (!pool.ok()) {
        PyErr_SetString(PyExc_RuntimeError, pool.error().message.c_str());
        return false;
    }
    Pool& workers = *pool.value();
    bool interrupted = false;
    std::exception_ptr failure;
    // Held without RAII: at interpreter exit the thread is ended while it waits, and
    // nothing may be released then; the reference is dropped with the lock held.
    ProgressReport report{progress, progress ? progress_callback_of_this_thread() : nullptr,
                          std::chrono::steady_clock::now()};
    PyThreadState* state = PyEval_SaveThread();
    try {
        workers.run([&] { driver(workers); }, [&] {
            return interrupted = signal_handler_raised(state) || progress_callback_raised(state, report);
        });
    } catch (...) {
        if (thread_is_being_ended()) throw;
        failure = std::current_exception();
    }
    take_lock_back(state);
    Py_XDECREF(report.callback);
    // After an interruption whatever the workers threw on their way out
    // (`Cancelled`, or a fault met first) gives way to the handler's (or the
    // progress callback's) exception.
    if (interrupted) return false;
    if (failure) std::rethrow_exception(failure);
    return true;
}

const char* const report_progress_doc =
    "_report_progress(callback)\n"
    "--\n"
    "\n"
    "From now on, the calls this thread makes call callback(done, total) while they\n"
    "compute, at most four times a second (for connectivity: rows computed, all rows);\n"
    "an exception it raises stops the call. None stops the reports.";

PyObject* report_progress(PyObject*, PyObject* callback) {
    if (callback != Py_None && !PyCallable_Check(callback)) {
        PyErr_SetString(PyExc_TypeError, cast_text(callback, "callable").c_str());
        return nullptr;
    }
    PyObject* dict = PyThreadState_GetDict();
    if (dict == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "this thread has no interpreter state to keep a callback in");
        return nullptr;
    }
    if (callback == Py_None) {
        if (PyDict_GetItemString(dict, kProgressCallbackKey) != nullptr &&
            PyDict_DelItemString(dict, kProgressCallbackKey) < 0) {
            return nullptr;
        }
    } else if (PyDict_SetItemString(dict, kProgressCallbackKey, callback) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
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
