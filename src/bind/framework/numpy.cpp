#include "framework/numpy.hpp"

#include <charconv>
#include <cstdint>
#include <cstring>
#include <string>

#include "framework/errors.hpp"

#define PY_ARRAY_UNIQUE_SYMBOL halyard_ARRAY_API
#include <numpy/arrayobject.h>

namespace halyard::bind {

namespace {

bool api_ready = false;

// Fetch NumPy's "_ARRAY_API" capsule from its multiarray module:
// numpy._core for NumPy 2 and later, numpy.core before.
bool import_numpy_api() {
    PyObject* numpy = PyImport_ImportModule("numpy");
    if (!numpy) return false;
    PyObject* version = PyObject_GetAttrString(numpy, "__version__");
    Py_DECREF(numpy);
    if (!version) return false;
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(version, &size);
    int major = 0;
    if (text) std::from_chars(text, text + size, major);  // the leading digits of "2.1.0"
    Py_DECREF(version);
    if (!text) return false;
    PyObject* multiarray = PyImport_ImportModule(major >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray");
    if (!multiarray) return false;
    PyObject* capsule = PyObject_GetAttrString(multiarray, "_ARRAY_API");
    Py_DECREF(multiarray);
    if (!capsule) return false;
    void* api = PyCapsule_GetPointer(capsule, nullptr);
    Py_DECREF(capsule);
    if (!api) return false;
    PyArray_API = static_cast<void**>(api);
    if (NPY_VERSION < PyArray_GetNDArrayCVersion()) return false;
    PyArray_RUNTIME_VERSION = static_cast<int>(PyArray_GetNDArrayCFeatureVersion());
    return NPY_FEATURE_VERSION <= PyArray_RUNTIME_VERSION;
}

void ensure_api() {
    if (api_ready) return;
    if (!import_numpy_api()) {
        PyErr_Clear();
        set_internal_failure("Failed to access NumPy array API capsule");
        throw_error_set();
    }
    api_ready = true;
}

}  // namespace

ArrayF32 ArrayF32::load(PyObject* obj) {
    ensure_api();
    if (!PyArray_Check(obj)) raise_cannot_convert(obj, "PyArray<T, D>");
    auto* array = reinterpret_cast<PyArrayObject*>(obj);
    if (PyArray_NDIM(array) != 1) raise_cannot_convert(obj, "PyArray<T, D>");
    PyArray_Descr* f32 = PyArray_DescrFromType(NPY_FLOAT32);
    const bool same = PyArray_EquivTypes(PyArray_DESCR(array), f32);
    Py_DECREF(f32);
    if (!same) raise_cannot_convert(obj, "PyArray<T, D>");

    ArrayF32 out;
    out.owner_ = Py_NewRef(obj);
    out.size_ = static_cast<size_t>(PyArray_DIM(array, 0));
    out.contiguous_ = (PyArray_FLAGS(array) & (NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_F_CONTIGUOUS)) != 0;
    out.data_ = static_cast<const float*>(PyArray_DATA(array));
    if (out.contiguous_ && out.size_ > 0 &&
        reinterpret_cast<uintptr_t>(out.data_) % alignof(float) != 0) {
        out.aligned_copy_.resize(out.size_);
        std::memcpy(out.aligned_copy_.data(), out.data_, out.size_ * sizeof(float));
        out.data_ = out.aligned_copy_.data();
    }
    return out;
}

ArrayF32::ArrayF32(ArrayF32&& o) noexcept
    : owner_(o.owner_), data_(o.data_), size_(o.size_), contiguous_(o.contiguous_),
      aligned_copy_(std::move(o.aligned_copy_)) {
    if (!aligned_copy_.empty()) data_ = aligned_copy_.data();
    o.owner_ = nullptr;
    o.data_ = nullptr;
    o.size_ = 0;
}

ArrayF32& ArrayF32::operator=(ArrayF32&& o) noexcept {
    if (this != &o) {
        Py_XDECREF(owner_);
        owner_ = o.owner_;
        size_ = o.size_;
        contiguous_ = o.contiguous_;
        aligned_copy_ = std::move(o.aligned_copy_);
        data_ = aligned_copy_.empty() ? o.data_ : aligned_copy_.data();
        o.owner_ = nullptr;
        o.data_ = nullptr;
        o.size_ = 0;
    }
    return *this;
}

ArrayF32::~ArrayF32() { Py_XDECREF(owner_); }

std::span<const float> ArrayF32::span() const {
    if (!contiguous_) raise_type_error("The given array is not contiguous");
    return {size_ ? data_ : nullptr, size_};
}

PyObject* new_f32_array(const float* data, size_t size) {
    ensure_api();
    npy_intp dims[1] = {static_cast<npy_intp>(size)};
    PyObject* array = PyArray_SimpleNew(1, dims, NPY_FLOAT32);
    if (!array) throw_error_set();
    if (size) std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)), data, size * sizeof(float));
    return array;
}

}  // namespace halyard::bind
