#include "framework/errors.hpp"

#include <exception>
#include <stdexcept>

namespace halyard::bind {

void throw_error_set() { throw PyErrorSet{}; }

void set_error(PyObject* type, std::string_view message) {
    PyObject* text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
    if (!text) return;  // out of memory: that error is pending instead
    PyErr_SetObject(type, text);
    Py_DECREF(text);
}

void raise(PyObject* type, std::string_view message) {
    set_error(type, message);
    throw PyErrorSet{};
}

void raise_object(PyObject* type, PyObject* message) {
    if (message) {
        PyErr_SetObject(type, message);
        Py_DECREF(message);
    }
    throw PyErrorSet{};
}

std::string type_name(PyObject* obj) {
    PyObject* name = PyType_GetName(Py_TYPE(obj));
    if (!name) {
        PyErr_Clear();
        return "object";
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name, &size);
    std::string out = text ? std::string(text, static_cast<size_t>(size)) : std::string("object");
    if (!text) PyErr_Clear();
    Py_DECREF(name);
    return out;
}

void raise_cannot_convert(PyObject* obj, const char* target) {
    raise_type_error("'" + type_name(obj) + "' object cannot be converted to '" + target + "'");
}

PyObject* internal_failure_type() {
    static PyObject* type = nullptr;
    if (!type) {
        type = PyErr_NewExceptionWithDoc(
            "halyard.InternalFailure",
            "A broken internal invariant of Halyard. Derives from BaseException, so that "
            "`except Exception` does not swallow it.",
            PyExc_BaseException, nullptr);
    }
    return type;
}

void set_internal_failure(std::string_view message) {
    PyObject* type = internal_failure_type();
    if (!type) return;  // creating the class failed: its error is pending
    set_error(type, message);
}

void prefix_argument_error(const char* name) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback && value) PyException_SetTraceback(value, traceback);
    PyObject* text = value ? PyObject_Str(value) : nullptr;
    PyObject* message = text ? PyUnicode_FromFormat("argument '%s': %U", name, text) : nullptr;
    Py_XDECREF(text);
    PyObject* wrapped = message ? PyObject_CallFunctionObjArgs(PyExc_TypeError, message, nullptr) : nullptr;
    Py_XDECREF(message);
    if (!wrapped) {
        PyErr_Restore(type, value, traceback);
        return;
    }
    PyException_SetCause(wrapped, value);  // steals `value`
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    PyErr_SetObject(PyExc_TypeError, wrapped);
    Py_DECREF(wrapped);
}

void translate_current_exception() noexcept {
    try {
        throw;
    } catch (const PyErrorSet&) {
        if (!PyErr_Occurred()) set_internal_failure("error indicator lost at the binding boundary");
    } catch (const halyard::ValueError& e) {
        set_error(PyExc_ValueError, e.message());
    } catch (const halyard::Error& e) {
        set_error(PyExc_RuntimeError, e.message());
    } catch (const halyard::InternalFailure& e) {
        set_internal_failure(e.message());
    } catch (const std::bad_alloc&) {
        set_internal_failure("memory allocation failed");
    } catch (const std::length_error& e) {
        set_internal_failure(std::string("memory allocation failed: ") + e.what());
    } catch (const std::exception& e) {
        set_internal_failure(e.what());
    } catch (...) {
        set_internal_failure("unknown internal failure");
    }
}

}  // namespace halyard::bind
