#include "graph/metric.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "base/parameters.h"

namespace tarn {
namespace {

// The names metric_by_name reads, by MetricKind.
constexpr const char* kNames[] = {"euclidean", "manhattan", "chebyshev", "minkowski", "cosine"};

}  // namespace

Metric metric_minkowski(double p) {
    if (p == 1.0) return {MetricKind::kManhattan, 1.0};
    if (p == 2.0) return {MetricKind::kEuclidean, 2.0};
    return {MetricKind::kMinkowski, p};
}

Metric metric_of(const Parameters* p) {
    const MetricKind kind = static_cast<MetricKind>(p->metric);
    return kind == MetricKind::kMinkowski ? metric_minkowski(p->minkowski_p) : Metric{kind, 2.0};
}

double metric_nan_key(const Metric& m, const double* a, const double* b, int32_t features) {
    // The Chebyshev key compares bits and never gets here. Once the sum is not a number it
    // stays; before, adding a not-a-number term gives that term, the only one of the two.
    double sum = 0.0;
    for (int32_t i = 0; i < features && !std::isnan(sum); ++i) {
        const double difference = a[i] - b[i];
        switch (m.kind) {
            case MetricKind::kEuclidean:
                sum += difference * difference;
                break;
            case MetricKind::kManhattan:
                sum += std::fabs(difference);
                break;
            case MetricKind::kMinkowski:
                sum += std::pow(std::fabs(difference), m.p);
                break;
            default:  // the cosine's dot product: a not-a-number factor a[i] wins, quieted
                sum += std::isnan(a[i]) ? a[i] + 0.0 : a[i] * b[i];
                break;
        }
    }
    return sum;
}

bool metric_by_name(const char* text, Metric* metric, const char** why) {
    for (int32_t kind = 0; kind < static_cast<int32_t>(std::size(kNames)); ++kind) {
        if (static_cast<MetricKind>(kind) == MetricKind::kMinkowski) continue;
        if (std::strcmp(text, kNames[kind]) == 0) {
            *metric = {static_cast<MetricKind>(kind), 2.0};
            return true;
        }
    }
    constexpr const char kMinkowski[] = "minkowski:";
    if (std::strncmp(text, kMinkowski, sizeof kMinkowski - 1) != 0) {
        *why = "is not a metric: euclidean, manhattan, chebyshev, minkowski:P or cosine";
        return false;
    }
    const char* number = text + sizeof kMinkowski - 1;
    char* end;
    const double p = std::strtod(number, &end);
    if (end == number || *end != '\0' || !std::isfinite(p) || !(p >= 1.0)) {
        *why = "is not minkowski:P with P a finite number, 1 or more";
        return false;
    }
    *metric = metric_minkowski(p);
    return true;
}

const char* metric_name(MetricKind kind) {
    return kNames[static_cast<int32_t>(kind)];
}

bool metric_has_box_bound(const Metric& metric) {
    return metric.kind != MetricKind::kCosine;
}

double metric_box_key_bound(const Metric& m, const double* q, const double* lo, const double* hi,
                            int32_t features) {
    if (!metric_has_box_bound(m)) return 0.0;
    double bound = 0.0;
    for (int32_t i = 0; i < features; ++i) {
        // At most one of the two differences is positive.
        const double gap = std::fmax(std::fmax(lo[i] - q[i], q[i] - hi[i]), 0.0);
        bound = metric_gap_add(m, bound, metric_gap_term(m, gap));
    }
    return bound;
}

double metric_box_bound(const Metric& m, const double* q, const double* lo, const double* hi,
                        int32_t features) {
    const double key = metric_box_key_bound(m, q, lo, hi, features);
    if (m.kind != MetricKind::kMinkowski) return metric_root(m, key);
    return std::nextafter(std::nextafter(metric_root(m, key), 0.0), 0.0);
}

double metric_boxes_bound(const Metric& m, const double* lo1, const double* hi1, const double* lo2,
                          const double* hi2, int32_t features) {
    double key = 0.0;
    for (int32_t i = 0; i < features; ++i) {
        // For x inside the first box, each difference is at least the one between the corners,
        // rounded the same way: the gap never exceeds a vector's own gap to the second box.
        const double gap = std::max(std::max(lo2[i] - hi1[i], lo1[i] - hi2[i]), 0.0);
        key = metric_gap_add(m, key, metric_gap_term(m, gap));
    }
    if (m.kind != MetricKind::kMinkowski) return metric_root(m, key);
    return std::nextafter(std::nextafter(metric_root(m, key), 0.0), 0.0);
}

}  // namespace tarn
