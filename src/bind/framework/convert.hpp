// Conversions between Python values and C++ values.
//
// Caster<T> converts one value form: `static T load(PyObject*)` raises the
// exact TypeError/OverflowError/ValueError of the form, `static PyObject*
// cast(T)` returns a new reference. The primary template handles the classes
// of this module (and their enumerations): loading copies the core value
// under a shared borrow, casting wraps a copy in a new object.
//
// Param<P> adapts a C++ parameter type P of a bound function:
//   T                    required value (Caster<T>::load)
//   const T& / T&        an object of this module, borrowed shared / exclusive
//   const T* / T*        the same, or None (nullptr); may be omitted
//   std::optional<T>     None or a value; may be omitted
//   Opt<T>               may be omitted (the caller applies the default)
#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "framework/numpy.hpp"
#include "framework/object.hpp"

namespace halyard::bind {

// Classes whose objects no operation ever borrows exclusively (immutable
// values such as coordinates) can be copied without taking a borrow: nothing
// can be changing them. Specialised next to the class declarations.
template <class T>
inline constexpr bool is_immutable_class = false;

template <class T, class = void>
struct Caster {
    static constexpr bool is_bound = true;

    static T load(PyObject* obj) {
        if (!is_instance<T>(obj)) raise_cannot_convert(obj, class_name<T>().c_str());
        if constexpr (is_immutable_class<T>) {
            return value_of<T>(obj);
        } else {
            SharedBorrow guard(obj);
            return value_of<T>(obj);
        }
    }
    template <class U>
    static PyObject* cast(U&& value) {
        return wrap<T>(std::forward<U>(value));
    }
};

template <class T>
concept BoundClass = requires { requires Caster<T>::is_bound; };

template <class T>
PyObject* to_python(T&& value) {
    return Caster<std::decay_t<T>>::cast(std::forward<T>(value));
}

// ---- scalars ---------------------------------------------------------------

template <>
struct Caster<bool> {
    static bool load(PyObject* obj);
    static PyObject* cast(bool v) { return Py_NewRef(v ? Py_True : Py_False); }
};

// Unsigned and signed 32-bit fields: any out-of-range value raises
// OverflowError "out of range integral type conversion attempted".
int64_t load_int_in_range(PyObject* obj, int64_t lo, int64_t hi);

template <>
struct Caster<uint32_t> {
    static uint32_t load(PyObject* obj) { return static_cast<uint32_t>(load_int_in_range(obj, 0, UINT32_MAX)); }
    static PyObject* cast(uint32_t v) { return PyLong_FromUnsignedLong(v); }
};
template <>
struct Caster<int32_t> {
    static int32_t load(PyObject* obj) {
        return static_cast<int32_t>(load_int_in_range(obj, INT32_MIN, INT32_MAX));
    }
    static PyObject* cast(int32_t v) { return PyLong_FromLong(v); }
};

// 64-bit fields: Python's own conversion messages.
template <>
struct Caster<uint64_t> {
    static uint64_t load(PyObject* obj);
    static PyObject* cast(uint64_t v) { return PyLong_FromUnsignedLongLong(v); }
};
template <>
struct Caster<int64_t> {
    static int64_t load(PyObject* obj);
    static PyObject* cast(int64_t v) { return PyLong_FromLongLong(v); }
};

template <>
struct Caster<double> {
    static double load(PyObject* obj) {
        const double v = PyFloat_AsDouble(obj);
        if (v == -1.0 && PyErr_Occurred()) throw_error_set();
        return v;
    }
    static PyObject* cast(double v) { return PyFloat_FromDouble(v); }
};
template <>
struct Caster<float> {
    static float load(PyObject* obj) { return static_cast<float>(Caster<double>::load(obj)); }
    static PyObject* cast(float v) { return PyFloat_FromDouble(static_cast<double>(v)); }
};

template <>
struct Caster<std::string> {
    static std::string load(PyObject* obj) {
        if (!PyUnicode_Check(obj)) raise_cannot_convert(obj, "PyString");
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(obj, &size);
        if (!text) throw_error_set();
        return std::string(text, static_cast<size_t>(size));
    }
    static PyObject* cast(const std::string& v) {
        return PyUnicode_FromStringAndSize(v.data(), static_cast<Py_ssize_t>(v.size()));
    }
};

template <>
struct Caster<Object> {
    static Object load(PyObject* obj) { return Object::borrow(obj); }
    static PyObject* cast(Object&& v) { return v ? v.release() : Py_NewRef(Py_None); }
};

// ---- NumPy -----------------------------------------------------------------

template <>
struct Caster<ArrayF32> {
    static ArrayF32 load(PyObject* obj) { return ArrayF32::load(obj); }
};
template <>
struct Caster<NdArray> {
    static PyObject* cast(const NdArray& v) { return new_f32_array(v.data.data(), v.data.size()); }
};

// ---- containers --------------------------------------------------------------

// Calls `each(item)` for every item of a Python sequence (not a str).
template <class Each>
void for_each_item(PyObject* obj, Each&& each) {
    if (PyUnicode_Check(obj)) raise_type_error("Can't extract `str` to `Vec`");
    if (!PySequence_Check(obj)) raise_cannot_convert(obj, "Sequence");
    if (PySequence_Size(obj) < 0) throw_error_set();
    Object iter = Object::steal(PyObject_GetIter(obj));
    if (!iter) throw_error_set();
    while (Object item = Object::steal(PyIter_Next(iter.get()))) each(item.get());
    if (PyErr_Occurred()) throw_error_set();
}

template <class T>
struct Caster<std::vector<T>> {
    static std::vector<T> load(PyObject* obj) {
        std::vector<T> out;
        if (PyList_Check(obj)) out.reserve(static_cast<size_t>(PyList_Size(obj)));
        else if (PyTuple_Check(obj)) out.reserve(static_cast<size_t>(PyTuple_Size(obj)));
        for_each_item(obj, [&](PyObject* item) { out.push_back(Caster<T>::load(item)); });
        return out;
    }
    template <class V>
    static PyObject* cast(V&& values) {
        Object list = Object::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
        if (!list) throw_error_set();
        Py_ssize_t i = 0;
        for (auto&& v : values) {
            PyObject* item = [&] {
                if constexpr (std::is_lvalue_reference_v<V>) return to_python(v);
                else return to_python(std::move(v));
            }();
            if (!item) throw_error_set();
            PyList_SetItem(list.get(), i++, item);
        }
        return list.release();
    }
};

void check_tuple(PyObject* obj, size_t expected);

template <class... Ts>
struct Caster<std::tuple<Ts...>> {
    static std::tuple<Ts...> load(PyObject* obj) {
        check_tuple(obj, sizeof...(Ts));
        return load_items(obj, std::index_sequence_for<Ts...>{});
    }
    template <class V>
    static PyObject* cast(V&& value) {
        return std::apply(
            [](auto&&... items) {
                // Owned as they are made: if converting a later item throws,
                // the earlier ones are released.
                Object parts[] = {Object::steal(to_python(std::forward<decltype(items)>(items)))...};
                return build(parts, sizeof...(Ts));
            },
            std::forward<V>(value));
    }
    static PyObject* build(Object* parts, size_t count) {
        for (size_t i = 0; i < count; ++i)
            if (!parts[i]) throw_error_set();
        PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(count));
        if (!tuple) throw_error_set();
        for (size_t i = 0; i < count; ++i) PyTuple_SetItem(tuple, static_cast<Py_ssize_t>(i), parts[i].release());
        return tuple;
    }

private:
    template <size_t... I>
    static std::tuple<Ts...> load_items(PyObject* obj, std::index_sequence<I...>) {
        return std::tuple<Ts...>{Caster<Ts>::load(PyTuple_GetItem(obj, I))...};
    }
};

