#include "frame.hpp"

#include <cstdlib>

#include "numpy.hpp"

namespace quillet::py {

std::size_t thread_count(std::optional<std::uint64_t> requested) {
    const std::uint64_t count = requested.has_value() ? *requested : available_cpus();
    return count == 0 ? 1 : static_cast<std::size_t>(count);
}

bool run_on_pool(std::size_t threads, const std::function<void(Pool&)>& driver) {
    Result<std::unique_ptr<Pool>> pool = Pool::create(threads);
    if (!pool.ok()) {
        PyErr_SetString(PyExc_RuntimeError, pool.error().message.c_str());
        return false;
    }
    Pool& workers = *pool.value();
    workers.run([&] { driver(workers); });
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
