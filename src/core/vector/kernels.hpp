// Distance kernels of the vector indexes, vectorised for the CPU at hand.
//
// Index scoring has no fixed summation order, so these kernels split their
// sums over SIMD lanes and use fused multiply-adds where the CPU has them.
// The widest instruction set the running CPU and OS support is chosen once
// (AVX-512, then AVX2 with FMA, else a portable loop that compilers turn into
// SSE or NEON code). The library is built for the baseline target, so it
// loads and runs on every x86-64 and aarch64 CPU.
//
// Sums of no terms are negative zero, and a sum is negative zero exactly
// when all its terms are (as a left-to-right float sum starting from -0 is).
#pragma once

#include <cstddef>
#include <cstdint>

namespace halyard::kernels {

struct KernelSet {
    const char* name;
    // Dot product and squared Euclidean distance of two n-float vectors.
    float (*dot)(const float* a, const float* b, size_t n);
    float (*l2_squared)(const float* a, const float* b, size_t n);
    float (*sum_squares)(const float* a, size_t n);
    // The same against `count` rows of n floats (row i starts at rows + i*stride);
    // out[i] receives the value of row i.
    void (*dot_rows)(const float* q, const float* rows, size_t stride, size_t n, size_t count, float* out);
    void (*l2_squared_rows)(const float* q, const float* rows, size_t stride, size_t n, size_t count, float* out);
    // The same against `count` rows anywhere in memory (rows[i] starts row i).
    void (*dot_picked)(const float* q, const float* const* rows, size_t n, size_t count, float* out);
    void (*l2_squared_picked)(const float* q, const float* const* rows, size_t n, size_t count, float* out);
};

// The kernels chosen for this CPU (decided on first use).
const KernelSet& active();

enum class Isa { Portable, Avx2, Avx512 };
// A specific kernel set, or nullptr when the CPU cannot run it.
const KernelSet* for_isa(Isa isa);

}  // namespace halyard::kernels
