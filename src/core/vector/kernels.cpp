#include "vector/kernels.hpp"

#include <cmath>

#if defined(__x86_64__) || defined(__i386__)
#define HALYARD_X86 1
#include <immintrin.h>
// GCC 12's masked-load intrinsics trip a false uninitialised-value warning.
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

namespace halyard::kernels {

namespace {

// ---- portable ------------------------------------------------------------------
// Sixteen independent lane sums: compilers vectorise the inner loops without
// reassociating anything, so this stays valid under -ffp-contract=off.

constexpr size_t kLanes = 16;

inline float reduce_lanes(float* acc) {
    for (size_t width = kLanes / 2; width > 0; width /= 2)
        for (size_t j = 0; j < width; ++j) acc[j] += acc[j + width];
    return acc[0];
}

float dot_portable(const float* a, const float* b, size_t n) {
    float acc[kLanes];
    for (float& x : acc) x = -0.0f;
    size_t i = 0;
    for (; i + kLanes <= n; i += kLanes)
        for (size_t j = 0; j < kLanes; ++j) acc[j] += a[i + j] * b[i + j];
    for (size_t j = 0; i < n; ++i, ++j) acc[j] += a[i] * b[i];
    return reduce_lanes(acc);
}

float l2_squared_portable(const float* a, const float* b, size_t n) {
    float acc[kLanes];
    for (float& x : acc) x = -0.0f;
    size_t i = 0;
    for (; i + kLanes <= n; i += kLanes)
        for (size_t j = 0; j < kLanes; ++j) {
            const float d = a[i + j] - b[i + j];
            acc[j] += d * d;
        }
    for (size_t j = 0; i < n; ++i, ++j) {
        const float d = a[i] - b[i];
        acc[j] += d * d;
    }
    return reduce_lanes(acc);
}

float sum_squares_portable(const float* a, size_t n) { return dot_portable(a, a, n); }

void dot_rows_portable(const float* q, const float* rows, size_t stride, size_t n, size_t count, float* out) {
    for (size_t r = 0; r < count; ++r) out[r] = dot_portable(q, rows + r * stride, n);
}

void l2_squared_rows_portable(const float* q, const float* rows, size_t stride, size_t n, size_t count, float* out) {
    for (size_t r = 0; r < count; ++r) out[r] = l2_squared_portable(q, rows + r * stride, n);
}

// Picked rows: rows a few places ahead are requested from memory while the
// current one is scored.
constexpr size_t kAhead = 4;

inline void prefetch_row(const float* row, size_t n) {
    const char* p = reinterpret_cast<const char*>(row);
    for (size_t off = 0; off < n * sizeof(float) && off < 256; off += 64) __builtin_prefetch(p + off);
}

#define HALYARD_PICKED(NAME, PAIR, ATTR)                                                                        \
    ATTR void NAME(const float* q, const float* base, size_t stride, size_t n, const uint32_t* picked,        \
                   size_t count, float* out) {                                                                \
        for (size_t i = 0; i < count && i < kAhead; ++i) prefetch_row(base + size_t{picked[i]} * stride, n); \
        for (size_t i = 0; i < count; ++i) {                                                                  \
            if (i + kAhead < count) prefetch_row(base + size_t{picked[i + kAhead]} * stride, n);              \
            out[i] = PAIR(q, base + size_t{picked[i]} * stride, n);                                           \
        }                                                                                                     \
    }

HALYARD_PICKED(dot_picked_portable, dot_portable, )
HALYARD_PICKED(l2_squared_picked_portable, l2_squared_portable, )

constexpr KernelSet kPortable{"portable",        &dot_portable,      &l2_squared_portable, &sum_squares_portable,
                              &dot_rows_portable, &l2_squared_rows_portable, &dot_picked_portable,
                              &l2_squared_picked_portable};

#ifdef HALYARD_X86

// ---- AVX2 + FMA ----------------------------------------------------------------

#define HALYARD_AVX2 __attribute__((target("avx2,fma")))

HALYARD_AVX2 inline float hsum256(__m256 v) {
    __m128 s = _mm_add_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
    __m128 shuf = _mm_movehdup_ps(s);
    s = _mm_add_ps(s, shuf);
    shuf = _mm_movehl_ps(shuf, s);
    s = _mm_add_ss(s, shuf);
    return _mm_cvtss_f32(s);
}

HALYARD_AVX2 inline float dot_avx2(const float* a, const float* b, size_t n) {
    const __m256 z = _mm256_set1_ps(-0.0f);
    __m256 acc0 = z, acc1 = z, acc2 = z, acc3 = z;
    size_t i = 0;
    for (; i + 32 <= n; i += 32) {
        acc0 = _mm256_fmadd_ps(_mm256_loadu_ps(a + i), _mm256_loadu_ps(b + i), acc0);
        acc1 = _mm256_fmadd_ps(_mm256_loadu_ps(a + i + 8), _mm256_loadu_ps(b + i + 8), acc1);
        acc2 = _mm256_fmadd_ps(_mm256_loadu_ps(a + i + 16), _mm256_loadu_ps(b + i + 16), acc2);
        acc3 = _mm256_fmadd_ps(_mm256_loadu_ps(a + i + 24), _mm256_loadu_ps(b + i + 24), acc3);
    }
    for (; i + 8 <= n; i += 8) acc0 = _mm256_fmadd_ps(_mm256_loadu_ps(a + i), _mm256_loadu_ps(b + i), acc0);
    float tail = -0.0f;
    for (; i < n; ++i) tail = std::fma(a[i], b[i], tail);
    return hsum256(_mm256_add_ps(_mm256_add_ps(acc0, acc1), _mm256_add_ps(acc2, acc3))) + tail;
}

HALYARD_AVX2 inline float l2_squared_avx2(const float* a, const float* b, size_t n) {
    const __m256 z = _mm256_set1_ps(-0.0f);
    __m256 acc0 = z, acc1 = z, acc2 = z, acc3 = z;
    size_t i = 0;
    for (; i + 32 <= n; i += 32) {
        const __m256 d0 = _mm256_sub_ps(_mm256_loadu_ps(a + i), _mm256_loadu_ps(b + i));
        const __m256 d1 = _mm256_sub_ps(_mm256_loadu_ps(a + i + 8), _mm256_loadu_ps(b + i + 8));
        const __m256 d2 = _mm256_sub_ps(_mm256_loadu_ps(a + i + 16), _mm256_loadu_ps(b + i + 16));
        const __m256 d3 = _mm256_sub_ps(_mm256_loadu_ps(a + i + 24), _mm256_loadu_ps(b + i + 24));
        acc0 = _mm256_fmadd_ps(d0, d0, acc0);
        acc1 = _mm256_fmadd_ps(d1, d1, acc1);
        acc2 = _mm256_fmadd_ps(d2, d2, acc2);
        acc3 = _mm256_fmadd_ps(d3, d3, acc3);
    }
    for (; i + 8 <= n; i += 8) {
        const __m256 d = _mm256_sub_ps(_mm256_loadu_ps(a + i), _mm256_loadu_ps(b + i));
        acc0 = _mm256_fmadd_ps(d, d, acc0);
    }
    float tail = -0.0f;
    for (; i < n; ++i) {
        const float d = a[i] - b[i];
        tail = std::fma(d, d, tail);
    }
    return hsum256(_mm256_add_ps(_mm256_add_ps(acc0, acc1), _mm256_add_ps(acc2, acc3))) + tail;
}

HALYARD_AVX2 float sum_squares_avx2(const float* a, size_t n) { return dot_avx2(a, a, n); }

// Row kernels apply the single-pair kernel to each row, so a row's value
// never depends on which batch or position it was scored in.
HALYARD_AVX2 void dot_rows_avx2(const float* q, const float* rows, size_t stride, size_t n, size_t count, float* out) {
    for (size_t r = 0; r < count; ++r) out[r] = dot_avx2(q, rows + r * stride, n);
}

HALYARD_AVX2 void l2_squared_rows_avx2(const float* q, const float* rows, size_t stride, size_t n, size_t count,
                                       float* out) {
    for (size_t r = 0; r < count; ++r) out[r] = l2_squared_avx2(q, rows + r * stride, n);
}

HALYARD_PICKED(dot_picked_avx2, dot_avx2, HALYARD_AVX2)
HALYARD_PICKED(l2_squared_picked_avx2, l2_squared_avx2, HALYARD_AVX2)

constexpr KernelSet kAvx2{"avx2",        &dot_avx2,      &l2_squared_avx2,        &sum_squares_avx2,
                          &dot_rows_avx2, &l2_squared_rows_avx2, &dot_picked_avx2, &l2_squared_picked_avx2};

// ---- AVX-512 ---------------------------------------------------------------------
// Tails use masked loads and masked multiply-adds: lanes outside the mask keep
// their accumulator, so a -0 accumulator is never turned into +0.

#define HALYARD_AVX512 __attribute__((target("avx512f")))

HALYARD_AVX512 inline __mmask16 tail_mask(size_t remaining) {
    return static_cast<__mmask16>((1u << remaining) - 1u);
}

HALYARD_AVX512 inline float dot_avx512(const float* a, const float* b, size_t n) {
    const __m512 z = _mm512_set1_ps(-0.0f);
    __m512 acc0 = z, acc1 = z, acc2 = z, acc3 = z;
    size_t i = 0;
    for (; i + 64 <= n; i += 64) {
        acc0 = _mm512_fmadd_ps(_mm512_loadu_ps(a + i), _mm512_loadu_ps(b + i), acc0);
        acc1 = _mm512_fmadd_ps(_mm512_loadu_ps(a + i + 16), _mm512_loadu_ps(b + i + 16), acc1);
        acc2 = _mm512_fmadd_ps(_mm512_loadu_ps(a + i + 32), _mm512_loadu_ps(b + i + 32), acc2);
        acc3 = _mm512_fmadd_ps(_mm512_loadu_ps(a + i + 48), _mm512_loadu_ps(b + i + 48), acc3);
    }
    for (; i + 16 <= n; i += 16) acc0 = _mm512_fmadd_ps(_mm512_loadu_ps(a + i), _mm512_loadu_ps(b + i), acc0);
    if (i < n) {
        const __mmask16 m = tail_mask(n - i);
        acc1 = _mm512_mask3_fmadd_ps(_mm512_maskz_loadu_ps(m, a + i), _mm512_maskz_loadu_ps(m, b + i), acc1, m);
    }
    return _mm512_reduce_add_ps(_mm512_add_ps(_mm512_add_ps(acc0, acc1), _mm512_add_ps(acc2, acc3)));
}

HALYARD_AVX512 inline float l2_squared_avx512(const float* a, const float* b, size_t n) {
    const __m512 z = _mm512_set1_ps(-0.0f);
    __m512 acc0 = z, acc1 = z, acc2 = z, acc3 = z;
    size_t i = 0;
    for (; i + 64 <= n; i += 64) {
        const __m512 d0 = _mm512_sub_ps(_mm512_loadu_ps(a + i), _mm512_loadu_ps(b + i));
        const __m512 d1 = _mm512_sub_ps(_mm512_loadu_ps(a + i + 16), _mm512_loadu_ps(b + i + 16));
        const __m512 d2 = _mm512_sub_ps(_mm512_loadu_ps(a + i + 32), _mm512_loadu_ps(b + i + 32));
        const __m512 d3 = _mm512_sub_ps(_mm512_loadu_ps(a + i + 48), _mm512_loadu_ps(b + i + 48));
        acc0 = _mm512_fmadd_ps(d0, d0, acc0);
        acc1 = _mm512_fmadd_ps(d1, d1, acc1);
        acc2 = _mm512_fmadd_ps(d2, d2, acc2);
        acc3 = _mm512_fmadd_ps(d3, d3, acc3);
    }
    for (; i + 16 <= n; i += 16) {
        const __m512 d = _mm512_sub_ps(_mm512_loadu_ps(a + i), _mm512_loadu_ps(b + i));
        acc0 = _mm512_fmadd_ps(d, d, acc0);
    }
    if (i < n) {
        const __mmask16 m = tail_mask(n - i);
        const __m512 d = _mm512_sub_ps(_mm512_maskz_loadu_ps(m, a + i), _mm512_maskz_loadu_ps(m, b + i));
        acc1 = _mm512_mask3_fmadd_ps(d, d, acc1, m);
    }
    return _mm512_reduce_add_ps(_mm512_add_ps(_mm512_add_ps(acc0, acc1), _mm512_add_ps(acc2, acc3)));
}

HALYARD_AVX512 float sum_squares_avx512(const float* a, size_t n) { return dot_avx512(a, a, n); }

HALYARD_AVX512 void dot_rows_avx512(const float* q, const float* rows, size_t stride, size_t n, size_t count,
                                    float* out) {
    for (size_t r = 0; r < count; ++r) out[r] = dot_avx512(q, rows + r * stride, n);
}

HALYARD_AVX512 void l2_squared_rows_avx512(const float* q, const float* rows, size_t stride, size_t n, size_t count,
                                           float* out) {
    for (size_t r = 0; r < count; ++r) out[r] = l2_squared_avx512(q, rows + r * stride, n);
}

HALYARD_PICKED(dot_picked_avx512, dot_avx512, HALYARD_AVX512)
HALYARD_PICKED(l2_squared_picked_avx512, l2_squared_avx512, HALYARD_AVX512)

constexpr KernelSet kAvx512{"avx512",          &dot_avx512,      &l2_squared_avx512,        &sum_squares_avx512,
                            &dot_rows_avx512,   &l2_squared_rows_avx512, &dot_picked_avx512,
                            &l2_squared_picked_avx512};

bool cpu_has_avx2() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
}

bool cpu_has_avx512() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f");
}

#endif  // HALYARD_X86

const KernelSet& choose() {
#ifdef HALYARD_X86
    if (cpu_has_avx512()) return kAvx512;
    if (cpu_has_avx2()) return kAvx2;
#endif
    return kPortable;
}

}  // namespace

const KernelSet& active() {
    static const KernelSet& chosen = choose();
    return chosen;
}

const KernelSet* for_isa(Isa isa) {
    switch (isa) {
        case Isa::Portable: return &kPortable;
#ifdef HALYARD_X86
        case Isa::Avx2: return cpu_has_avx2() ? &kAvx2 : nullptr;
        case Isa::Avx512: return cpu_has_avx512() ? &kAvx512 : nullptr;
#else
        default: return nullptr;
#endif
    }
    return nullptr;
}

}  // namespace halyard::kernels
