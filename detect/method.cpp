#include "detect/method.h"

#include <algorithm>
#include <cmath>

namespace tarn {
namespace {

// Neighbours in the sample the estimate reads.
constexpr int32_t kSampleNeighbours = 10;

// A ratio of two neighbour distances counts at most this much, so that equal vectors (a ratio
// without bound) weigh as a very low dimension instead of an infinite one.
constexpr double kLargestLogRatio = 16.0;

// The tree is expected to be faster below the dimension kLimitBase + kLimitSlope × log10(n / k),
// and below a ceiling. A search visits more vectors the more dimensions the data fill near it
// (about k × g^dimension, g near 2 on the benchmark's data), the brute force measures n per
// vector, so the dimension where the two meet rises with log(n / k). From bench/grid.sh (k = 10):
// at n = 10⁴ the tree wins up to about 6.5 dimensions, at 5 × 10⁴ up to about 8.6; the README
// gives the table. Beyond about 9 dimensions the benchmark's uniform data make the tree 2 to 16
// times slower at every n up to 2 × 10⁵, while clustered data of 8.5 still favour it: the
// ceiling is kCeiling up to n / k = 10^kCeilingFrom. At n = 10⁶ uniform data of 9.1 dimensions
// made the tree 1.8 times faster, so beyond that the ceiling rises too, more slowly than the
// limit: uniform data of 11.9 dimensions stay far slower on the tree, and so did clustered data
// of 15.
constexpr double kLimitBase = -4.0;
constexpr double kLimitSlope = 3.5;
constexpr double kCeiling = 8.9;
constexpr double kCeilingFrom = 4.3;
constexpr double kCeilingSlope = 1.5;

}  // namespace

int32_t sample_size(int32_t n) {
    return std::min({n, kDimensionSample, std::max(n / 8, kSampleNeighbours + 1)});
}

int64_t sample_position(int32_t i, int32_t n) {
    return static_cast<int64_t>(i) * n / sample_size(n);
}

double sample_dimension(const Rows& vectors) {
    const int32_t n = static_cast<int32_t>(vectors.size());
    if (n < 3) return 0.0;
    Array<const double*> rows(static_cast<size_t>(sample_size(n)));
    for (size_t i = 0; i < rows.size(); ++i)
        rows[i] = vectors[static_cast<size_t>(sample_position(static_cast<int32_t>(i), n))];
    return sample_dimension_of(rows, vectors.features);
}

double sample_dimension_of(std::span<const double* const> rows, int32_t features) {
    const int32_t s = static_cast<int32_t>(rows.size());
    if (s < 3) return 0.0;
    const int32_t kept = std::min(kSampleNeighbours, s - 1);
    Array<double> nearest(static_cast<size_t>(kept));
    double sum = 0.0;  // of each sample vector's mean log ratio
    int32_t counted = 0;
    for (int32_t i = 0; i < s; ++i) {
        std::fill(nearest.begin(), nearest.end(), HUGE_VAL);
        for (int32_t j = 0; j < s; ++j) {
            if (j == i) continue;
            double square = 0.0;
            for (int32_t c = 0; c < features; ++c) {
                const double difference =
                    rows[static_cast<size_t>(i)][c] - rows[static_cast<size_t>(j)][c];
                square += difference * difference;
            }
            if (square >= nearest[static_cast<size_t>(kept - 1)]) continue;
            size_t at = static_cast<size_t>(kept - 1);
            for (; at > 0 && nearest[at - 1] > square; --at)
                nearest[at] = nearest[at - 1];
            nearest[at] = square;
        }
        const double farthest = nearest[static_cast<size_t>(kept - 1)];
        // Squares that overflow say nothing of the dimension near the vector (and infinity over
        // infinity is not a number): such a vector is left out.
        if (std::isinf(farthest)) continue;
        ++counted;
        double logs = 0.0;
        for (int32_t j = 0; j + 1 < kept; ++j) {
            const double near = nearest[static_cast<size_t>(j)];
            // Squared distances: half the log of their ratio is the log of the distances' ratio.
            const double ratio = near > 0 ? 0.5 * std::log(farthest / near) : kLargestLogRatio;
            logs += std::min(ratio, kLargestLogRatio);
        }
        sum += kept > 1 ? logs / (kept - 1) : kLargestLogRatio;
    }
    if (counted == 0) return 0.0;
    const double mean = sum / counted;
    if (!(mean > 0)) return 0.0;
    return std::min(1.0 / mean, static_cast<double>(features));
}

Method choose_method(int32_t n, int32_t k, double dimension) {
    const double decades = std::log10(static_cast<double>(n) / k);
    const double limit = kLimitBase + kLimitSlope * decades;
    const double ceiling = kCeiling + kCeilingSlope * std::max(0.0, decades - kCeilingFrom);
    return dimension < std::min(limit, ceiling) ? Method::kTree : Method::kBruteForce;
}

}  // namespace tarn
