// The module's exported functions and their documentation strings.
#pragma once

#include "python.hpp"

namespace quillet::py {

extern const char* const connectivity_doc;
extern const char* const pixel_coverage_doc;

PyObject* connectivity(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* pixel_coverage(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace quillet::py
