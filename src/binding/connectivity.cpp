// connectivity(condition, mask, transgrid_list, transforms, levels, lambdas, is_geo,
//              max_cost, window_size, outer_window, offsets, traversal=None,
//              n_threads=None, window_mode="circular", pa_to_pa=False)
#include "functions.hpp"

#include "connectivity/driver.hpp"
#include "args.hpp"
#include "errors.hpp"
#include "extract.hpp"
#include "frame.hpp"

namespace quillet::py {

const char* const connectivity_doc =
    "connectivity(condition, mask, transgrid_list, transforms, levels, lambdas, is_geo, max_cost, window_size, "
    "outer_window, offsets, traversal=None, n_threads=None, window_mode=\"circular\", pa_to_pa=False)\n"
    "--\n"
    "\n"
    "Compute habitat/VESK connectivity and TOLM.\n"
    "\n"
    "# Arguments\n"
    "* `condition` - 2D array of habitat-condition values in [0, 1]. Values are\n"
    "  pre-scaled (Python-side); higher values represent better condition.\n"
    "* `mask` - 2D boolean array. `true` marks cells excluded from analysis (skipped as\n"
    "  focal sources); in the VESK edition `false` marks protected-area cells.\n"
    "* `transgrid_list` - List of transition / cost grids (one per resolution level) used\n"
    "  for multi-scale connectivity calculations.\n"
    "* `transforms` - List of spatial transforms corresponding to `transgrid_list`.\n"
    "* `lambdas` - Bandwidth values for the connectivity kernels, controlling the\n"
    "  effective dispersal distance (e.g. [2.0, 20.0, 200.0]).\n"
    "* `is_geo` - Whether coordinates are geographic (lat/lon) rather than projected.\n"
    "* `max_cost` - Relative cost of moving through a fully-degraded cell (traversal value 0).\n"
    "  The path weight is `w = (1.0 - max_cost) * t + max_cost`, where `t` is the traversal\n"
    "  value: the `condition` value by default, or the (pre-inverted) `traversal` raster when\n"
    "  supplied. `t = 1` gives `w = 1` (cheapest), `t = 0` gives `w = max_cost` (costliest).\n"
    "* `window_size` - Odd local window width used for non-coarsest levels\n"
    "  (e.g. 3 gives an effective 6\u00d76 current-level window).\n"
    "* `outer_window` - Odd coarsest-level window width used to set the long-range\n"
    "  search reach. Must be \u2265 `window_size`.\n"
    "* `offsets` -\n"
    "* `window_mode` - \"circular\" for source-centered circular annuli or\n"
    "  \"square\" for source-centered square annuli.\n"
    "* `traversal` - Optional 2D array (same shape as `condition`) of pre-inverted, [0, 1]\n"
    "  traversal values (high = easy passage, i.e. `1 - resistance`) used only for the path\n"
    "  weight `w`. `None` falls back to `condition`, giving bit-identical output. Indicator\n"
    "  values (habitat area and the condition multiplier) always use `condition`, not this.\n"
    "* `pa_to_pa` - VESK edition only. When `true`, only nodes on a protected area are\n"
    "  counted as destinations (weighted by their protected fraction); paths still route through\n"
    "  the non-PA landscape. An isolated PA scores 0. When `false`, all reachable nodes count.\n"
    "* `n_threads` - Optional number of CPU threads to use. If `None`, all available\n"
    "  cores are used.\n"
    "\n"
    "# Returns\n"
    "A 2D array of connectivity values for each cell at the native resolution.";

namespace {

constexpr const char* kParams[] = {"condition",    "mask",    "transgrid_list", "transforms", "levels",
                                   "lambdas",      "is_geo",  "max_cost",       "window_size", "outer_window",
                                   "offsets",      "traversal", "n_threads",    "window_mode", "pa_to_pa"};
constexpr Signature kSignature{"connectivity()", kParams, 11};

enum Param : std::size_t {
    condition_p, mask_p, transgrid_list_p, transforms_p, levels_p, lambdas_p, is_geo_p, max_cost_p,
    window_size_p, outer_window_p, offsets_p, traversal_p, n_threads_p, window_mode_p, pa_to_pa_p,
};

// Converts the scalar and list parameters in signature order, applying the
// argument-error rule to the first failure.
bool convert_parameters(std::span<PyObject* const> bound, ConnectivityInputs& in,
                        std::optional<std::uint64_t>& n_threads) {
    if (!to_u64_list(bound[levels_p], in.levels)) return argument_error("levels");
    if (!to_f32_list(bound[lambdas_p], in.lambdas)) return argument_error("lambdas");
    if (!to_bool(bound[is_geo_p], in.is_geo)) return argument_error("is_geo");
    if (!to_f32(bound[max_cost_p], in.max_cost)) return argument_error("max_cost");
    if (!to_i32(bound[window_size_p], in.window_size)) return argument_error("window_size");
    if (!to_i32(bound[outer_window_p], in.outer_window)) return argument_error("outer_window");
    if (!to_u64_pair(bound[offsets_p], in.row_offset, in.col_offset)) return argument_error("offsets");
    if (!to_optional_u64(bound[n_threads_p], n_threads)) return argument_error("n_threads");
    PyObject* window_mode = bound[window_mode_p];
    if (window_mode != nullptr && !PyUnicode_Check(window_mode)) {
        fail_cast(window_mode, "str");
        return argument_error("window_mode");
    }
    PyObject* pa_to_pa = bound[pa_to_pa_p];
    if (pa_to_pa != nullptr && !to_bool(pa_to_pa, in.pa_to_pa)) return argument_error("pa_to_pa");
    return true;
}

// Reads transgrid_list: None, or a list of 3-D float32 arrays and Nones.
bool read_transgrids(PyObject* obj, std::vector<Grid3>& out) {
    if (obj == Py_None) return true;
    if (!PyList_Check(obj)) return fail_cast(obj, "list");
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(obj); ++i) {
        PyObject* item = PyList_GET_ITEM(obj, i);
        if (item == Py_None) continue;
        std::optional<Grid3> grid = read_grid3(item);
        if (!grid) {
            raise_fault(std::string(kUncheckedResultText) + ": Failed to extract 3D array: " +
                        cast_text(item, "ndarray"));
        }
        out.push_back(std::move(*grid));
    }
    return true;
}

// One (key, (a, b, c, d, e, f)) pair of the transforms mapping.
bool read_transform_entry(PyObject* entry, TransformMap& out) {
    if (!check_tuple_length(entry, 2)) return false;
    std::int32_t key = 0;
    if (!to_i32(PyTuple_GET_ITEM(entry, 0), key)) return false;
    Affine transform{};
    if (!to_affine(PyTuple_GET_ITEM(entry, 1), transform)) return false;
    out.insert_or_assign(key, transform);
    return true;
}

// Reads the transforms mapping through its items() method.
Result<TransformMap> read_transforms(PyObject* obj) {
    TransformMap transforms;
    Ref items(PyObject_CallMethod(obj, "items", nullptr));
    Ref iterator(items ? PyObject_GetIter(items.get()) : nullptr);
    if (!iterator) return take_exception_as_error();
    while (Ref entry{PyIter_Next(iterator.get())}) {
        if (!read_transform_entry(entry.get(), transforms)) return take_exception_as_error();
    }
    if (PyErr_Occurred()) return take_exception_as_error();
    return transforms;
}

bool is_white_space(Py_UCS4 ch) {
    return (ch >= 0x09 && ch <= 0x0D) || ch == 0x20 || ch == 0x85 || ch == 0xA0 || ch == 0x1680 ||
           (ch >= 0x2000 && ch <= 0x200A) || ch == 0x2028 || ch == 0x2029 || ch == 0x202F || ch == 0x205F ||
           ch == 0x3000;
}

// window_mode with surrounding white space removed and ASCII letters lower-cased.
Ref normalised_window_mode(PyObject* text) {
    const Py_ssize_t length = PyUnicode_GetLength(text);
    Py_ssize_t begin = 0, end = length;
    while (begin < end && is_white_space(PyUnicode_ReadChar(text, begin))) ++begin;
    while (end > begin && is_white_space(PyUnicode_ReadChar(text, end - 1))) --end;
    std::vector<Py_UCS4> chars;
    for (Py_ssize_t i = begin; i < end; ++i) {
        const Py_UCS4 ch = PyUnicode_ReadChar(text, i);
        chars.push_back(ch >= 'A' && ch <= 'Z' ? ch - 'A' + 'a' : ch);
    }
    return Ref(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, chars.data(), static_cast<Py_ssize_t>(chars.size())));
}

