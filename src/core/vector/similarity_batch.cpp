// Batched dot products and lenient cosines of one query against many
// vectors, and the pairwise dots of a set of vectors.
//
// Every result must equal the sequential 32-bit sum in index order, so the
// vector paths never split one sum across lanes: each lane of a register
// carries a different vector (or pair) and adds its own products in index
// order, multiply and add rounded separately as in the scalar loop. Rows are
// loaded eight components at a time and transposed so that register j holds
// component j of eight rows. AVX2 and AVX-512 paths are chosen at run time;
// other processors use the scalar loops.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <memory>
#include <vector>

#include "runtime/cpu.hpp"
#include "vector/similarity.hpp"

#if defined(__x86_64__) || defined(__i386__) || defined(_M_X64) || defined(_M_IX86)
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

HALYARD_TARGET("avx2") inline void transpose8(__m256 r[8]) {
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

// Rows k0 .. k0+8G-1, G groups of eight interleaved so that their
// independent sums hide each other's add latency. The vector part covers
// the first `shared` components (a multiple of 8 within every row's dot
// range); each lane then finishes its own sums in index order.
// The kernel and its driver are stamped out per instruction set: compiled
// for AVX-512 the same code has 32 vector registers, so the interleaved
// groups no longer spill to the stack.
#define HALYARD_DOT_GROUPS(KERNEL, DRIVER, TARGET, GROUPS) \
template <bool WithSq, int G>                                                                              \
HALYARD_TARGET(TARGET) void KERNEL(FloatSpan query, std::span<const FloatSpan> others, size_t k0,          \
                                   float* dots, float* sum_sq) {                                           \
    constexpr int R = 8 * G;                                                                               \
    const float* rows[R];                                                                                  \
    size_t shared = query.size();                                                                          \
    for (int k = 0; k < R; ++k) {                                                                          \
        rows[k] = others[k0 + k].data();                                                                   \
        shared = std::min(shared, others[k0 + k].size());                                                  \
    }                                                                                                      \
    shared -= shared % 8;                                                                                  \
    const float* q = query.data();                                                                         \
    __m256 dot[G], sq[G];                                                                                  \
    for (int g = 0; g < G; ++g) dot[g] = sq[g] = _mm256_setzero_ps();                                      \
    for (size_t d = 0; d < shared; d += 8) {                                                               \
        __m256 r[G][8];                                                                                    \
        for (int g = 0; g < G; ++g) {                                                                      \
            for (int k = 0; k < 8; ++k) r[g][k] = _mm256_loadu_ps(rows[8 * g + k] + d);                    \
            transpose8(r[g]);                                                                              \
        }                                                                                                  \
        for (int j = 0; j < 8; ++j) {                                                                      \
            const __m256 x = _mm256_broadcast_ss(q + d + j);                                               \
            for (int g = 0; g < G; ++g) {                                                                  \
                dot[g] = _mm256_add_ps(dot[g], _mm256_mul_ps(x, r[g][j]));                                 \
                if constexpr (WithSq) sq[g] = _mm256_add_ps(sq[g], _mm256_mul_ps(r[g][j], r[g][j]));       \
            }                                                                                              \
        }                                                                                                  \
    }                                                                                                      \
    alignas(32) float dot_lanes[R];                                                                        \
    alignas(32) float sq_lanes[R];                                                                         \
    for (int g = 0; g < G; ++g) {                                                                          \
        _mm256_store_ps(dot_lanes + 8 * g, dot[g]);                                                        \
        _mm256_store_ps(sq_lanes + 8 * g, sq[g]);                                                          \
    }                                                                                                      \
    for (int k = 0; k < R; ++k) {                                                                          \
        const FloatSpan row = others[k0 + k];                                                              \
        float s = dot_lanes[k];                                                                            \
        const size_t common = std::min(query.size(), row.size());                                          \
        for (size_t i = shared; i < common; ++i) s += q[i] * row[i];                                       \
        dots[k0 + k] = s;                                                                                  \
        if constexpr (WithSq) {                                                                            \
            float t = sq_lanes[k];                                                                         \
            for (size_t i = shared; i < row.size(); ++i) t += row[i] * row[i];                             \
            sum_sq[k0 + k] = t;                                                                            \
        }                                                                                                  \
    }                                                                                                      \
}                                                                                                          \
                                                                                                           \
HALYARD_TARGET(TARGET) size_t DRIVER(FloatSpan query, std::span<const FloatSpan> others,                   \
                                     float* dots, float* sum_sq) {                                         \
    size_t k = 0;                                                                                          \
    for (; k + 8 * GROUPS <= others.size(); k += 8 * GROUPS) {                                             \
        if (sum_sq)                                                                                        \
            KERNEL<true, GROUPS>(query, others, k, dots, sum_sq);                                          \
        else                                                                                               \
            KERNEL<false, GROUPS>(query, others, k, dots, sum_sq);                                         \
    }                                                                                                      \
    for (; k + 8 <= others.size(); k += 8) {                                                               \
        if (sum_sq)                                                                                        \
            KERNEL<true, 1>(query, others, k, dots, sum_sq);                                               \
        else                                                                                               \
            KERNEL<false, 1>(query, others, k, dots, sum_sq);                                              \
    }                                                                                                      \
    return k;                                                                                              \
}

HALYARD_DOT_GROUPS(dot_groups8_avx2, dot_batch_avx2, "avx2", 2)
HALYARD_DOT_GROUPS(dot_groups8_avx512, dot_batch_avx512, "avx512f,avx512vl,avx2", 2)

// ---- pairwise dots of equal-length vectors --------------------------------
//
// The vectors are first laid out dimension-major in column blocks of W:
// block b holds, for every component d, component d of vectors bW .. bW+W-1
// (zeros past the last vector). A row i then runs over the blocks with one
// broadcast of its component d per step, each lane adding the product for
// its own column in index order.

// Transposes rows [0, n) of length len into blocks of W columns (W = 8 or 16).
template <int W>
HALYARD_TARGET("avx2") void to_column_blocks(std::span<const FloatSpan> v, size_t len, float* t) {
    const size_t n = v.size();
    const size_t blocks = (n + W - 1) / W;
    const size_t len8 = len - len % 8;
    for (size_t k0 = 0; k0 < blocks * W; k0 += 8) {
        float* base = t + (k0 / W) * len * W + (k0 % W);
        if (k0 + 8 <= n) {
            for (size_t d = 0; d < len8; d += 8) {
                __m256 r[8];
                for (int k = 0; k < 8; ++k) r[k] = _mm256_loadu_ps(v[k0 + k].data() + d);
                transpose8(r);
                for (int j = 0; j < 8; ++j) _mm256_storeu_ps(base + (d + j) * W, r[j]);
            }
            for (size_t d = len8; d < len; ++d)
                for (int k = 0; k < 8; ++k) base[d * W + k] = v[k0 + k][d];
        } else {
            for (size_t d = 0; d < len; ++d)
                for (size_t k = 0; k < 8; ++k) base[d * W + k] = k0 + k < n ? v[k0 + k][d] : 0.0f;
        }
    }
}

// A running sequential sum fed by the pairwise kernel: while a tile works
// through its components it also adds the next pending value, so the
// latency of this one long chain of additions hides behind the vector work.
// The order of the additions is unchanged.
struct SerialFeed {
    const float* next = nullptr;
    const float* end = nullptr;
    float total = 0.0f;

    void drain() {
        for (; next != end; ++next) total += *next;
    }
};

// A tile of R rows (i0 .. i0+R-1, `rows` of them real) against C column
// blocks starting at block b: each loaded column vector serves R rows.
// Only entries with j >= i are written.
template <int R, int C>
HALYARD_TARGET("avx2") void tile8(const float* const* q, size_t len, const float* t, size_t b, size_t i0,
                                  size_t rows, size_t n, float* out, SerialFeed& feed) {
    __m256 acc[R][C];
    HALYARD_UNROLL_16 for (int r = 0; r < R; ++r)
        HALYARD_UNROLL_16 for (int c = 0; c < C; ++c) acc[r][c] = _mm256_setzero_ps();
    const float* base = t + b * len * 8;
    const float* next = feed.next;
    const float* const end = feed.end;
    float total = feed.total;
    for (size_t d = 0; d < len; ++d) {
        __m256 col[C];
        HALYARD_UNROLL_16 for (int c = 0; c < C; ++c) col[c] = _mm256_loadu_ps(base + (c * len + d) * 8);
        HALYARD_UNROLL_16 for (int r = 0; r < R; ++r) {
            const __m256 x = _mm256_broadcast_ss(q[r] + d);
            HALYARD_UNROLL_16 for (int c = 0; c < C; ++c) acc[r][c] = _mm256_add_ps(acc[r][c], _mm256_mul_ps(x, col[c]));
        }
        if (next != end) total += *next++;
    }
    feed.next = next;
    feed.total = total;
    // All R rows leave the registers with fixed indices (a runtime row index
    // into acc would keep the accumulators in memory during the loop).
    alignas(32) float lanes[R][C * 8];
    HALYARD_UNROLL_16 for (int r = 0; r < R; ++r)
        HALYARD_UNROLL_16 for (int c = 0; c < C; ++c) _mm256_store_ps(lanes[r] + c * 8, acc[r][c]);
    const size_t first = b * 8;
    for (size_t r = 0; r < rows; ++r) {
        const size_t i = i0 + r;
        for (size_t j = std::max(i, first); j < std::min(n, first + C * 8); ++j) out[i * n + j] = lanes[r][j - first];
    }
}

template <int R, int C>
HALYARD_TARGET("avx512f") void tile16(const float* const* q, size_t len, const float* t, size_t b, size_t i0,
                                      size_t rows, size_t n, float* out, SerialFeed& feed) {
    __m512 acc[R][C];
    for (int r = 0; r < R; ++r)
        for (int c = 0; c < C; ++c) acc[r][c] = _mm512_setzero_ps();
    const float* base = t + b * len * 16;
    const float* next = feed.next;
    const float* const end = feed.end;
    float total = feed.total;
    for (size_t d = 0; d < len; ++d) {
        __m512 col[C];
        for (int c = 0; c < C; ++c) col[c] = _mm512_loadu_ps(base + (c * len + d) * 16);
        for (int r = 0; r < R; ++r) {
            const __m512 x = _mm512_set1_ps(q[r][d]);
            for (int c = 0; c < C; ++c) acc[r][c] = _mm512_add_ps(acc[r][c], _mm512_mul_ps(x, col[c]));
        }
        if (next != end) total += *next++;
    }
    feed.next = next;
    feed.total = total;
    // All R rows leave the registers with fixed indices (a runtime row index
    // into acc would keep the accumulators in memory during the loop).
    alignas(64) float lanes[R][C * 16];
    for (int r = 0; r < R; ++r)
        for (int c = 0; c < C; ++c) _mm512_store_ps(lanes[r] + c * 16, acc[r][c]);
    const size_t first = b * 16;
    for (size_t r = 0; r < rows; ++r) {
        const size_t i = i0 + r;
        for (size_t j = std::max(i, first); j < std::min(n, first + C * 16); ++j) out[i * n + j] = lanes[r][j - first];
    }
}

// Per column of the blocks: the sum of squares in index order (the full
// vector, since all vectors share the length).
template <int W>
HALYARD_TARGET("avx2") void column_sum_squares(const float* t, size_t len, size_t n, float* sum_sq) {
    const size_t blocks = (n + W - 1) / W;
    for (size_t b = 0; b < blocks; ++b) {
        float lanes[W];
        for (int w = 0; w < W; ++w) lanes[w] = 0.0f;
        const float* base = t + b * len * W;
        for (size_t d = 0; d < len; ++d)
            for (int w = 0; w < W; ++w) lanes[w] += base[d * W + w] * base[d * W + w];
        for (size_t w = 0; w < W && b * W + w < n; ++w) sum_sq[b * W + w] = lanes[w];
    }
}

// Upper triangle of the dot matrix with tiles of R rows x up to 4 blocks of W
// columns (Tile4 may be null: then at most 3 blocks per tile).
template <int W, int R, auto Tile1, auto Tile2, auto Tile3, auto Tile4>
float pairwise_tiled(std::span<const FloatSpan> v, size_t len, float* out, float* sum_sq, RowsReady ready) {
    const size_t n = v.size();
    const size_t blocks = (n + W - 1) / W;
    // Every entry is written by the transposition (padding columns with zeros).
    std::unique_ptr<float[]> holder(new float[blocks * len * W]);
    float* t = holder.get();
    to_column_blocks<W>(v, len, t);
    column_sum_squares<W>(t, len, n, sum_sq);
    SerialFeed feed;
    for (size_t i0 = 0; i0 < n; i0 += R) {
        const size_t rows = std::min<size_t>(R, n - i0);
        const float* q[R];
        for (size_t r = 0; r < R; ++r) q[r] = v[i0 + std::min(r, rows - 1)].data();
        size_t b = i0 / W;
        if constexpr (Tile4 != nullptr) {
            for (; b + 4 <= blocks; b += 4) Tile4(q, len, t, b, i0, rows, n, out, feed);
        } else {
            for (; b + 3 <= blocks; b += 3) Tile3(q, len, t, b, i0, rows, n, out, feed);
        }
        switch (blocks - b) {
            case 3: Tile3(q, len, t, b, i0, rows, n, out, feed); break;
            case 2: Tile2(q, len, t, b, i0, rows, n, out, feed); break;
            case 1: Tile1(q, len, t, b, i0, rows, n, out, feed); break;
            default: break;
        }
        feed.drain();  // the previous rows' values, before this group's
        const std::span<const float> values = ready.call(i0, rows);
        feed.next = values.data();
        feed.end = values.data() + values.size();
    }
    feed.drain();
    return feed.total;
}

HALYARD_TARGET("avx2") float pairwise_avx2(std::span<const FloatSpan> v, size_t len, float* out,
                                           float* sum_sq, RowsReady ready) {
    // Three rows by up to three blocks: nine accumulators, three columns, a
    // broadcast and the running sum stay within the sixteen registers.
    constexpr void (*none)(const float* const*, size_t, const float*, size_t, size_t, size_t, size_t, float*,
                           SerialFeed&) = nullptr;
    return pairwise_tiled<8, 3, &tile8<3, 1>, &tile8<3, 2>, &tile8<3, 3>, none>(v, len, out, sum_sq, ready);
}

HALYARD_TARGET("avx512f,avx2") float pairwise_avx512(std::span<const FloatSpan> v, size_t len, float* out,
                                                     float* sum_sq, RowsReady ready) {
    return pairwise_tiled<16, 4, &tile16<4, 1>, &tile16<4, 2>, &tile16<4, 3>, &tile16<4, 4>>(v, len, out, sum_sq,
                                                                                              ready);
}

bool cpu_has_avx512() { return cpu::features().avx512f && cpu::features().avx512vl; }

bool cpu_has_avx2() { return cpu::features().avx2; }

#endif

}  // namespace

