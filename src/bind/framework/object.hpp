// Python objects that own one core value, and the borrow flag every such
// object carries.
#pragma once

#include <atomic>
#include <cstdint>
#include <new>
#include <string>
#include <utility>

#include "framework/errors.hpp"

namespace halyard::bind {

// Type object of the Python class that wraps core type T. Each binding file
// defines its specialisations (HALYARD_CLASS / HALYARD_ENUM); the type is
// created on first use and cached for the life of the process. Returns
// nullptr with a Python error pending if creation failed.
template <class T>
PyTypeObject* type_of();

struct ObjectHead {
    PyObject ob_base;
    std::atomic<int32_t> borrow;  // > 0: shared borrows, -1: exclusive, 0: free
};

template <class T>
struct Instance {
    ObjectHead head;
    T value;
};

template <class T>
T& value_of(PyObject* obj) {
    return reinterpret_cast<Instance<T>*>(obj)->value;
}

template <class T>
PyTypeObject* checked_type_of() {
    PyTypeObject* type = type_of<T>();
    if (!type) throw_error_set();
    return type;
}

template <class T>
bool is_instance(PyObject* obj) {
    return PyObject_TypeCheck(obj, checked_type_of<T>());
}

template <class T>
std::string class_name() {
    PyTypeObject* type = checked_type_of<T>();
    PyObject* name = PyType_GetName(type);
    if (!name) throw_error_set();
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name, &size);
    std::string out = text ? std::string(text, static_cast<size_t>(size)) : std::string();
    Py_DECREF(name);
    if (!text) throw_error_set();
    return out;
}

// A new Python object of `type` (T's class or a subclass) holding `value`.
template <class T>
PyObject* new_instance(PyTypeObject* type, T&& value) {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* obj = alloc(type, 0);
    if (!obj) throw_error_set();
    auto* inst = reinterpret_cast<Instance<std::decay_t<T>>*>(obj);
    new (&inst->head.borrow) std::atomic<int32_t>(0);
    try {
        new (&inst->value) std::decay_t<T>(std::forward<T>(value));
    } catch (...) {
        auto release = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
        release(obj);
        Py_DECREF(type);
        throw;
    }
    return obj;
}

template <class T>
PyObject* wrap(T&& value) {
    return new_instance(checked_type_of<std::decay_t<T>>(), std::forward<T>(value));
}

template <class T>
void dealloc_instance(PyObject* obj) {
    reinterpret_cast<Instance<T>*>(obj)->value.~T();
    PyTypeObject* type = Py_TYPE(obj);
    auto release = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    release(obj);
    Py_DECREF(type);
}

// RAII borrows. A conflicting borrow raises RuntimeError at once.
class SharedBorrow {
public:
    explicit SharedBorrow(PyObject* obj) : head_(reinterpret_cast<ObjectHead*>(obj)) {
        int32_t state = head_->borrow.load(std::memory_order_relaxed);
        do {
            if (state < 0) raise(PyExc_RuntimeError, "Already mutably borrowed");
        } while (!head_->borrow.compare_exchange_weak(state, state + 1, std::memory_order_acquire));
    }
    SharedBorrow(SharedBorrow&& o) noexcept : head_(std::exchange(o.head_, nullptr)) {}
    SharedBorrow& operator=(SharedBorrow&&) = delete;
    ~SharedBorrow() {
        if (head_) head_->borrow.fetch_sub(1, std::memory_order_release);
    }

private:
    ObjectHead* head_;
};

class ExclusiveBorrow {
public:
    explicit ExclusiveBorrow(PyObject* obj) : head_(reinterpret_cast<ObjectHead*>(obj)) {
        int32_t expected = 0;
        if (!head_->borrow.compare_exchange_strong(expected, -1, std::memory_order_acquire))
            raise(PyExc_RuntimeError, "Already borrowed");
    }
    ExclusiveBorrow(ExclusiveBorrow&& o) noexcept : head_(std::exchange(o.head_, nullptr)) {}
    ExclusiveBorrow& operator=(ExclusiveBorrow&&) = delete;
    ~ExclusiveBorrow() {
        if (head_) head_->borrow.store(0, std::memory_order_release);
    }

private:
    ObjectHead* head_;
};

// An owned reference, for values that must stay Python objects.
class Object {
public:
    Object() = default;
    static Object steal(PyObject* obj) {
        Object o;
        o.obj_ = obj;
        return o;
    }
    static Object borrow(PyObject* obj) { return steal(Py_XNewRef(obj)); }
    Object(Object&& o) noexcept : obj_(std::exchange(o.obj_, nullptr)) {}
    Object& operator=(Object&& o) noexcept {
        std::swap(obj_, o.obj_);
        return *this;
    }
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;
    ~Object() { Py_XDECREF(obj_); }
    PyObject* get() const noexcept { return obj_; }
    PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
    explicit operator bool() const noexcept { return obj_ != nullptr; }

private:
    PyObject* obj_ = nullptr;
};

}  // namespace halyard::bind
