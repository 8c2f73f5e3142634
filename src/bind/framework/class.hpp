// Declarative bindings: classes, enumerations and module functions.
//
//   HALYARD_CLASS(core::Thing, "Thing", "Class docstring.",
//       init<[](uint32_t size) { return core::Thing(size); }>("(size)"),
//       static_method<[]() { return core::Thing::empty(); }>("empty()", "Create an empty thing."),
//       method<[](const core::Thing& self, float x) { return self.score(x); }>("score($self, x)", "Score x."),
//       getter<[](const core::Thing& self) { return self.size; }>("size", "Number of items."),
//       repr<[](const core::Thing& self) { return std::string("Thing()"); }>())
//
//   HALYARD_ENUM(core::Colour, "Colour", "Docstring.", "Red", "Green")
//   HALYARD_FUNCTION(normalize, "normalize(v)", "Normalize a vector.", [](ArrayF32 v) { ... })
//
// The first parameter of a method is the receiver: `const T&` borrows it
// shared, `T&` exclusively, before any argument is converted. Arguments are
// converted in parameter order (see convert.hpp); parameter names and
// defaults come from the text signature, which also heads the docstring.
#pragma once

#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "framework/convert.hpp"
#include "framework/signature.hpp"

namespace halyard::bind {

// ---- calling a bound C++ function ---------------------------------------------

template <class>
struct FnTraits;
template <class C, class R, class... A>
struct FnTraits<R (C::*)(A...) const> {
    using Ret = R;
    using Args = std::tuple<A...>;
};
template <class R, class... A>
struct FnTraits<R (*)(A...)> {
    using Ret = R;
    using Args = std::tuple<A...>;
};

template <auto F>
struct Fn {
    using Type = decltype(F);
    using Traits = std::conditional_t<std::is_pointer_v<Type>, FnTraits<Type>, FnTraits<decltype(&Type::operator())>>;
    using Ret = typename Traits::Ret;
    using Args = typename Traits::Args;
    static constexpr size_t arity = std::tuple_size_v<Args>;
    static inline Signature* sig = nullptr;  // set when the class or function is built
};

template <class P>
Param<P> load_argument(PyObject* obj, const std::string& name) {
    try {
        return Param<P>::load(obj);
    } catch (const PyErrorSet&) {
        prefix_argument_error(name.c_str());
        throw;
    }
}

// Convert slots[0..n) to the parameters after the first `skip` ones, then call.
template <auto F, size_t Skip, class... Head, size_t... I>
decltype(auto) call_converted(PyObject** slots, std::index_sequence<I...>, Head&&... head) {
    using Args = typename Fn<F>::Args;
    const Signature& sig = *Fn<F>::sig;
    std::tuple<Param<std::tuple_element_t<I + Skip, Args>>...> params{
        load_argument<std::tuple_element_t<I + Skip, Args>>(slots[I], sig.names[I])...};
    return F(std::forward<Head>(head)..., std::get<I>(params).get()...);
}

template <auto F>
PyObject* call_result(auto&& invoke) {
    if constexpr (std::is_void_v<typename Fn<F>::Ret>) {
        invoke();
        return Py_NewRef(Py_None);
    } else {
        PyObject* out = to_python(invoke());
        if (!out) throw_error_set();
        return out;
    }
}

template <auto F>
PyObject* call_method(PyObject* self, PyObject** slots) {
    using SelfP = std::tuple_element_t<0, typename Fn<F>::Args>;
    return call_result<F>([&]() -> decltype(auto) {
        auto receiver = Param<SelfP>::from_self(self);
        return call_converted<F, 1>(slots, std::make_index_sequence<Fn<F>::arity - 1>{}, receiver.get());
    });
}

template <auto F>
PyObject* call_static(PyObject** slots) {
    return call_result<F>([&]() -> decltype(auto) {
        return call_converted<F, 0>(slots, std::make_index_sequence<Fn<F>::arity>{});
    });
}

template <auto F>
PyObject* method_trampoline(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return boundary<PyObject*>(nullptr, [&] {
        PyObject* slots[kMaxParams] = {};
        match_fastcall(*Fn<F>::sig, args, static_cast<size_t>(nargs), kwnames, slots);
        return call_method<F>(self, slots);
    });
}

template <auto F>
PyObject* static_trampoline(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return boundary<PyObject*>(nullptr, [&] {
        PyObject* slots[kMaxParams] = {};
        match_fastcall(*Fn<F>::sig, args, static_cast<size_t>(nargs), kwnames, slots);
        return call_static<F>(slots);
    });
}

template <class T, auto F>
PyObject* new_trampoline(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return boundary<PyObject*>(nullptr, [&] {
        PyObject* slots[kMaxParams] = {};
        match_tuple(*Fn<F>::sig, args, kwargs, slots);
        T value = call_converted<F, 0>(slots, std::make_index_sequence<Fn<F>::arity>{});
        return new_instance(type, std::move(value));
    });
}

template <class T>
PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* name = PyType_GetName(type);
    if (!name) return nullptr;
    PyErr_Format(PyExc_TypeError, "No constructor defined for %U", name);
    Py_DECREF(name);
    return nullptr;
}

