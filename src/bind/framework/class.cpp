#include "framework/class.hpp"

#include <deque>

namespace halyard::bind {

const char* keep(std::string text) {
    static std::deque<std::string> store;  // deque: stable addresses
    return store.emplace_back(std::move(text)).c_str();
}

PyTypeObject* ClassBuilder::build(int basicsize) {
    methods.push_back({nullptr, nullptr, 0, nullptr});
    getsets.push_back({nullptr, nullptr, nullptr, nullptr, nullptr});
    // The arrays must live as long as the type: move them to the heap for good.
    auto* method_table = new std::vector<PyMethodDef>(std::move(methods));
    auto* getset_table = new std::vector<PyGetSetDef>(std::move(getsets));
    slots.push_back({Py_tp_doc, const_cast<char*>(keep(doc))});
    slots.push_back({Py_tp_methods, method_table->data()});
    slots.push_back({Py_tp_getset, getset_table->data()});
    slots.push_back({0, nullptr});
    auto* spec = new PyType_Spec{keep("builtins." + name), basicsize, 0, Py_TPFLAGS_DEFAULT, nullptr};
    auto* slot_table = new std::vector<PyType_Slot>(std::move(slots));
    spec->slots = slot_table->data();
    PyObject* type = PyType_FromSpec(spec);
    if (!type) throw_error_set();
    return reinterpret_cast<PyTypeObject*>(type);
}

PyObject* enum_richcompare(PyObject* self, PyObject* other, int op, int (*value_of_self)(PyObject*)) {
    if (op != Py_EQ && op != Py_NE) Py_RETURN_NOTIMPLEMENTED;
    long long left = value_of_self(self);
    long long right = 0;
    if (Py_TYPE(other) == Py_TYPE(self)) {
        right = value_of_self(other);
    } else {
        PyObject* index = PyNumber_Index(other);
        if (!index) {
            PyErr_Clear();
            Py_RETURN_NOTIMPLEMENTED;
        }
        int overflow = 0;
        right = PyLong_AsLongLongAndOverflow(index, &overflow);
        Py_DECREF(index);
        if (right == -1 && PyErr_Occurred()) {
            PyErr_Clear();
            Py_RETURN_NOTIMPLEMENTED;
        }
        if (overflow) return Py_NewRef(op == Py_EQ ? Py_False : Py_True);
    }
    const bool equal = left == right;
    return Py_NewRef((op == Py_EQ) == equal ? Py_True : Py_False);
}

PyObject* enum_repr_text(PyObject* self, const std::vector<std::string>& names, int value) {
    PyObject* type_name = PyType_GetName(Py_TYPE(self));
    if (!type_name) return nullptr;
    const char* variant = (value >= 0 && static_cast<size_t>(value) < names.size()) ? names[value].c_str() : "?";
    PyObject* out = PyUnicode_FromFormat("%U.%s", type_name, variant);
    Py_DECREF(type_name);
    return out;
}

}  // namespace halyard::bind
