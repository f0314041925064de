#include "args.hpp"

#include <algorithm>
#include <limits>

#include "errors.hpp"
#include "numpy.hpp"

namespace quillet::py {

namespace {

std::string quoted_list(const std::vector<std::string>& names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() > 2) out += ",";
            out += i + 1 == names.size() ? " and " : " ";
        }
        out += "'" + names[i] + "'";
    }
    return out;
}

bool fail_type(const std::string& text) {
    PyErr_SetString(PyExc_TypeError, text.c_str());
    return false;
}

// Index of the parameter named `key`, or params.size().
std::size_t parameter_index(const Signature& sig, PyObject* key) {
    for (std::size_t i = 0; i < sig.params.size(); ++i) {
        if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, sig.params[i]) == 0) return i;
    }
    return sig.params.size();
}

std::string text_of(PyObject* key) {
    Ref text(PyObject_Str(key));
    const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    if (utf8 == nullptr) {
        PyErr_Clear();
        return "?";
    }
    return utf8;
}

// Checks that `obj` is a sequence other than a str; sets TypeError otherwise.
bool check_sequence(PyObject* obj) {
    if (PyUnicode_Check(obj)) return fail_type("a string cannot be taken as a list of numbers");
    if (!PySequence_Check(obj)) return fail_cast(obj, "Sequence");
    return true;
}

// A sequence's __len__ is only its claim: room is reserved for at most this
// many items up front, so a length that lies cannot demand memory by itself.
constexpr Py_ssize_t kMaxReservedItems = 1024;

template <class T, class Convert>
bool to_list(PyObject* obj, std::vector<T>& out, Convert convert) {
    if (!check_sequence(obj)) return false;
    const Py_ssize_t n = PySequence_Size(obj);
    if (n < 0) return false;
    out.clear();
    out.reserve(static_cast<std::size_t>(std::min(n, kMaxReservedItems)));
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref item(PySequence_GetItem(obj, i));
        T value{};
        if (!item || !convert(item.get(), value)) return false;
        out.push_back(value);
    }
    return true;
}

}  // namespace

bool bind_arguments(const Signature& sig, PyObject* args, PyObject* kwargs, std::span<PyObject*> bound) {
    const std::size_t total = sig.params.size();
    const std::size_t given = args != nullptr ? static_cast<std::size_t>(PyTuple_GET_SIZE(args)) : 0;
    if (given > total) {
        std::string text = std::string(sig.display_name) + " takes ";
        if (sig.required != total) text += "from " + std::to_string(sig.required) + " to ";
        text += std::to_string(total) + " positional arguments but " + std::to_string(given) +
                (given == 1 ? " was given" : " were given");
        return fail_type(text);
    }
    std::fill(bound.begin(), bound.end(), nullptr);
    for (std::size_t i = 0; i < given; ++i) bound[i] = PyTuple_GET_ITEM(args, static_cast<Py_ssize_t>(i));

    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject *key = nullptr, *value = nullptr;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            const std::size_t index = parameter_index(sig, key);
            if (index == total) {
                return fail_type(std::string(sig.display_name) + " got an unexpected keyword argument '" +
                                 text_of(key) + "'");
            }
            if (bound[index] != nullptr) {
                return fail_type(std::string(sig.display_name) + " got multiple values for argument '" +
                                 sig.params[index] + "'");
            }
            bound[index] = value;
        }
    }

    std::vector<std::string> missing;
    for (std::size_t i = 0; i < sig.required; ++i) {
        if (bound[i] == nullptr) missing.emplace_back(sig.params[i]);
    }
    if (!missing.empty()) {
        return fail_type(std::string(sig.display_name) + " missing " + std::to_string(missing.size()) +
                         " required positional argument" + (missing.size() > 1 ? "s" : "") + ": " +
                         quoted_list(missing));
    }
    return true;
}

bool to_u64(PyObject* obj, std::uint64_t& out) {
    Ref index(PyNumber_Index(obj));
    if (!index) return false;
    const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    out = value;
    return true;
}

bool to_i32(PyObject* obj, std::int32_t& out) {
    Ref index(PyNumber_Index(obj));
    if (!index) return false;
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (value == -1 && PyErr_Occurred()) return false;
    if (overflow > 0 || value > std::numeric_limits<std::int32_t>::max()) {
        PyErr_SetString(PyExc_OverflowError, "number too large to fit in target type");
        return false;
    }
    if (overflow < 0 || value < std::numeric_limits<std::int32_t>::min()) {
        PyErr_SetString(PyExc_OverflowError, "number too small to fit in target type");
        return false;
    }
    out = static_cast<std::int32_t>(value);
    return true;
}

bool to_f64(PyObject* obj, double& out) {
    const double value = PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred()) return false;
    out = value;
    return true;
}

bool to_f32(PyObject* obj, float& out) {
    double value = 0;
    if (!to_f64(obj, value)) return false;
    out = static_cast<float>(value);
    return true;
}

bool to_bool(PyObject* obj, bool& out) {
    if (PyBool_Check(obj)) {
        out = obj == Py_True;
        return true;
    }
    if (PyArray_IsScalar(obj, Bool)) {
        out = PyArrayScalar_VAL(obj, Bool) != 0;
        return true;
    }
    return fail_cast(obj, "bool");
}

bool to_optional_u64(PyObject* obj, std::optional<std::uint64_t>& out) {
    if (obj == nullptr || obj == Py_None) {
        out.reset();
        return true;
    }
    std::uint64_t value = 0;
    if (!to_u64(obj, value)) return false;
    out = value;
    return true;
}

bool check_tuple_length(PyObject* obj, Py_ssize_t length) {
    if (!PyTuple_Check(obj)) return fail_cast(obj, "tuple");
    const Py_ssize_t actual = PyTuple_GET_SIZE(obj);
    if (actual != length) {
        PyErr_Format(PyExc_ValueError, "expected tuple of length %zd, but got tuple of length %zd", length, actual);
        return false;
    }
    return true;
}

bool to_u64_pair(PyObject* obj, std::uint64_t& first, std::uint64_t& second) {
    return check_tuple_length(obj, 2) && to_u64(PyTuple_GET_ITEM(obj, 0), first) &&
           to_u64(PyTuple_GET_ITEM(obj, 1), second);
}

bool to_affine(PyObject* obj, Affine& out) {
    if (!check_tuple_length(obj, 6)) return false;
    double* const coefficients[] = {&out.a, &out.b, &out.c, &out.d, &out.e, &out.f};
    for (Py_ssize_t i = 0; i < 6; ++i) {
        if (!to_f64(PyTuple_GET_ITEM(obj, i), *coefficients[i])) return false;
    }
    return true;
}

bool to_u64_list(PyObject* obj, std::vector<std::uint64_t>& out) { return to_list(obj, out, to_u64); }

bool to_f32_list(PyObject* obj, std::vector<float>& out) { return to_list(obj, out, to_f32); }

}  // namespace quillet::py