bool read_window_mode(PyObject* obj, WindowMode& out) {
    if (obj == nullptr) {
        out = WindowMode::circular;
        return true;
    }
    Ref mode = normalised_window_mode(obj);
    if (!mode) return false;
    if (PyUnicode_CompareWithASCIIString(mode.get(), "circular") == 0) {
        out = WindowMode::circular;
    } else if (PyUnicode_CompareWithASCIIString(mode.get(), "square") == 0) {
        out = WindowMode::square;
    } else {
        PyErr_Format(PyExc_ValueError, "Invalid window_mode '%U'. Expected 'square' or 'circular'.", mode.get());
        return false;
    }
    return true;
}

// Reads the raster-like inputs in their fixed order; the first failure wins.
bool read_inputs(std::span<PyObject* const> bound, ConnectivityInputs& in) {
    Result<std::optional<Grid>> condition = read_grid(bound[condition_p]);
    if (!condition.ok()) return raise_runtime_error("Reading condition failed: ", condition.error());
    in.condition = std::move(condition.value());

    if (!read_transgrids(bound[transgrid_list_p], in.transgrids)) return false;

    Result<TransformMap> transforms = read_transforms(bound[transforms_p]);
    if (!transforms.ok()) return raise_runtime_error("Faild getting transform information: ", transforms.error());
    in.transforms = std::move(transforms.value());

    PyObject* mask = bound[mask_p];
    if (mask == Py_None) return raise_runtime_error("Reading mask failed: ", Error{"Mask must be provided!"});
    Result<BoolGrid> mask_grid = read_mask(mask);
    if (!mask_grid.ok()) return raise_runtime_error("Reading mask failed: ", mask_grid.error());
    in.mask = std::move(mask_grid.value());

    Result<std::optional<Grid>> traversal = read_grid(bound[traversal_p]);
    if (!traversal.ok()) return raise_runtime_error("Reading traversal failed: ", traversal.error());
    in.traversal = std::move(traversal.value());

    return read_window_mode(bound[window_mode_p], in.window_mode);
}

PyObject* connectivity_body(PyObject* args, PyObject* kwargs) {
    PyObject* bound[std::size(kParams)];
    if (!bind_arguments(kSignature, args, kwargs, bound)) return nullptr;
    ConnectivityInputs inputs;
    std::optional<std::uint64_t> n_threads;
    if (!convert_parameters(bound, inputs, n_threads) || !read_inputs(bound, inputs)) return nullptr;

    std::optional<Result<Grid>> result;
    Progress progress;
    const bool ran = run_on_pool(
        thread_count(n_threads), [&](Pool& pool) { result.emplace(run_connectivity(inputs, pool, &progress)); },
        &progress);
    if (!ran) return nullptr;
    if (!result->ok()) {
        raise_runtime_error("Connectivity failed: ", result->error());
        return nullptr;
    }
    return to_numpy(std::move(result->value()));
}

}  // namespace

PyObject* connectivity(PyObject*, PyObject* args, PyObject* kwargs) {
    return fault_trap([&] { return connectivity_body(args, kwargs); });
}

}  // namespace quillet::py
