// The extension module `quillet`: multi-phase initialisation whose execution
// step adds `connectivity` and `pixel_coverage`, in that order, to the module
// and to its __all__, and the package's `__version__`. The private
// `_available_cpus`, `_report_progress` and `_window_reach` come with the
// module's definition and stay out of __all__.
#define QUILLET_IMPORTS_NUMPY
#include "numpy.hpp"

#include "errors.hpp"
#include "functions.hpp"

namespace quillet::py {

namespace {

PyMethodDef connectivity_def = {"connectivity", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(connectivity)),
                                METH_VARARGS | METH_KEYWORDS, nullptr};
PyMethodDef pixel_coverage_def = {"pixel_coverage",
                                  reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(pixel_coverage)),
                                  METH_VARARGS | METH_KEYWORDS, nullptr};

PyMethodDef private_methods[] = {
    {"_available_cpus", available_cpus, METH_NOARGS, available_cpus_doc},
    {"_report_progress", report_progress, METH_O, report_progress_doc},
    {"_window_reach", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(window_reach)),
     METH_VARARGS | METH_KEYWORDS, window_reach_doc},
    {nullptr, nullptr, 0, nullptr},
};

// The module's __all__ list, created empty when the module has none.
PyObject* all_list(PyObject* module) {
    PyObject* dict = PyModule_GetDict(module);
    PyObject* all = PyDict_GetItemString(dict, "__all__");
    if (all != nullptr) return all;
    Ref created(PyList_New(0));
    if (!created || PyDict_SetItemString(dict, "__all__", created.get()) < 0) return nullptr;
    return created.get();  // the module dictionary keeps it alive
}

// Creates the function bound to `module`, appends its name to __all__ and sets
// the module attribute of that name.
bool add_function(PyObject* module, PyMethodDef* def) {
    Ref module_name(PyModule_GetNameObject(module));
    if (!module_name) return false;
    Ref function(PyCFunction_NewEx(def, module, module_name.get()));
    if (!function) return false;
    Ref name(PyObject_GetAttrString(function.get(), "__name__"));
    if (!name) return false;
    PyObject* all = all_list(module);
    if (all == nullptr) return false;
    if (PyList_Append(all, name.get()) < 0) {
        PyErr_Clear();
        raise_panic("could not append __name__ to __all__");
        return false;
    }
    return PyObject_SetAttr(module, name.get(), function.get()) == 0;
}

int exec_module_body(PyObject* module) {
    if (!PyModule_Check(module)) {
        PyErr_SetString(PyExc_TypeError, cast_text(module, "module").c_str());
        return -1;
    }
    if (PyArray_ImportNumPyAPI() < 0) return -1;
    PyObject* panic = panic_exception_type();
    if (panic == nullptr || PyModule_AddObjectRef(module, "PanicException", panic) < 0) return -1;
    connectivity_def.ml_doc = connectivity_doc;
    pixel_coverage_def.ml_doc = pixel_coverage_doc;
    if (!add_function(module, &connectivity_def) || !add_function(module, &pixel_coverage_def)) return -1;
    return PyModule_AddStringConstant(module, "__version__", QUILLET_VERSION);
}

int exec_module(PyObject* module) {
    PyObject* result = fault_trap([&]() -> PyObject* { return exec_module_body(module) == 0 ? Py_None : nullptr; });
    return result == nullptr ? -1 : 0;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "quillet",
    "",
    0,
    private_methods,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace quillet::py

PyMODINIT_FUNC PyInit_quillet(void) { return PyModuleDef_Init(&quillet::py::module_def); }
