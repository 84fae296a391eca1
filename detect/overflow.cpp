#include "detect/overflow.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "detect/construct.h"
#include "vectors/fvector.h"

namespace {

using tarn::Rows;

bool all_finite(const double* x, int32_t features) {
    for (int32_t i = 0; i < features; ++i)
        if (!std::isfinite(x[i])) return false;
    return true;
}

// Whether the distance of two finite rows overflows. The Euclidean one is the squared distance
// as the construction sums it, stopping as soon as the partial sum is infinite: sums of squares
// never come back from infinity. Every other key overflows exactly when its distance does (their
// roots keep finite values finite and infinity infinite).
bool distance_overflows(const tarn::Metric& metric, const double* x, const double* y,
                        int32_t features) {
    if (metric.kind != tarn::MetricKind::kEuclidean)
        return std::isinf(tarn::metric_key(metric, x, y, features));
    double sum = 0.0;
    for (int32_t i = 0; i < features; ++i) {
        const double difference = x[i] - y[i];
        sum += difference * difference;
        if (std::isinf(sum)) return true;
    }
    return false;
}

// An upper bound of the key term of a component whose absolute difference is at most range (as
// rounded): the metric's own term, which is nondecreasing, but for Minkowski's pow, faithful
// only, raised two steps as metric_gap_term lowers it.
double range_term(const tarn::Metric& metric, double range) {
    if (metric.kind != tarn::MetricKind::kMinkowski) return tarn::metric_gap_term(metric, range);
    const double inf = std::numeric_limits<double>::infinity();
    return std::nextafter(std::nextafter(std::pow(range, metric.p), inf), inf);
}

// The cosine has no key: its quotient is not a number or 0 when a finite vector's squared norm
// overflows (beyond about 1.3e154), which is what overflow means for it.
bool norms_overflow(const Rows& rows) {
    for (const double* x : rows.row) {
        if (!all_finite(x, rows.features)) continue;
        double sum = 0.0;
        for (int32_t i = 0; i < rows.features; ++i)
            sum += x[i] * x[i];
        if (std::isinf(sum)) return true;
    }
    return false;
}

// The check of distances_overflow over the rows' features; kept_infinite(finite) answers
// whether a kept edge between two rows marked finite has an infinite distance.
template <typename KeptInfinite>
bool overflows(const Rows& rows, KeptInfinite kept_infinite) {
    const tarn::Metric& metric = rows.metric;
    if (!tarn::metric_has_box_bound(metric)) return norms_overflow(rows);
    const int32_t dim = rows.features;
    // One pass: which rows are finite, and the finite rows holding each column's least and
    // greatest value. The finite rows are listed only when every pair must be measured, which
    // is rare: a list of them all is a pointer a vector.
    std::vector<char> is_finite(rows.size());
    std::vector<const double*> low(static_cast<size_t>(dim)), high = low;
    size_t finite_count = 0;
    for (size_t i = 0; i < rows.size(); ++i) {
        const double* x = rows[i];
        is_finite[i] = all_finite(x, dim) ? 1 : 0;
        if (is_finite[i] == 0) continue;
        if (finite_count++ == 0) {
            std::fill(low.begin(), low.end(), x);
            std::fill(high.begin(), high.end(), x);
        }
        for (size_t c = 0; c < low.size(); ++c) {
            if (x[c] < low[c][c]) low[c] = x;
            if (x[c] > high[c][c]) high[c] = x;
        }
    }
    if (finite_count < 2) return false;

    // Rounding is monotonic, so no pair's difference in a column exceeds the computed range,
    // no square (key term) exceeds the range's, and, combined in the same order, no pair's key
    // exceeds the combination of the ranges' terms: when that is finite, nothing overflowed.
    double bound = 0.0;
    for (size_t c = 0; c < low.size(); ++c) {
        const double range = high[c][c] - low[c][c];
        bound = tarn::metric_gap_add(metric, bound, range_term(metric, range));
    }
    if (std::isfinite(bound)) return false;

    // The pairs spanning a column's range hold the largest term of that column: when one of
    // them overflows, overflow is proven.
    for (size_t c = 0; c < low.size(); ++c)
        if (distance_overflows(metric, low[c], high[c], dim)) return true;
    // So does an infinite kept distance between two finite vectors.
    if (kept_infinite(is_finite)) return true;
    // Undecided: large ranges spread over several columns. Every pair is measured.
    std::vector<const double*> finite;
    finite.reserve(finite_count);
    for (size_t i = 0; i < rows.size(); ++i)
        if (is_finite[i] != 0) finite.push_back(rows[i]);
    for (size_t i = 0; i < finite.size(); ++i)
        for (size_t j = i + 1; j < finite.size(); ++j)
            if (distance_overflows(metric, finite[i], finite[j], dim)) return true;
    return false;
}

}  // namespace

namespace tarn {

bool distances_overflow(const Rows& rows, const NeighbourLists& lists) {
    return overflows(rows, [&](const std::vector<char>& finite) {
        for (int32_t s = 0; s < lists.n; ++s) {
            for (size_t at = lists.at(s); at < lists.at(s + 1); ++at) {
                if (finite[size_t(s)] && finite[size_t(lists.target[at])] &&
                    std::isinf(tarn::entry_distance(rows, rows[size_t(s)], lists, at))) {
                    return true;
                }
            }
        }
        return false;
    });
}

}  // namespace tarn
