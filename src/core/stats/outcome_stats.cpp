#include "stats/outcome_stats.hpp"

#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <string>

#include "common/errors.hpp"

namespace halyard {

namespace {

// The smaller / larger of two values, ignoring a NaN operand.
float min_ignoring_nan(float a, float b) { return std::fmin(a, b); }
float max_ignoring_nan(float a, float b) { return std::fmax(a, b); }

constexpr uint64_t kMaxCount = std::numeric_limits<uint64_t>::max();

}  // namespace

void OutcomeStats::allocate(size_t dim) {
    if (dim > 1) {
        if (dim > std::numeric_limits<size_t>::max() / (4 * sizeof(float))) throw std::bad_alloc();
        heap_ = new float[4 * dim];
    }
    dim_ = dim;
}

void OutcomeStats::release() noexcept {
    if (dim_ > 1) delete[] heap_;
    dim_ = 0;
}

OutcomeStats::OutcomeStats(size_t dim) {
    allocate(dim);
    float* d = data();
    const float inf = std::numeric_limits<float>::infinity();
    for (size_t i = 0; i < dim; ++i) {
        d[i] = 0.0f;
        d[dim + i] = 0.0f;
        d[2 * dim + i] = inf;
        d[3 * dim + i] = -inf;
    }
}

OutcomeStats::OutcomeStats(const OutcomeStats& other) : count_(other.count_) {
    allocate(other.dim_);
    if (dim_) std::memcpy(data(), other.data(), 4 * dim_ * sizeof(float));
}

OutcomeStats::OutcomeStats(OutcomeStats&& other) noexcept : count_(other.count_), dim_(other.dim_) {
    if (dim_ <= 1) {
        std::memcpy(inline_, other.inline_, sizeof(inline_));
    } else {
        heap_ = other.heap_;
        other.dim_ = 0;  // the source keeps an empty, dimension-0 state
        other.count_ = 0;
    }
}

OutcomeStats& OutcomeStats::operator=(const OutcomeStats& other) {
    if (this != &other) {
        OutcomeStats copy(other);
        *this = std::move(copy);
    }
    return *this;
}

OutcomeStats& OutcomeStats::operator=(OutcomeStats&& other) noexcept {
    if (this != &other) {
        release();
        count_ = other.count_;
        dim_ = other.dim_;
        if (dim_ <= 1) {
            std::memcpy(inline_, other.inline_, sizeof(inline_));
        } else {
            heap_ = other.heap_;
            other.dim_ = 0;
            other.count_ = 0;
        }
    }
    return *this;
}

void OutcomeStats::update(std::span<const float> x) {
    if (x.size() != dim_)
        throw InternalFailure("Outcome dimension mismatch: expected " + std::to_string(dim_) + ", got " +
                              std::to_string(x.size()));
    if (count_ == kMaxCount) throw InternalFailure("Observation count overflow: the statistics are full");
    count_ += 1;
    const float t = static_cast<float>(count_);
    float* mean = row(0);
    float* m2 = row(1);
    float* lo = row(2);
    float* hi = row(3);
    for (size_t i = 0; i < dim_; ++i) {
        const float xi = x[i];
        const float delta = xi - mean[i];
        mean[i] = mean[i] + delta / t;
        m2[i] = m2[i] + delta * (xi - mean[i]);
        lo[i] = min_ignoring_nan(lo[i], xi);
        hi[i] = max_ignoring_nan(hi[i], xi);
    }
}

OutcomeStats OutcomeStats::merge(const OutcomeStats& b) const {
    const OutcomeStats& a = *this;
    if (a.count_ == 0) return b;
    if (b.count_ == 0) return a;
    if (a.dim_ != b.dim_) throw InternalFailure("Dimension mismatch in merge");
    if (a.count_ > kMaxCount - b.count_)
        throw InternalFailure("Observation count overflow in merge: the combined count exceeds 2^64 - 1");

    const uint64_t n = a.count_ + b.count_;
    const float total = static_cast<float>(n);
    const float na = static_cast<float>(a.count_);
    const float nb = static_cast<float>(b.count_);
    const float p = nb / total;
    const float q = (na * nb) / total;

    OutcomeStats out(a.dim_);
    out.count_ = n;
    const size_t d = a.dim_;
    for (size_t i = 0; i < d; ++i) {
        const float delta = b.row(0)[i] - a.row(0)[i];
        out.row(0)[i] = a.row(0)[i] + delta * p;
        out.row(1)[i] = q * (delta * delta) + (a.row(1)[i] + b.row(1)[i]);
        out.row(2)[i] = min_ignoring_nan(a.row(2)[i], b.row(2)[i]);
        out.row(3)[i] = max_ignoring_nan(a.row(3)[i], b.row(3)[i]);
    }
    return out;
}

std::optional<std::vector<float>> OutcomeStats::variance() const {
    if (count_ <= 1) return std::nullopt;
    const float n = static_cast<float>(count_);
    std::vector<float> out(dim_);
    for (size_t i = 0; i < dim_; ++i) out[i] = row(1)[i] / n;
    return out;
}

std::optional<std::vector<float>> OutcomeStats::std_dev() const {
    auto out = variance();
    if (out)
        for (float& v : *out) v = std::sqrt(v);
    return out;
}

std::optional<float> OutcomeStats::mean_scalar() const {
    if (count_ == 0) return std::nullopt;
    if (dim_ == 0)
        throw InternalFailure("Scalar mean of statistics with dimension 0: there is no first component");
    return row(0)[0];
}

std::optional<std::pair<std::vector<float>, std::vector<float>>> OutcomeStats::confidence_interval(
    float confidence) const {
    if (count_ <= 1) return std::nullopt;
    const float n = static_cast<float>(count_);
    const float root_n = std::sqrt(n);
    float z;
    if (count_ < 30) {
        z = 2.0f + 1.0f / root_n;
    } else if (std::fabs(confidence - 0.9f) < 0.01f) {
        z = 1.645f;
    } else if (std::fabs(confidence - 0.95f) < 0.01f) {
        z = 1.96f;
    } else if (std::fabs(confidence - 0.99f) < 0.01f) {
        z = 2.576f;
    } else {
        z = 1.96f;
    }
    std::vector<float> lower(dim_), upper(dim_);
    for (size_t i = 0; i < dim_; ++i) {
        const float sd = std::sqrt(row(1)[i] / n);
        const float se = sd / root_n;
        lower[i] = row(0)[i] - se * z;
        upper[i] = row(0)[i] + se * z;
    }
    return std::pair{std::move(lower), std::move(upper)};
}

}  // namespace halyard
