// NumPy float32 vectors: read in place, returned as fresh arrays.
// Only numpy.cpp includes NumPy's headers; the array API is fetched the
// first time an operation needs it, never at import.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "framework/python.hpp"

namespace halyard::bind {

// The "array" argument form: a one-dimensional NumPy array whose dtype is
// equivalent to float32. Contiguity is checked only when the elements are
// read (span()), so shape and dtype failures come first, in argument order.
class ArrayF32 {
public:
    ArrayF32() = default;
    static ArrayF32 load(PyObject* obj);  // raises the argument TypeError
    ArrayF32(ArrayF32&& other) noexcept;
    ArrayF32& operator=(ArrayF32&& other) noexcept;
    ArrayF32(const ArrayF32&) = delete;
    ArrayF32& operator=(const ArrayF32&) = delete;
    ~ArrayF32();

    size_t size() const noexcept { return size_; }
    bool contiguous() const noexcept { return contiguous_; }
    // The elements; TypeError "The given array is not contiguous" for a strided view.
    std::span<const float> span() const;
    std::vector<float> to_vector() const {
        auto s = span();
        return {s.begin(), s.end()};
    }

private:
    PyObject* owner_ = nullptr;
    const float* data_ = nullptr;
    size_t size_ = 0;
    bool contiguous_ = true;
    std::vector<float> aligned_copy_;  // only for misaligned buffers
};

// The elements of several arrays, each checked for contiguity, in order.
inline std::vector<std::span<const float>> spans(const std::vector<ArrayF32>& arrays) {
    std::vector<std::span<const float>> out;
    out.reserve(arrays.size());
    for (const ArrayF32& a : arrays) out.push_back(a.span());
    return out;
}

// A float32 vector handed back to Python as a new NumPy array (a copy).
struct NdArray {
    std::vector<float> data;
};

PyObject* new_f32_array(const float* data, size_t size);

}  // namespace halyard::bind