template <auto F>
PyObject* getter_trampoline(PyObject* self, void*) {
    return boundary<PyObject*>(nullptr, [&] {
        using SelfP = std::tuple_element_t<0, typename Fn<F>::Args>;
        return call_result<F>([&]() -> decltype(auto) {
            auto receiver = Param<SelfP>::from_self(self);
            return F(receiver.get());
        });
    });
}

template <auto F>
PyObject* repr_trampoline(PyObject* self) {
    return getter_trampoline<F>(self, nullptr);
}

template <auto F>
Py_ssize_t len_trampoline(PyObject* self) {
    return boundary<Py_ssize_t>(-1, [&] {
        using SelfP = std::tuple_element_t<0, typename Fn<F>::Args>;
        auto receiver = Param<SelfP>::from_self(self);
        return static_cast<Py_ssize_t>(F(receiver.get()));
    });
}

// ---- building a class ---------------------------------------------------------

// Strings handed to CPython must outlive the type: keep them for the process.
const char* keep(std::string text);

struct ClassBuilder {
    std::string name;
    std::string doc;
    std::string init_signature;  // "(a, b=1)" when the class has a constructor
    std::vector<PyMethodDef> methods;
    std::vector<PyGetSetDef> getsets;
    std::vector<PyType_Slot> slots;
    std::vector<std::pair<std::string, PyObject*>> class_attributes;  // enum variants

    PyTypeObject* build(int basicsize);
};

inline std::string method_name(std::string_view signature) {
    return std::string(signature.substr(0, signature.find('(')));
}
inline const char* doc_with_signature(std::string_view signature, std::string_view doc) {
    return keep(std::string(signature) + "\n--\n\n" + std::string(doc));
}

template <auto F>
struct InitItem {
    const char* signature;
    template <class T>
    void apply(ClassBuilder& b) const {
        b.init_signature = signature;
        Fn<F>::sig = parse_signature(signature, b.name + ".__new__()");
        b.slots.push_back({Py_tp_new, reinterpret_cast<void*>(&new_trampoline<T, F>)});
    }
};
template <auto F>
InitItem<F> init(const char* signature) {
    return {signature};
}

template <auto F, bool Static>
struct MethodItem {
    const char* signature;
    const char* doc;
    template <class T>
    void apply(ClassBuilder& b) const {
        const std::string name = method_name(signature);
        Fn<F>::sig = parse_signature(signature, b.name + "." + name + "()");
        PyMethodDef def{};
        def.ml_name = keep(name);
        def.ml_doc = doc_with_signature(signature, doc);
        if constexpr (Static) {
            def.ml_meth = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&static_trampoline<F>));
            def.ml_flags = METH_FASTCALL | METH_KEYWORDS | METH_STATIC;
        } else {
            def.ml_meth = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&method_trampoline<F>));
            def.ml_flags = METH_FASTCALL | METH_KEYWORDS;
        }
        b.methods.push_back(def);
    }
};
template <auto F>
MethodItem<F, false> method(const char* signature, const char* doc) {
    return {signature, doc};
}
template <auto F>
MethodItem<F, true> static_method(const char* signature, const char* doc) {
    return {signature, doc};
}

template <auto F>
struct GetterItem {
    const char* name;
    const char* doc;
    template <class T>
    void apply(ClassBuilder& b) const {
        b.getsets.push_back({keep(name), &getter_trampoline<F>, nullptr, doc ? keep(doc) : nullptr, nullptr});
    }
};
template <auto F>
GetterItem<F> getter(const char* name, const char* doc = nullptr) {
    return {name, doc};
}

template <auto F>
struct ReprItem {
    template <class T>
    void apply(ClassBuilder& b) const {
        b.slots.push_back({Py_tp_repr, reinterpret_cast<void*>(&repr_trampoline<F>)});
    }
};
template <auto F>
ReprItem<F> repr() {
    return {};
}

template <auto F>
struct LenItem {
    template <class T>
    void apply(ClassBuilder& b) const {
        b.slots.push_back({Py_mp_length, reinterpret_cast<void*>(&len_trampoline<F>)});
    }
};
template <auto F>
LenItem<F> len() {
    return {};
}

