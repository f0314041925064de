// pixel_coverage(polygons, transform, shape, n_threads=None)
#include "functions.hpp"

#include "coverage/driver.hpp"
#include "args.hpp"
#include "errors.hpp"
#include "extract.hpp"
#include "frame.hpp"

namespace quillet::py {

const char* const pixel_coverage_doc =
    "pixel_coverage(polygons, transform, shape, n_threads=None)\n"
    "--\n"
    "\n"
    "Compute the proportion of each raster pixel covered by a (multi)polygon.\n"
    "\n"
    "# Arguments\n"
    "* `polygons` - Python list of `(exterior_xy, [hole_xy, ...])` tuples, where each\n"
    "  ring is an `(N, 2)` float64 numpy array of (x, y) world-coordinate vertices.\n"
    "  Polygons are assumed already-unioned on the Python side.\n"
    "* `transform` - Affine 6-tuple `(a, b, c, d, e, f)` of the reference raster.\n"
    "* `shape` - Output raster shape `(nrows, ncols)`.\n"
    "* `n_threads` - Optional number of CPU threads to use. If `None`, all available\n"
    "  cores are used.\n"
    "\n"
    "# Returns\n"
    "A 2D float32 array of shape `shape` with values in [0, 1].";

namespace {

constexpr const char* kParams[] = {"polygons", "transform", "shape", "n_threads"};
constexpr Signature kSignature{"pixel_coverage()", kParams, 3};

struct CoverageArguments {
    Affine transform{};
    std::uint64_t nrows = 0;
    std::uint64_t ncols = 0;
    std::optional<std::uint64_t> n_threads;
};

// Converts transform, shape and n_threads, in that order, before the polygons
// are looked at.
bool convert_parameters(PyObject* transform, PyObject* shape, PyObject* n_threads, CoverageArguments& out) {
    if (!to_affine(transform, out.transform)) return argument_error("transform");
    if (!to_u64_pair(shape, out.nrows, out.ncols)) return argument_error("shape");
    if (!to_optional_u64(n_threads, out.n_threads)) return argument_error("n_threads");
    return true;
}

PyObject* pixel_coverage_body(PyObject* args, PyObject* kwargs) {
    PyObject* bound[std::size(kParams)];
    if (!bind_arguments(kSignature, args, kwargs, bound)) return nullptr;
    CoverageArguments arguments;
    if (!convert_parameters(bound[1], bound[2], bound[3], arguments)) return nullptr;

    Result<std::vector<Polygon>> polygons = to_polygon_rings(bound[0]);
    if (!polygons.ok()) {
        raise_runtime_error("Reading polygons failed: ", polygons.error());
        return nullptr;
    }

    Grid grid;
    const bool ran = run_on_pool(thread_count(arguments.n_threads), [&](Pool& pool) {
        grid = pixel_coverage_grid(polygons.value(), arguments.transform, arguments.nrows, arguments.ncols, pool);
    });
    if (!ran) return nullptr;
    return to_numpy(std::move(grid));
}

}  // namespace

PyObject* pixel_coverage(PyObject*, PyObject* args, PyObject* kwargs) {
    return fault_trap([&] { return pixel_coverage_body(args, kwargs); });
}

}  // namespace quillet::py