void dot_batch(FloatSpan query, std::span<const FloatSpan> others, float* dots, float* sum_sq) {
    size_t done = 0;
#ifdef HALYARD_HAVE_AVX2_PATH
    if (cpu_has_avx512() && cpu_has_avx2())
        done = dot_batch_avx512(query, others, dots, sum_sq);
    else if (cpu_has_avx2())
        done = dot_batch_avx2(query, others, dots, sum_sq);
#endif
    dot_batch_scalar(query, others, done, dots, sum_sq);
}

void lenient_cosines_from_norms(const float* dots, float norm_a, const float* norms_b, size_t count, float* out) {
    if (norm_a == 0.0f) {
        for (size_t k = 0; k < count; ++k) out[k] = 0.0f;
        return;
    }
    // Quotients first, unconditionally (a plain loop that vectorises;
    // division is exactly rounded either way), then the zero-norm rule.
    for (size_t k = 0; k < count; ++k) out[k] = dots[k] / (norm_a * norms_b[k]);
    for (size_t k = 0; k < count; ++k) out[k] = norms_b[k] == 0.0f ? 0.0f : out[k];
}

float pairwise_dots_upper(std::span<const FloatSpan> v, float* out, float* sum_sq, RowsReady ready) {
    const size_t n = v.size();
    if (n == 0) return 0.0f;
    const size_t len = v[0].size();
    bool equal = true;
    for (const FloatSpan& x : v) equal = equal && x.size() == len;
#ifdef HALYARD_HAVE_AVX2_PATH
    // The column layout needs one common length; zero padding past a shorter
    // vector would turn an infinite component into NaN.
    if (equal && len > 0 && n >= 8) {
        if (cpu_has_avx512() && cpu_has_avx2()) return pairwise_avx512(v, len, out, sum_sq, ready);
        if (cpu_has_avx2()) return pairwise_avx2(v, len, out, sum_sq, ready);
    }
#endif
    for (size_t i = 0; i < n; ++i) sum_sq[i] = sum_squares_sequential(v[i]);
    float total = 0.0f;
    for (size_t i = 0; i < n; ++i) {
        dot_batch(v[i], v.subspan(i), out + i * n + i, nullptr);
        for (float x : ready.call(i, 1)) total += x;
    }
    return total;
}

void lenient_cosine_batch(FloatSpan query, std::span<const FloatSpan> others, float* out) {
    std::vector<float> norms(others.size());
    dot_batch(query, others, out, norms.data());
    for (float& x : norms) x = std::sqrt(x);  // exactly rounded: the same norms lenient_cosine forms
    lenient_cosines_from_norms(out, std::sqrt(sum_squares_sequential(query)), norms.data(), others.size(), out);
}

void lenient_cosine01_batch(FloatSpan query, std::span<const FloatSpan> others, float* out) {
    lenient_cosine_batch(query, others, out);
    for (size_t k = 0; k < others.size(); ++k) out[k] = (out[k] + 1.0f) * 0.5f;
}

}  // namespace halyard
