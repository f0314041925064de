// NumPy's C API, shared by every translation unit of the binding layer. The table
// is imported once, in module.cpp.
#pragma once

#include "python.hpp"

#define NPY_NO_DEPRECATED_API NPY_1_19_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL quillet_ARRAY_API
#ifndef QUILLET_IMPORTS_NUMPY
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
#include <numpy/arrayscalars.h>
