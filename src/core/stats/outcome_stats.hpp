// Running statistics of a stream of fixed-length outcome vectors (Welford's
// algorithm): count, per-component mean, sum of squared deviations, extremes.
// All arithmetic is single precision in the order written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

namespace halyard {

class OutcomeStats {
public:
    // Fresh statistics of dimension `dim`: count 0, mean and m2 zero, min +inf,
    // max -inf. Fails with std::bad_alloc when the dimension cannot be stored.
    explicit OutcomeStats(size_t dim = 1);
    OutcomeStats(const OutcomeStats& other);
    OutcomeStats(OutcomeStats&& other) noexcept;
    OutcomeStats& operator=(const OutcomeStats& other);
    OutcomeStats& operator=(OutcomeStats&& other) noexcept;
    ~OutcomeStats() { release(); }

    uint64_t count() const noexcept { return count_; }
    size_t dim() const noexcept { return dim_; }

    std::span<const float> mean() const noexcept { return {row(0), dim_}; }
    std::span<const float> m2() const noexcept { return {row(1), dim_}; }
    std::span<const float> min() const noexcept { return {row(2), dim_}; }
    std::span<const float> max() const noexcept { return {row(3), dim_}; }

    // Adds one observation. A length other than dim() is an internal failure
    // ("Outcome dimension mismatch: expected D, got N"); nothing changes then.
    void update(std::span<const float> outcome);
    void update_scalar(float value) { update(std::span<const float>(&value, 1)); }

    // Statistics of both streams together; neither operand changes. An empty
    // operand yields a copy of the other one (no dimension check); two
    // non-empty operands of different dimensions are an internal failure.
    OutcomeStats merge(const OutcomeStats& other) const;

    // Population variance m2 / count and its square root; none below 2 observations.
    std::optional<std::vector<float>> variance() const;
    std::optional<std::vector<float>> std_dev() const;

    // First component of the mean; none while empty. Statistics of dimension 0
    // have no first component: that is an internal failure.
    std::optional<float> mean_scalar() const;

    // (lower, upper) bounds of the mean; none below 2 observations.
    std::optional<std::pair<std::vector<float>, std::vector<float>>> confidence_interval(float confidence) const;

private:
    // Four rows of `dim_` floats: mean, m2, min, max. Statistics of dimension
    // 0 or 1 (every memory record carries one) keep them inline.
    float* row(size_t r) noexcept { return data() + r * dim_; }
    const float* row(size_t r) const noexcept { return data() + r * dim_; }
    float* data() noexcept { return dim_ <= 1 ? inline_ : heap_; }
    const float* data() const noexcept { return dim_ <= 1 ? inline_ : heap_; }
    void allocate(size_t dim);
    void release() noexcept;

    uint64_t count_ = 0;
    size_t dim_ = 0;
    union {
        float inline_[4];
        float* heap_;
    };
};

}  // namespace halyard
