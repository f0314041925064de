// Common includes of the binding layer and an owning reference to a Python object.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace quillet::py {

// Owns one strong reference; releases it when destroyed.
class Ref {
public:
    Ref() = default;
    explicit Ref(PyObject* owned) : obj_(owned) {}
    Ref(Ref&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(obj_);
            obj_ = std::exchange(other.obj_, nullptr);
        }
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(obj_); }

    PyObject* get() const { return obj_; }
    PyObject* release() { return std::exchange(obj_, nullptr); }
    explicit operator bool() const { return obj_ != nullptr; }

private:
    PyObject* obj_ = nullptr;
};

}  // namespace quillet::py
