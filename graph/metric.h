// The distance a run measures between two vectors, and what the builders need to measure it
// alike: one scalar definition of every metric's bits (metric_distance) and a conservative
// lower bound over a box (metric_box_bound).
//
// Every metric but the cosine is computed in two steps, a key accumulated over the components in
// ascending order and a root that turns the key into the distance: the Euclidean key is the sum
// of the squared differences (root: sqrt), the Manhattan key the sum of the absolute differences
// and the Chebyshev key the largest absolute difference (root: none), the Minkowski key the sum
// of |difference|^p (root: pow(key, 1 / p)). Each root is nondecreasing and maps 0 to 0 and
// infinity to infinity, so a builder may compare keys where it compares distances. A builder
// that computes a key lane by lane must make each lane's arithmetic the scalar one: the same
// operations on the same values in the same order, no contraction.
//
// The cosine distance is 1 − dot(a, b) / (‖a‖ · ‖b‖) on the vectors as given, with dot, ‖a‖² and
// ‖b‖² each summed in ascending order and the norms their roots, clamped to [0, 2]. A vector
// whose squared norm is 0 in doubles (a zero vector, or one whose components all square below
// the smallest double) has no direction: its distance is 0 to another such vector and 1 to every
// other. A not-a-number component gives a not-a-number distance, as in every metric.
//
// Which not-a-number, sign and payload, is part of the bits (the report prints "nan" or "-nan"),
// and the hardware leaves it to the order of the operands where both are not numbers, which a
// compiler may swap in a sum or a product. So a key that is not a number is taken again by
// metric_nan_key, which fixes it: the first not-a-number the running sum meets, a product of two
// taking its first factor's. Subtraction, the square of one value and fabs have one order.
#ifndef TARN_GRAPH_METRIC_H
#define TARN_GRAPH_METRIC_H

#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <limits>

struct Parameters;

