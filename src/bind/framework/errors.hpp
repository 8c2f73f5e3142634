// Python exceptions raised by the binding layer, and the one boundary that
// turns every C++ exception into a Python exception.
#pragma once

#include <new>
#include <string>

#include "common/errors.hpp"
#include "framework/python.hpp"

namespace halyard::bind {

// Thrown when a Python exception is already pending.
struct PyErrorSet {};

[[noreturn]] void throw_error_set();
[[noreturn]] void raise(PyObject* type, const std::string& message);
[[noreturn]] inline void raise_type_error(const std::string& message) { raise(PyExc_TypeError, message); }
[[noreturn]] inline void raise_value_error(const std::string& message) { raise(PyExc_ValueError, message); }
[[noreturn]] inline void raise_overflow_error(const std::string& message) { raise(PyExc_OverflowError, message); }
// "'<type>' object cannot be converted to '<target>'"
[[noreturn]] void raise_cannot_convert(PyObject* obj, const char* target);

// __name__ of the object's type.
std::string type_name(PyObject* obj);

// The module's internal-failure exception class (derives from BaseException;
// created once per process, not exported).
PyObject* internal_failure_type();
void set_internal_failure(const char* message);

// A pending TypeError raised while converting argument `name` becomes
// TypeError("argument 'name': ...") with the original as its cause; any
// other pending exception is left as it is.
void prefix_argument_error(const char* name);

// Translate the exception being handled into a pending Python exception.
void translate_current_exception() noexcept;

// Run `body`; any C++ exception becomes a Python exception and `fail` is returned.
template <class R, class F>
R boundary(R fail, F&& body) noexcept {
    try {
        return body();
    } catch (...) {
        translate_current_exception();
        return fail;
    }
}

}  // namespace halyard::bind
