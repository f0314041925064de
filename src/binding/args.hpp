// Argument binding and the conversions of single arguments. Every converter
// returns false with a Python exception set on failure; the caller applies the
// argument-error rule (`argument_error`) with the parameter's name.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/affine.hpp"
#include "python.hpp"

namespace quillet::py {

struct Signature {
    const char* display_name;             // "name()", used in binding messages
    std::span<const char* const> params;  // in signature order, required first
    std::size_t required;
};

// Fills `bound` (one borrowed reference or nullptr per parameter) from the
// positional tuple and the keyword dictionary; either may be nullptr. Sets
// TypeError with the interpreter's binding texts and returns false on failure.
bool bind_arguments(const Signature& sig, PyObject* args, PyObject* kwargs, std::span<PyObject*> bound);

// A non-negative integer below 2^64: an int or an object with __index__.
bool to_u64(PyObject* obj, std::uint64_t& out);
// An integer in the signed 32-bit range: an int or an object with __index__.
bool to_i32(PyObject* obj, std::int32_t& out);
// Anything PyFloat_AsDouble takes.
bool to_f64(PyObject* obj, double& out);
// As to_f64, rounded to the nearest 32-bit float.
bool to_f32(PyObject* obj, float& out);
// True or False, or a NumPy boolean scalar.
bool to_bool(PyObject* obj, bool& out);
// None (no count) or a u64.
bool to_optional_u64(PyObject* obj, std::optional<std::uint64_t>& out);
// A tuple (or subclass) of exactly `length` items.
bool check_tuple_length(PyObject* obj, Py_ssize_t length);
// A tuple of two items converted with to_u64.
bool to_u64_pair(PyObject* obj, std::uint64_t& first, std::uint64_t& second);
// An affine six-tuple (a, b, c, d, e, f), each item converted with to_f64.
bool to_affine(PyObject* obj, Affine& out);
// A non-str sequence (list, tuple, NumPy array, ...) of u64 / f32 elements.
bool to_u64_list(PyObject* obj, std::vector<std::uint64_t>& out);
bool to_f32_list(PyObject* obj, std::vector<float>& out);

}  // namespace quillet::py