template <class A, class B>
struct Caster<std::pair<A, B>> {
    static std::pair<A, B> load(PyObject* obj) {
        auto [a, b] = Caster<std::tuple<A, B>>::load(obj);
        return {std::move(a), std::move(b)};
    }
    template <class V>
    static PyObject* cast(V&& v) {
        Object parts[] = {Object::steal(to_python(std::forward<V>(v).first)),
                          Object::steal(to_python(std::forward<V>(v).second))};
        return Caster<std::tuple<A, B>>::build(parts, 2);
    }
};

template <class T, size_t N>
struct Caster<std::array<T, N>> {
    static std::array<T, N> load(PyObject* obj) {
        check_tuple(obj, N);
        std::array<T, N> out;
        for (size_t i = 0; i < N; ++i) out[i] = Caster<T>::load(PyTuple_GetItem(obj, static_cast<Py_ssize_t>(i)));
        return out;
    }
};

template <class T>
struct Caster<std::optional<T>> {
    static std::optional<T> load(PyObject* obj) {
        if (obj == Py_None) return std::nullopt;
        return Caster<T>::load(obj);
    }
    template <class V>
    static PyObject* cast(V&& v) {
        if (!v) return Py_NewRef(Py_None);
        return to_python(*std::forward<V>(v));
    }
};

