// Native checks of the vector kernels, run on every architecture the project
// builds for (natively, or under user-mode emulation for aarch64). Prints
// "ok" and exits 0 when every check passes.
//
// Index kernels (no fixed summation order): every kernel set this CPU can run
// against a float64 reference, rows and picked rows equal to the single pair,
// signed-zero sums. Exact-order batches: bit for bit the sequential 32-bit
// sum in index order, whichever vector path the CPU takes.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "vector/kernels.hpp"
#include "vector/similarity.hpp"

using namespace halyard;

namespace {

int failures = 0;

void check(bool ok, const char* what, size_t n, int line) {
    if (!ok) {
        std::printf("FAILED line %d (n=%zu): %s\n", line, n, what);
        ++failures;
    }
}
#define CHECK(cond, n) check((cond), #cond, (n), __LINE__)

bool same_bits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }

float sequential_dot(const float* a, const float* b, size_t n) {
    float s = 0.0f;
    for (size_t i = 0; i < n; ++i) {
        const float p = a[i] * b[i];
        s = s + p;
    }
    return s;
}

void index_kernels(std::mt19937& g) {
    std::uniform_real_distribution<float> u(-1, 1);
    int sets = 0;
    for (kernels::Isa isa : {kernels::Isa::Portable, kernels::Isa::Avx2, kernels::Isa::Avx512}) {
        const kernels::KernelSet* k = kernels::for_isa(isa);
        if (!k) continue;
        ++sets;
        for (size_t n = 0; n < 70; ++n) {
            const size_t rows = 9;
            std::vector<float> q(n), base(rows * n + 1);
            for (auto& x : q) x = u(g);
            for (auto& x : base) x = u(g);
            const uint32_t pick[5] = {3, 0, 8, 3, 5};
            float r1[rows], r2[rows], p1[5], p2[5];
            k->dot_rows(q.data(), base.data(), n, n, rows, r1);
            k->l2_squared_rows(q.data(), base.data(), n, n, rows, r2);
            const float* picked[5];
            for (size_t i = 0; i < 5; ++i) picked[i] = base.data() + pick[i] * n;
            k->dot_picked(q.data(), picked, n, 5, p1);
            k->l2_squared_picked(q.data(), picked, n, 5, p2);
            for (size_t r = 0; r < rows; ++r) {
                const float* v = base.data() + r * n;
                double d = 0, l = 0, s = 0, mag = 1;
                for (size_t i = 0; i < n; ++i) {
                    const double x = q[i], y = v[i];
                    d += x * y;
                    l += (x - y) * (x - y);
                    s += y * y;
                    mag += std::fabs(x * y) + (x - y) * (x - y) + y * y;
                }
                const double tol = 1e-5 * mag;
                const float kd = k->dot(q.data(), v, n), kl = k->l2_squared(q.data(), v, n);
                CHECK(std::fabs(kd - d) <= tol && std::fabs(kl - l) <= tol, n);
                CHECK(std::fabs(k->sum_squares(v, n) - s) <= tol, n);
                CHECK(same_bits(r1[r], kd) && same_bits(r2[r], kl), n);
                if (n == 0) CHECK(std::signbit(kd) && std::signbit(kl), n);
            }
            for (size_t i = 0; i < 5; ++i) {
                const float* v = base.data() + pick[i] * n;
                CHECK(same_bits(p1[i], k->dot(q.data(), v, n)) && same_bits(p2[i], k->l2_squared(q.data(), v, n)), n);
            }
        }
        std::vector<float> z(37, -0.0f), one(37, 1.0f);
        CHECK(std::signbit(k->dot(z.data(), one.data(), 37)), size_t{37});
    }
    CHECK(sets >= 1, size_t{0});
    CHECK(std::strcmp(kernels::active().name, "") != 0, size_t{0});
    std::printf("kernel sets checked: %d (active: %s)\n", sets, kernels::active().name);
}

void exact_order_batches(std::mt19937& g) {
    // Values of mixed magnitude, so that any change of summation order shows.
    std::uniform_real_distribution<float> u(-1, 1);
    std::uniform_int_distribution<int> e(-12, 12);
    auto value = [&] { return std::ldexp(u(g), e(g)); };
    for (size_t len : {size_t{0}, size_t{1}, size_t{7}, size_t{8}, size_t{9}, size_t{31}, size_t{64}, size_t{385}}) {
        for (size_t count : {size_t{1}, size_t{7}, size_t{8}, size_t{17}, size_t{40}}) {
            std::vector<std::vector<float>> data(count);
            for (size_t k = 0; k < count; ++k) {
                // Lengths differ between rows in every other batch (lenient dots).
                data[k].resize(count % 2 ? len + k % 3 : len);
                for (auto& x : data[k]) x = value();
            }
            std::vector<FloatSpan> spans(data.begin(), data.end());
            std::vector<float> query(len);
            for (auto& x : query) x = value();

            std::vector<float> dots(count), sq(count), cos(count);
            dot_batch(query, spans, dots.data(), sq.data());
            lenient_cosine_batch(query, spans, cos.data());
            for (size_t k = 0; k < count; ++k) {
                const size_t common = std::min(len, data[k].size());
                CHECK(same_bits(dots[k], sequential_dot(query.data(), data[k].data(), common)), len);
                CHECK(same_bits(sq[k], sequential_dot(data[k].data(), data[k].data(), data[k].size())), len);
                CHECK(same_bits(cos[k], lenient_cosine(query, data[k])), len);
            }

            if (count % 2) continue;  // the pairwise form takes equal lengths
            std::vector<float> out(count * count, 0.0f), sum_sq(count);
            // Each batch of rows hands back one value per row; all of them,
            // in order, make the returned sequential sum.
            struct Feed {
                std::vector<float> values, all;
                size_t rows_seen = 0;
            } feed;
            const RowsReady ready{[](void* c, size_t first, size_t rows) {
                                      auto* f = static_cast<Feed*>(c);
                                      f->rows_seen += rows;
                                      f->values.assign(rows, std::ldexp(1.0f + static_cast<float>(first), -3 * int(first % 5)));
                                      f->all.insert(f->all.end(), f->values.begin(), f->values.end());
                                      return std::span<const float>(f->values);
                                  },
                                  &feed};
            const float total = pairwise_dots_upper(spans, out.data(), sum_sq.data(), ready);
            float expected_total = 0.0f;
            for (float x : feed.all) expected_total += x;
            for (size_t i = 0; i < count; ++i) {
                CHECK(same_bits(sum_sq[i], sum_squares_sequential(spans[i])), len);
                for (size_t j = i; j < count; ++j)
                    CHECK(same_bits(out[i * count + j], sequential_dot(data[i].data(), data[j].data(), len)), len);
            }
            CHECK(feed.rows_seen == count && same_bits(total, expected_total), len);
        }
    }
}

}  // namespace

int main() {
    std::mt19937 g(7);
    index_kernels(g);
    exact_order_batches(g);
    if (failures) return 1;
    std::puts("ok");
    return 0;
}
