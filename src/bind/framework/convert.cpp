#include "framework/convert.hpp"

namespace halyard::bind {

namespace {
bool is_numpy_bool(PyObject* obj) {
    PyTypeObject* type = Py_TYPE(obj);
    Object module = Object::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
    if (!module) {
        PyErr_Clear();
        return false;
    }
    Object name = Object::steal(PyType_GetName(type));
    if (!name) {
        PyErr_Clear();
        return false;
    }
    return PyUnicode_Check(module.get()) && PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0 &&
           (PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0 ||
            PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0);
}
}  // namespace

bool Caster<bool>::load(PyObject* obj) {
    if (obj == Py_True) return true;
    if (obj == Py_False) return false;
    if (is_numpy_bool(obj)) {
        const int truth = PyObject_IsTrue(obj);
        if (truth < 0) throw_error_set();
        return truth != 0;
    }
    raise_cannot_convert(obj, "PyBool");
}

int64_t load_int_in_range(PyObject* obj, int64_t lo, int64_t hi) {
    Object index = Object::steal(PyNumber_Index(obj));
    if (!index) throw_error_set();
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (v == -1 && !overflow && PyErr_Occurred()) throw_error_set();
    if (overflow || v < lo || v > hi) raise_overflow_error("out of range integral type conversion attempted");
    return v;
}

uint64_t Caster<uint64_t>::load(PyObject* obj) {
    Object index = Object::steal(PyNumber_Index(obj));
    if (!index) throw_error_set();
    const unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw_error_set();
    return v;
}

int64_t Caster<int64_t>::load(PyObject* obj) {
    Object index = Object::steal(PyNumber_Index(obj));
    if (!index) throw_error_set();
    const long long v = PyLong_AsLongLong(index.get());
    if (v == -1 && PyErr_Occurred()) throw_error_set();
    return v;
}

void check_tuple(PyObject* obj, size_t expected) {
    if (!PyTuple_Check(obj)) raise_cannot_convert(obj, "PyTuple");
    const Py_ssize_t size = PyTuple_Size(obj);
    if (size != static_cast<Py_ssize_t>(expected))
        raise_value_error("expected tuple of length " + std::to_string(expected) + ", but got tuple of length " +
                          std::to_string(size));
}

}  // namespace halyard::bind
