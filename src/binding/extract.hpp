// Copies of NumPy arrays and polygon lists into the core's native data. Every
// reader copies in the array's logical order, whatever its memory layout; a
// C-contiguous array is copied in one block. The arrays are only read.
#pragma once

#include <optional>
#include <vector>

#include "coverage/driver.hpp"
#include "common/fault.hpp"
#include "common/grid.hpp"
#include "python.hpp"

namespace quillet::py {

// A 2-D float32 array as a Grid; None gives no grid. Error texts are those of the
// grid reader ("Failed to extract 2D array: " + cast text).
Result<std::optional<Grid>> read_grid(PyObject* obj);

// A 2-D boolean array as a BoolGrid ("Failed to extract mask array: " + cast text).
Result<BoolGrid> read_mask(PyObject* obj);

// A 3-D float32 array as a Grid3; no value when `obj` is not such an array.
std::optional<Grid3> read_grid3(PyObject* obj);

// An (N, 2) float64 array of (x, y) vertices.
Result<Ring> extract_ring(PyObject* obj);

// A list of (exterior, [holes...]) tuples. A Python exception may be left set
// only when the interpreter itself failed (for example while allocating).
Result<std::vector<Polygon>> to_polygon_rings(PyObject* polygons);

}  // namespace quillet::py
