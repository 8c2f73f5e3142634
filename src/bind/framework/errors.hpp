// Python exceptions raised by the binding layer, and the one boundary that
// turns every C++ exception into a Python exception.
#pragma once

#include <new>
#include <string>
#include <string_view>

#include "common/errors.hpp"
#include "framework/python.hpp"

namespace halyard::bind {

// Thrown when a Python exception is already pending.
struct PyErrorSet {};

[[noreturn]] void throw_error_set();

// Set a pending exception of `type` whose message is all of `message`
// (embedded NULs included). The text is UTF-8; a byte sequence that is not
// becomes U+FFFD, so the exception is raised whatever the bytes are.
void set_error(PyObject* type, std::string_view message);
[[noreturn]] void raise(PyObject* type, std::string_view message);
[[noreturn]] inline void raise_type_error(std::string_view message) { raise(PyExc_TypeError, message); }
[[noreturn]] inline void raise_value_error(std::string_view message) { raise(PyExc_ValueError, message); }
[[noreturn]] inline void raise_overflow_error(std::string_view message) { raise(PyExc_OverflowError, message); }
// Raise `type` with the str `message` (a new reference, consumed; nullptr
// when making it failed, whose error is then raised instead).
[[noreturn]] void raise_object(PyObject* type, PyObject* message);
// "'<type>' object cannot be converted to '<target>'"
[[noreturn]] void raise_cannot_convert(PyObject* obj, const char* target);

// __name__ of the object's type.
std::string type_name(PyObject* obj);

// The module's internal-failure exception class (derives from BaseException;
// created once per process, not exported).
PyObject* internal_failure_type();
void set_internal_failure(std::string_view message);

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
