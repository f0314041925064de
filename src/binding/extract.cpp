#include "extract.hpp"

#include <cstring>

#include "errors.hpp"
#include "numpy.hpp"

namespace quillet::py {

namespace {

// The array when `obj` is an ndarray with `ndim` dimensions whose dtype is
// equivalent to `type_num`; nullptr otherwise.
PyArrayObject* array_of(PyObject* obj, int ndim, int type_num) {
    if (!PyArray_Check(obj)) return nullptr;
    auto* array = reinterpret_cast<PyArrayObject*>(obj);
    if (PyArray_NDIM(array) != ndim) return nullptr;
    PyArray_Descr* wanted = PyArray_DescrFromType(type_num);
    const bool same = PyArray_DESCR(array) == wanted || PyArray_EquivTypes(PyArray_DESCR(array), wanted);
    Py_DECREF(wanted);
    return same ? array : nullptr;
}

// Copies the elements of `array` in logical (row-major) order into `out`.
template <class T>
void copy_logical(PyArrayObject* array, T* out) {
    const int ndim = PyArray_NDIM(array);
    const npy_intp* dims = PyArray_DIMS(array);
    const npy_intp* strides = PyArray_STRIDES(array);
    const char* base = PyArray_BYTES(array);
    const std::size_t count = static_cast<std::size_t>(PyArray_SIZE(array));
    if (count == 0) return;
    if (PyArray_IS_C_CONTIGUOUS(array)) {
        std::memcpy(out, base, count * sizeof(T));
        return;
    }
    // Odometer over the index tuple; elements are read with memcpy because a
    // strided view need not be aligned.
    npy_intp index[NPY_MAXDIMS] = {};
    const char* element = base;
    for (std::size_t i = 0; i < count; ++i) {
        std::memcpy(out + i, element, sizeof(T));
        for (int axis = ndim - 1; axis >= 0; --axis) {
            element += strides[axis];
            if (++index[axis] < dims[axis]) break;
            element -= strides[axis] * dims[axis];
            index[axis] = 0;
        }
    }
}

std::size_t dim(PyArrayObject* array, int axis) { return static_cast<std::size_t>(PyArray_DIM(array, axis)); }

Result<Polygon> to_polygon(PyObject* item) {
    if (!PyTuple_Check(item)) {
        return Error{"Each polygon must be (exterior, holes): TypeError: " + cast_text(item, "tuple")};
    }
    if (PyTuple_GET_SIZE(item) != 2) {
        return Error{"Each polygon must be (exterior, holes): ValueError: expected tuple of length 2, but got tuple "
                     "of length " +
                     std::to_string(PyTuple_GET_SIZE(item))};
    }
    Result<Ring> exterior = extract_ring(PyTuple_GET_ITEM(item, 0));
    if (!exterior.ok()) return exterior.error();
    PyObject* holes = PyTuple_GET_ITEM(item, 1);
    if (!PyList_Check(holes)) return Error{"Holes must be a list of arrays: " + cast_text(holes, "list")};

    Polygon polygon{std::move(exterior.value()), {}};
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(holes); ++i) {
        Result<Ring> hole = extract_ring(PyList_GET_ITEM(holes, i));
        if (!hole.ok()) return hole.error();
        polygon.holes.push_back(std::move(hole.value()));
    }
    return polygon;
}

}  // namespace

Result<std::optional<Grid>> read_grid(PyObject* obj) {
    if (obj == nullptr || obj == Py_None) return std::optional<Grid>();
    PyArrayObject* array = array_of(obj, 2, NPY_FLOAT32);
    if (array == nullptr) return Error{"Failed to extract 2D array: " + cast_text(obj, "ndarray")};
    Grid grid(dim(array, 0), dim(array, 1), Grid::Init::uninitialised);
    copy_logical(array, grid.data());
    return std::optional<Grid>(std::move(grid));
}

Result<BoolGrid> read_mask(PyObject* obj) {
    PyArrayObject* array = array_of(obj, 2, NPY_BOOL);
    if (array == nullptr) return Error{"Failed to extract mask array: " + cast_text(obj, "ndarray")};
    static_assert(sizeof(bool) == sizeof(npy_bool));
    BoolGrid mask(dim(array, 0), dim(array, 1), BoolGrid::Init::uninitialised);
    copy_logical(array, reinterpret_cast<npy_bool*>(mask.data()));
    return mask;
}

std::optional<Grid3> read_grid3(PyObject* obj) {
    PyArrayObject* array = array_of(obj, 3, NPY_FLOAT32);
    if (array == nullptr) return std::nullopt;
    Grid3 grid(dim(array, 0), dim(array, 1), dim(array, 2), Grid3::Init::uninitialised);
    copy_logical(array, grid.data());
    return grid;
}

Result<Ring> extract_ring(PyObject* obj) {
    PyArrayObject* array = array_of(obj, 2, NPY_FLOAT64);
    if (array == nullptr) return Error{"Ring must be a 2D float64 array: " + cast_text(obj, "ndarray")};
    if (dim(array, 1) != 2) {
        return Error{"Ring array must have shape (N, 2), got [" + std::to_string(dim(array, 0)) + ", " +
                     std::to_string(dim(array, 1)) + "]"};
    }
    static_assert(sizeof(Point) == 2 * sizeof(double));
    Ring ring(dim(array, 0));
    copy_logical(array, reinterpret_cast<double*>(ring.data()));
    return ring;
}

Result<std::vector<Polygon>> to_polygon_rings(PyObject* polygons) {
    if (!PyList_Check(polygons)) return Error{"Expected a list of polygons: " + cast_text(polygons, "list")};
    std::vector<Polygon> set;
    set.reserve(static_cast<std::size_t>(PyList_GET_SIZE(polygons)));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(polygons); ++i) {
        Result<Polygon> polygon = to_polygon(PyList_GET_ITEM(polygons, i));
        if (!polygon.ok()) return polygon.error();
        set.push_back(std::move(polygon.value()));
    }
    return set;
}

}  // namespace quillet::py
