// The module's functions and their documentation strings: the two exported
// ones, and `_available_cpus`, `_report_progress` and `_window_reach`, kept out
// of __all__, for the Python layer.
#pragma once

#include "python.hpp"

namespace quillet::py {

extern const char* const connectivity_doc;
extern const char* const pixel_coverage_doc;
extern const char* const available_cpus_doc;
extern const char* const report_progress_doc;
extern const char* const window_reach_doc;

PyObject* connectivity(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* pixel_coverage(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* available_cpus(PyObject* self, PyObject* unused);
PyObject* report_progress(PyObject* self, PyObject* callback);
PyObject* window_reach(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace quillet::py