namespace tarn {

// The metrics, by the value Parameters::metric holds (Euclidean, the default, is 0).
enum class MetricKind : int32_t { kEuclidean = 0, kManhattan, kChebyshev, kMinkowski, kCosine };

// A metric and, for kMinkowski, its exponent p: finite and at least 1, never 1 or 2 (those are
// kManhattan and kEuclidean, bit for bit, and metric_minkowski makes them so).
struct Metric {
    MetricKind kind = MetricKind::kEuclidean;
    double p = 2.0;
};

// The Minkowski metric of exponent p (finite, >= 1): Manhattan at 1, Euclidean at 2.
Metric metric_minkowski(double p);

// The metric a run's parameters select (metric and minkowski_p).
Metric metric_of(const Parameters* p);

// Reads a metric's command-line name: euclidean, manhattan, chebyshev, cosine or minkowski:P
// with P a finite number >= 1. Returns false and sets *why (a fixed text) on anything else.
bool metric_by_name(const char* text, Metric* metric, const char** why);

// The metric's name as metric_by_name reads it, without the exponent.
const char* metric_name(MetricKind kind);

// Whether the metric has a key and a box bound (every one but the cosine).
bool metric_has_box_bound(const Metric& metric);

// |x| as its bits, which order the non-negative doubles as they compare, with a not-a-number
// (its sign cleared) above infinity: the largest of such values propagates a not-a-number.
inline int64_t magnitude_bits(double x) {
    return std::bit_cast<int64_t>(std::fabs(x));
}

// The cosine distance from the dot product and the two norms (the roots of the squared norms),
// each flagged when its squared norm is 0. A quotient that rounding carries beyond ±1 is clamped;
// a not-a-number passes, also against a vector without direction.
inline double cosine_of_norms(double dot, double a_norm, double b_norm, bool a_zero, bool b_zero) {
    if (std::isnan(dot)) return dot;
    if (a_zero || b_zero) return a_zero && b_zero ? 0.0 : 1.0;
    const double distance = 1.0 - dot / (a_norm * b_norm);
    if (distance < 0.0) return 0.0;
    if (distance > 2.0) return 2.0;
    return distance;
}

// metric_key of a pair whose key came out not a number, with the not-a-number fixed as above.
double metric_nan_key(const Metric& m, const double* a, const double* b, int32_t features);

// The metric's key of a and b over their first `features` components (see above); for the
// cosine, which has none, the distance itself.
inline double metric_key(const Metric& m, const double* a, const double* b, int32_t features) {
    switch (m.kind) {
        case MetricKind::kEuclidean: {
            double sum = 0.0;
            for (int32_t i = 0; i < features; ++i) {
                const double difference = a[i] - b[i];
                sum += difference * difference;
            }
            return std::isnan(sum) ? metric_nan_key(m, a, b, features) : sum;
        }
        case MetricKind::kManhattan: {
            double sum = 0.0;
            for (int32_t i = 0; i < features; ++i)
                sum += std::fabs(a[i] - b[i]);
            return std::isnan(sum) ? metric_nan_key(m, a, b, features) : sum;
        }
        case MetricKind::kChebyshev: {
            int64_t largest = 0;
            for (int32_t i = 0; i < features; ++i) {
                const int64_t bits = magnitude_bits(a[i] - b[i]);
                if (bits > largest) largest = bits;
            }
            return std::bit_cast<double>(largest);
        }
        case MetricKind::kMinkowski: {
            double sum = 0.0;
            for (int32_t i = 0; i < features; ++i)
                sum += std::pow(std::fabs(a[i] - b[i]), m.p);
            return std::isnan(sum) ? metric_nan_key(m, a, b, features) : sum;
        }
        case MetricKind::kCosine:
            break;
    }
    double dot = 0.0, aa = 0.0, bb = 0.0;
    for (int32_t i = 0; i < features; ++i) {
        dot += a[i] * b[i];
        aa += a[i] * a[i];
        bb += b[i] * b[i];
    }
    if (std::isnan(dot)) return metric_nan_key(m, a, b, features);
    return cosine_of_norms(dot, std::sqrt(aa), std::sqrt(bb), aa == 0.0, bb == 0.0);
}

// The distance of a key (the identity for every metric without a root, the cosine's too).
inline double metric_root(const Metric& m, double key) {
    switch (m.kind) {
        case MetricKind::kEuclidean:
            return std::sqrt(key);
        case MetricKind::kMinkowski:
            return std::pow(key, 1.0 / m.p);
        default:
            return key;
    }
}

// The distance between a and b over their first `features` components, bit for bit as every
// builder computes it.
inline double metric_distance(const Metric& m, const double* a, const double* b, int32_t features) {
    return metric_root(m, metric_key(m, a, b, features));
}

// A lower bound of the metric's key term of one component whose absolute difference is at least
// gap (gap itself rounded as the key's subtraction rounds): never above the term any such
// difference gives. Minkowski's pow is faithful (within an ulp, glibc's within 0.52), not
// monotonic by contract: two steps down cover a term one ulp low and a bound one ulp high.
inline double metric_gap_term(const Metric& m, double gap) {
    switch (m.kind) {
        case MetricKind::kEuclidean:
            return gap * gap;
        case MetricKind::kMinkowski: {
            const double term = std::pow(gap, m.p);
            return std::nextafter(std::nextafter(term, 0.0), 0.0);
        }
        default:
            return gap;
    }
}

// A key bound's terms combined as the key combines its terms: summed in ascending order, or the
// largest for Chebyshev.
inline double metric_gap_add(const Metric& m, double bound, double term) {
    return m.kind == MetricKind::kChebyshev ? (term > bound ? term : bound) : bound + term;
}

// A lower bound of metric_key(q, x) over every x with lo[i] <= x[i] <= hi[i]: per component the
// gap to the box, rounded by the same subtraction the key makes, through metric_gap_term and
// combined in the key's order. Rounding is monotonic, so term by term and sum by sum (or
// maximum by maximum) the bound never exceeds the key of any vector inside. Meaningless (0)
// for the cosine, which has no key.
double metric_box_key_bound(const Metric& m, const double* q, const double* lo, const double* hi,
                            int32_t features);

// A lower bound of metric_distance(q, x) over every x inside the box [lo, hi]: the root of
// metric_box_key_bound, taken so that it stays below the root of any larger key (sqrt is
// correctly rounded and so monotonic; pow is lowered by two steps as above). The cosine has no
// bound (metric_has_box_bound): it gets 0, true but useless.
double metric_box_bound(const Metric& m, const double* q, const double* lo, const double* hi,
                        int32_t features);

// A lower bound of metric_box_bound(q, lo2, hi2) over every q inside the box [lo1, hi1], so of
// metric_distance between any vector of one box and any of the other.
double metric_boxes_bound(const Metric& m, const double* lo1, const double* hi1, const double* lo2,
                          const double* hi2, int32_t features);

// A key beyond which no key's root can be at most the root of kth (kth's distance D): whatever
// key a target has above it, its distance is above D. The Euclidean one is as tight as rounding
// allows (with D = sqrt(kth) as rounded, a square whose rounded root is at most D lies below
// D's next double squared exactly, and rounding keeps it at most up * up); without a root it is
// kth itself; for Minkowski, pow within an ulp either way moves a key by a factor of at most
// ((1 + u) / (1 − u))^p, u = 2^-52, and a D one ulp above kth's root by (1 + u)^p more, which
// exp(8 (p + 1) u), rounded up, covers. Infinite when no bound is finite.
// Inline: the tree search takes it at every change of its k nearest so far.
inline double metric_reach(const Metric& m, double kth) {
    constexpr double inf = std::numeric_limits<double>::infinity();
    switch (m.kind) {
        case MetricKind::kEuclidean: {
            // The next double above the root: for a positive finite double its bits plus one,
            // which is what nextafter gives, without the call.
            const double root = std::sqrt(kth);
            const bool plain = root > 0 && root < inf;
            const double up = plain ? std::bit_cast<double>(std::bit_cast<uint64_t>(root) + 1)
                                    : std::nextafter(root, inf);
            return up * up;
        }
        case MetricKind::kMinkowski:
            return std::nextafter(kth * std::exp(8.0 * (m.p + 1.0) * DBL_EPSILON), inf);
        default:
            return kth;
    }
}

}  // namespace tarn

#endif
