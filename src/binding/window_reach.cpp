// _window_reach(levels, window_size, outer_window): base cells that a source's
// windows reach beyond its own cell, for the Python layer's tile halos, so that
// the layer cuts tiles by the rule the windows are built by. The arguments are
// converted, and their errors worded, as `connectivity` does.
#include "functions.hpp"

#include <cstdint>
#include <span>
#include <vector>

#include "args.hpp"
#include "connectivity/window_reach.hpp"
#include "errors.hpp"

namespace quillet::py {

const char* const window_reach_doc =
    "_window_reach(levels, window_size, outer_window)\n"
    "--\n"
    "\n"
    "Base cells that a source's windows reach beyond its own cell: the coarsest\n"
    "level's window width (`outer_window`, or `window_size` where it is the larger)\n"
    "times the coarsest level.";

namespace {

constexpr const char* kParams[] = {"levels", "window_size", "outer_window"};
constexpr Signature kSignature{"_window_reach()", kParams, 3};

enum Param : std::size_t { levels_p, window_size_p, outer_window_p };

struct ReachArguments {
    std::vector<std::uint64_t> levels;
    std::int32_t window_size = 0;
    std::int32_t outer_window = 0;
};

// Converts the arguments in signature order, applying the argument-error rule
// to the first failure.
bool convert_arguments(std::span<PyObject* const> bound, ReachArguments& in) {
    if (!to_u64_list(bound[levels_p], in.levels)) return argument_error("levels");
    if (!to_i32(bound[window_size_p], in.window_size)) return argument_error("window_size");
    if (!to_i32(bound[outer_window_p], in.outer_window)) return argument_error("outer_window");
    return true;
}

PyObject* window_reach_body(PyObject* args, PyObject* kwargs) {
    PyObject* bound[std::size(kParams)];
    ReachArguments in;
    if (!bind_arguments(kSignature, args, kwargs, bound) || !convert_arguments(bound, in)) return nullptr;
    std::vector<LevelKey> keys;
    for (const std::uint64_t factor : in.levels) keys.push_back(level_key(factor));
    return PyLong_FromLongLong(quillet::window_reach(coarsest_level(keys), in.window_size, in.outer_window));
}

}  // namespace

PyObject* window_reach(PyObject*, PyObject* args, PyObject* kwargs) {
    return fault_trap([&] { return window_reach_body(args, kwargs); });
}

}  // namespace quillet::py
