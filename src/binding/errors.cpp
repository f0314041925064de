#include "errors.hpp"

namespace quillet::py {

namespace {

// str(obj) as UTF-8, or nothing when str() fails (its exception is cleared).
bool try_str(PyObject* obj, std::string& out) {
    Ref text(PyObject_Str(obj));
    if (!text) {
        PyErr_Clear();
        return false;
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size);
    if (utf8 == nullptr) {
        PyErr_Clear();
        return false;
    }
    out.assign(utf8, static_cast<std::size_t>(size));
    return true;
}

std::string type_attribute(PyObject* type, const char* attribute) {
    Ref name(PyObject_GetAttrString(type, attribute));
    std::string out;
    if (!name || !try_str(name.get(), out)) {
        PyErr_Clear();
        return reinterpret_cast<PyTypeObject*>(type)->tp_name;
    }
    return out;
}

}  // namespace

std::string cast_text(PyObject* obj, const char* target) {
    if (obj == Py_None) return std::string("'None' is not an instance of '") + target + "'";
    return "'" + type_attribute(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__") +
           "' object is not an instance of '" + target + "'";
}

bool fail_cast(PyObject* obj, const char* target) {
    PyErr_SetString(PyExc_TypeError, cast_text(obj, target).c_str());
    return false;
}

Error take_exception_as_error() {
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    Ref type_ref(type), value_ref(value), traceback_ref(traceback);
    if (type == nullptr) return Error{kUnknownFaultText};
    std::string message = type_attribute(type, "__name__") + ": ";
    std::string text;
    message += try_str(value, text) ? text : "<exception str() failed>";
    return Error{message};
}

bool raise_runtime_error(const std::string& prefix, const Error& error) {
    PyErr_SetString(PyExc_RuntimeError, (prefix + error.message).c_str());
    return false;
}

bool argument_error(const char* name) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    Ref type_ref(type), value_ref(value), traceback_ref(traceback);
    std::string text;
    if (!try_str(value, text)) text = "<exception str() failed>";
    text = std::string("argument '") + name + "': " + text;
    Ref message(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
    Ref wrapped(message ? PyObject_CallOneArg(PyExc_TypeError, message.get()) : nullptr);
    if (!wrapped) return false;
    if (PyObject* cause = PyException_GetCause(value)) PyException_SetCause(wrapped.get(), cause);
    PyErr_SetObject(PyExc_TypeError, wrapped.get());
    return false;
}

PyObject* panic_exception_type() {
    static PyObject* type = nullptr;  // created once, kept for the life of the process
    if (type == nullptr) {
        type = PyErr_NewExceptionWithDoc(
            "quillet.PanicException",
            "An internal fault of quillet: a violated consistency condition abandoned the call.",
            PyExc_BaseException, nullptr);
    }
    return type;
}

PyObject* raise_panic(const std::string& text) {
    PyObject* type = panic_exception_type();
    if (type == nullptr) return nullptr;
    Ref message(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
    if (message) PyErr_SetObject(type, message.get());
    return nullptr;
}

}  // namespace quillet::py