template <class T, class... Items>
PyTypeObject* build_class(const char* name, const char* doc, const Items&... items) {
    return boundary<PyTypeObject*>(nullptr, [&] {
        ClassBuilder b;
        b.name = name;
        (items.template apply<T>(b), ...);
        b.doc = b.init_signature.empty() ? std::string(doc) : b.name + b.init_signature + "\n--\n\n" + doc;
        b.slots.push_back({Py_tp_dealloc, reinterpret_cast<void*>(&dealloc_instance<T>)});
        if (b.init_signature.empty()) b.slots.push_back({Py_tp_new, reinterpret_cast<void*>(&no_constructor<T>)});
        return b.build(static_cast<int>(sizeof(Instance<T>)));
    });
}

// ---- enumerations ---------------------------------------------------------------

PyObject* enum_richcompare(PyObject* self, PyObject* other, int op, int (*value_of_self)(PyObject*));

template <class E>
int enum_value(PyObject* obj) {
    return static_cast<int>(value_of<E>(obj));
}

template <class E>
PyObject* enum_richcompare_of(PyObject* self, PyObject* other, int op) {
    return enum_richcompare(self, other, op, &enum_value<E>);
}

template <class E>
PyObject* enum_int(PyObject* self) {
    return PyLong_FromLong(enum_value<E>(self));
}

PyObject* enum_repr_text(PyObject* self, const std::vector<std::string>& names, int value);

template <class E>
struct EnumNames {
    static inline std::vector<std::string> names;
};

template <class E>
PyObject* enum_repr(PyObject* self) {
    return enum_repr_text(self, EnumNames<E>::names, enum_value<E>(self));
}

template <class E, class... Names>
PyTypeObject* build_enum(const char* name, const char* doc, Names... names) {
    return boundary<PyTypeObject*>(nullptr, [&] {
        ClassBuilder b;
        b.name = name;
        b.doc = doc;
        EnumNames<E>::names = {names...};
        b.slots.push_back({Py_tp_dealloc, reinterpret_cast<void*>(&dealloc_instance<E>)});
        b.slots.push_back({Py_tp_new, reinterpret_cast<void*>(&no_constructor<E>)});
        b.slots.push_back({Py_tp_repr, reinterpret_cast<void*>(&enum_repr<E>)});
        b.slots.push_back({Py_tp_richcompare, reinterpret_cast<void*>(&enum_richcompare_of<E>)});
        b.slots.push_back({Py_tp_hash, reinterpret_cast<void*>(&PyObject_HashNotImplemented)});
        b.slots.push_back({Py_nb_int, reinterpret_cast<void*>(&enum_int<E>)});
        PyTypeObject* type = b.build(static_cast<int>(sizeof(Instance<E>)));
        if (!type) throw_error_set();
        int value = 0;
        for (const std::string& variant : EnumNames<E>::names) {
            Object instance = Object::steal(new_instance(type, static_cast<E>(value++)));
            if (PyObject_SetAttrString(reinterpret_cast<PyObject*>(type), variant.c_str(), instance.get()) < 0)
                throw_error_set();
        }
        return type;
    });
}

// ---- module functions -------------------------------------------------------------

template <auto F>
PyObject* function_trampoline(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return static_trampoline<F>(nullptr, args, nargs, kwnames);
}

template <auto F>
PyMethodDef* function_def(const char* signature, const char* doc) {
    const std::string name = method_name(signature);
    Fn<F>::sig = parse_signature(signature, name + "()");
    auto* def = new PyMethodDef{};
    def->ml_name = keep(name);
    def->ml_doc = doc_with_signature(signature, doc);
    def->ml_meth = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&function_trampoline<F>));
    def->ml_flags = METH_FASTCALL | METH_KEYWORDS;
    return def;
}

}  // namespace halyard::bind

// Defines the Python class of core type CORE; it is created on first use.
#define HALYARD_CLASS(CORE, NAME, DOC, ...)                                                      \
    template <>                                                                                  \
    PyTypeObject* halyard::bind::type_of<CORE>() {                                               \
        using namespace halyard::bind;                                                           \
        static PyTypeObject* type = nullptr;                                                     \
        if (!type) type = build_class<CORE>(NAME, DOC __VA_OPT__(, ) __VA_ARGS__);               \
        return type;                                                                             \
    }

#define HALYARD_ENUM(CORE, NAME, DOC, ...)                                                       \
    template <>                                                                                  \
    PyTypeObject* halyard::bind::type_of<CORE>() {                                               \
        using namespace halyard::bind;                                                           \
        static PyTypeObject* type = nullptr;                                                     \
        if (!type) type = build_enum<CORE>(NAME, DOC, __VA_ARGS__);                              \
        return type;                                                                             \
    }

// Defines halyard::bind::functions::NAME(), the method definition of a module function.
#define HALYARD_FUNCTION(NAME, SIGNATURE, DOC, ...)                                              \
    PyMethodDef* halyard::bind::functions::NAME() {                                              \
        using namespace halyard::bind;                                                           \
        static PyMethodDef* def = function_def<__VA_ARGS__>(SIGNATURE, DOC);                     \
        return def;                                                                              \
    }