// A Python dict with str keys, built from (key, value) pairs.
template <class V>
struct Dict {
    std::vector<std::pair<std::string, V>> items;
};

template <class V>
struct Caster<Dict<V>> {
    template <class D>
    static PyObject* cast(D&& dict) {
        Object out = Object::steal(PyDict_New());
        if (!out) throw_error_set();
        for (auto&& [key, value] : dict.items) {
            Object k = Object::steal(to_python(key));
            Object v = Object::steal(to_python(std::move(value)));
            if (!k || !v || PyDict_SetItem(out.get(), k.get(), v.get()) < 0) throw_error_set();
        }
        return out.release();
    }
};

// ---- parameters ---------------------------------------------------------------

// A parameter that may be omitted; the bound function supplies the default.
template <class T>
struct Opt {
    std::optional<T> value;
    template <class D>
    T value_or(D&& fallback) && {
        return value ? std::move(*value) : T(std::forward<D>(fallback));
    }
    explicit operator bool() const { return value.has_value(); }
};

template <class P>
struct Param {  // by value
    using V = std::decay_t<P>;
    V value;
    static Param load(PyObject* obj) { return Param{Caster<V>::load(obj)}; }
    V&& get() { return std::move(value); }
};

template <class T>
    requires BoundClass<T>
struct Param<const T&> {
    SharedBorrow guard;
    const T* ptr;
    static Param load(PyObject* obj) {
        if (!is_instance<T>(obj)) raise_cannot_convert(obj, class_name<T>().c_str());
        return from_self(obj);
    }
    static Param from_self(PyObject* obj) { return Param{SharedBorrow(obj), &value_of<T>(obj)}; }
    const T& get() { return *ptr; }
};

template <class T>
    requires(!BoundClass<T>)
struct Param<const T&> : Param<T> {
    static Param load(PyObject* obj) { return Param{Param<T>::load(obj)}; }
    const T& get() { return this->value; }
};

template <class T>
    requires BoundClass<T>
struct Param<T&> {
    ExclusiveBorrow guard;
    T* ptr;
    static Param load(PyObject* obj) {
        if (!is_instance<T>(obj)) raise_cannot_convert(obj, class_name<T>().c_str());
        return from_self(obj);
    }
    static Param from_self(PyObject* obj) { return Param{ExclusiveBorrow(obj), &value_of<T>(obj)}; }
    T& get() { return *ptr; }
};

template <class T>
    requires BoundClass<T>
struct Param<const T*> {
    std::optional<Param<const T&>> inner;
    static Param load(PyObject* obj) {
        if (!obj || obj == Py_None) return Param{};
        return Param{Param<const T&>::load(obj)};
    }
    const T* get() { return inner ? inner->ptr : nullptr; }
};

template <class T>
    requires BoundClass<T>
struct Param<T*> {
    std::optional<Param<T&>> inner;
    static Param load(PyObject* obj) {
        if (!obj || obj == Py_None) return Param{};
        return Param{Param<T&>::load(obj)};
    }
    T* get() { return inner ? inner->ptr : nullptr; }
};

template <class T>
struct Param<std::optional<T>> {
    std::optional<T> value;
    static Param load(PyObject* obj) {
        if (!obj) return Param{};
        return Param{Caster<std::optional<T>>::load(obj)};
    }
    std::optional<T>&& get() { return std::move(value); }
};

template <class T>
struct Param<Opt<T>> {
    Opt<T> value;
    static Param load(PyObject* obj) {
        if (!obj) return Param{};
        return Param{Opt<T>{Caster<T>::load(obj)}};
    }
    Opt<T>&& get() { return std::move(value); }
};

}  // namespace halyard::bind
