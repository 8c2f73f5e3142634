// Batched dot products and lenient cosines of one query against many vectors.
//
// Every result must equal the sequential 32-bit sum in index order, so the
// vector path never splits one sum across lanes: each of the eight lanes of
// an AVX2 register carries a different vector of the batch and adds its own
// products in index order (multiply and add rounded separately, as the
// scalar loop does). Eight rows are loaded eight components at a time and
// transposed so that register j holds component j of all eight rows.
#include <algorithm>
#include <cstddef>

#include "vector/similarity.hpp"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define HALYARD_HAVE_AVX2_PATH 1
#endif

namespace halyard {

namespace {

void dot_batch_scalar(FloatSpan query, std::span<const FloatSpan> others, size_t begin, float* dots, float* sum_sq) {
    for (size_t k = begin; k < others.size(); ++k) {
        dots[k] = dot_sequential(query, others[k]);
        if (sum_sq) sum_sq[k] = sum_squares_sequential(others[k]);
    }
}

#ifdef HALYARD_HAVE_AVX2_PATH

__attribute__((target("avx2"))) inline void transpose8(__m256 r[8]) {
    const __m256 t0 = _mm256_unpacklo_ps(r[0], r[1]);
    const __m256 t1 = _mm256_unpackhi_ps(r[0], r[1]);
    const __m256 t2 = _mm256_unpacklo_ps(r[2], r[3]);
    const __m256 t3 = _mm256_unpackhi_ps(r[2], r[3]);
    const __m256 t4 = _mm256_unpacklo_ps(r[4], r[5]);
    const __m256 t5 = _mm256_unpackhi_ps(r[4], r[5]);
    const __m256 t6 = _mm256_unpacklo_ps(r[6], r[7]);
    const __m256 t7 = _mm256_unpackhi_ps(r[6], r[7]);
    const __m256 u0 = _mm256_shuffle_ps(t0, t2, _MM_SHUFFLE(1, 0, 1, 0));
    const __m256 u1 = _mm256_shuffle_ps(t0, t2, _MM_SHUFFLE(3, 2, 3, 2));
    const __m256 u2 = _mm256_shuffle_ps(t1, t3, _MM_SHUFFLE(1, 0, 1, 0));
    const __m256 u3 = _mm256_shuffle_ps(t1, t3, _MM_SHUFFLE(3, 2, 3, 2));
    const __m256 u4 = _mm256_shuffle_ps(t4, t6, _MM_SHUFFLE(1, 0, 1, 0));
    const __m256 u5 = _mm256_shuffle_ps(t4, t6, _MM_SHUFFLE(3, 2, 3, 2));
    const __m256 u6 = _mm256_shuffle_ps(t5, t7, _MM_SHUFFLE(1, 0, 1, 0));
    const __m256 u7 = _mm256_shuffle_ps(t5, t7, _MM_SHUFFLE(3, 2, 3, 2));
    r[0] = _mm256_permute2f128_ps(u0, u4, 0x20);
    r[1] = _mm256_permute2f128_ps(u1, u5, 0x20);
    r[2] = _mm256_permute2f128_ps(u2, u6, 0x20);
    r[3] = _mm256_permute2f128_ps(u3, u7, 0x20);
    r[4] = _mm256_permute2f128_ps(u0, u4, 0x31);
    r[5] = _mm256_permute2f128_ps(u1, u5, 0x31);
    r[6] = _mm256_permute2f128_ps(u2, u6, 0x31);
    r[7] = _mm256_permute2f128_ps(u3, u7, 0x31);
}

// Rows k0 .. k0+7: the vector part covers the first `shared` components
// (a multiple of 8 within every row's dot range); each lane then finishes
// its own sums in index order.
template <bool WithSq>
__attribute__((target("avx2"))) void dot_group8(FloatSpan query, std::span<const FloatSpan> others, size_t k0,
                                                float* dots, float* sum_sq) {
    const float* rows[8];
    size_t shared = query.size();
    for (int k = 0; k < 8; ++k) {
        rows[k] = others[k0 + k].data();
        shared = std::min(shared, others[k0 + k].size());
    }
    shared -= shared % 8;
    const float* q = query.data();
    __m256 dot = _mm256_setzero_ps();
    __m256 sq = _mm256_setzero_ps();
    for (size_t d = 0; d < shared; d += 8) {
        __m256 r[8];
        for (int k = 0; k < 8; ++k) r[k] = _mm256_loadu_ps(rows[k] + d);
        transpose8(r);
        for (int j = 0; j < 8; ++j) {
            dot = _mm256_add_ps(dot, _mm256_mul_ps(_mm256_broadcast_ss(q + d + j), r[j]));
            if constexpr (WithSq) sq = _mm256_add_ps(sq, _mm256_mul_ps(r[j], r[j]));
        }
    }
    alignas(32) float dot_lanes[8];
    alignas(32) float sq_lanes[8];
    _mm256_store_ps(dot_lanes, dot);
    _mm256_store_ps(sq_lanes, sq);
    for (int k = 0; k < 8; ++k) {
        const FloatSpan row = others[k0 + k];
        float s = dot_lanes[k];
        const size_t common = std::min(query.size(), row.size());
        for (size_t i = shared; i < common; ++i) s += q[i] * row[i];
        dots[k0 + k] = s;
        if constexpr (WithSq) {
            float t = sq_lanes[k];
            for (size_t i = shared; i < row.size(); ++i) t += row[i] * row[i];
            sum_sq[k0 + k] = t;
        }
    }
}

__attribute__((target("avx2"))) size_t dot_batch_avx2(FloatSpan query, std::span<const FloatSpan> others,
                                                      float* dots, float* sum_sq) {
    size_t k = 0;
    for (; k + 8 <= others.size(); k += 8) {
        if (sum_sq)
            dot_group8<true>(query, others, k, dots, sum_sq);
        else
            dot_group8<false>(query, others, k, dots, sum_sq);
    }
    return k;
}

bool cpu_has_avx2() {
    static const bool has = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
    }();
    return has;
}

#endif

}  // namespace

void dot_batch(FloatSpan query, std::span<const FloatSpan> others, float* dots, float* sum_sq) {
    size_t done = 0;
#ifdef HALYARD_HAVE_AVX2_PATH
    if (cpu_has_avx2()) done = dot_batch_avx2(query, others, dots, sum_sq);
#endif
    dot_batch_scalar(query, others, done, dots, sum_sq);
}

void lenient_cosine_batch(FloatSpan query, std::span<const FloatSpan> others, float* out) {
    std::vector<float> sum_sq(others.size());
    dot_batch(query, others, out, sum_sq.data());
    const float query_sq = sum_squares_sequential(query);
    for (size_t k = 0; k < others.size(); ++k) out[k] = lenient_cosine_from_sums(out[k], query_sq, sum_sq[k]);
}

void lenient_cosine01_batch(FloatSpan query, std::span<const FloatSpan> others, float* out) {
    lenient_cosine_batch(query, others, out);
    for (size_t k = 0; k < others.size(); ++k) out[k] = (out[k] + 1.0f) * 0.5f;
}

}  // namespace halyard
