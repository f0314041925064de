#include "frame.hpp"

#include <cstring>

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

PyObject* to_numpy(const Grid& grid) {
    npy_intp dims[2] = {static_cast<npy_intp>(grid.nrows()), static_cast<npy_intp>(grid.ncols())};
    PyObject* array = PyArray_SimpleNew(2, dims, NPY_FLOAT32);
    if (array == nullptr) return nullptr;
    if (grid.size() != 0) {
        std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)), grid.data(), grid.size() * sizeof(float));
    }
    return array;
}

}  // namespace quillet::py
