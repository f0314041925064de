// How failures become Python exceptions: the cast text, error values made from
// Python exceptions, the argument-error rule and the trap that turns internal
// faults into PanicException.
#pragma once

#include <exception>
#include <new>
#include <string>

#include "common/fault.hpp"
#include "python.hpp"

namespace quillet::py {

// "'T' object is not an instance of 'target'", or "'None' is not an instance of
// 'target'" for None.
std::string cast_text(PyObject* obj, const char* target);

// Sets TypeError with the cast text; returns false so converters can return it.
bool fail_cast(PyObject* obj, const char* target);

// Takes the current Python exception and renders it as "TypeName: text".
Error take_exception_as_error();

// Sets RuntimeError(prefix + error message); returns false.
bool raise_runtime_error(const std::string& prefix, const Error& error);

// The argument-error rule for the failed conversion of parameter `name`: a
// TypeError becomes TypeError("argument 'name': " + text) keeping the original's
// cause; any other exception stays as it is. Returns false.
bool argument_error(const char* name);

// The PanicException class, created on first use and kept for the process.
PyObject* panic_exception_type();

// Sets PanicException(text); returns nullptr.
PyObject* raise_panic(const std::string& text);

// True while the interpreter ends this thread at exit (it was taking the
// interpreter lock back): whatever catches everything must let that unwind pass.
bool thread_is_being_ended();

// Runs `body` (which returns a new reference or nullptr with an exception set),
// turning any C++ exception that escapes it into a Python exception.
template <class Body>
PyObject* fault_trap(Body&& body) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& e) {
        return raise_panic(e.what());
    } catch (...) {
        if (thread_is_being_ended()) throw;  // the interpreter ends this thread at exit
        return raise_panic(kUnknownFaultText);
    }
}

}  // namespace quillet::py
