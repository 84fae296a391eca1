#include "detect/overflow.h"

#include <cmath>
#include <vector>

#include "vectors/fvector.h"

namespace {

bool all_finite(const Vertex* v) {
    const double* x = v->vector->vector;
    for (int32_t i = 0; i < v->vector->dim; ++i)
        if (!std::isfinite(x[i])) return false;
    return true;
}

// The squared distance as the construction computes it (graph/graph.cpp: cdist), stopping as
// soon as the partial sum is infinite: sums of squares never come back from infinity.
bool squared_distance_overflows(const Vertex* a, const Vertex* b) {
    const double* x = a->vector->vector;
    const double* y = b->vector->vector;
    double sum = 0.0;
    for (int32_t i = 0; i < a->vector->dim; ++i) {
        const double difference = x[i] - y[i];
        sum += difference * difference;
        if (std::isinf(sum)) return true;
    }
    return false;
}

}  // namespace

namespace tarn {

bool distances_overflow(Graph* g) {
    std::vector<Vertex*> finite;
    Iterator* it = iterate_start();
    while (Vertex* v = iterate_vertex(g, it))
        if (all_finite(v)) finite.push_back(v);
    if (finite.size() < 2) return false;

    // The vertices holding each column's least and greatest value. Rounding is monotonic, so
    // no pair's difference in a column exceeds the computed range, no square exceeds the
    // range's square, and, summed in the same order, no pair's sum exceeds the sum of the
    // squared ranges: when that is finite, nothing overflowed.
    const int32_t dim = finite[0]->vector->dim;
    std::vector<Vertex*> low(static_cast<size_t>(dim), finite[0]), high = low;
    for (Vertex* v : finite) {
        for (int32_t i = 0; i < dim; ++i) {
            const double x = v->vector->vector[i];
            const size_t c = static_cast<size_t>(i);
            if (x < low[c]->vector->vector[i]) low[c] = v;
            if (x > high[c]->vector->vector[i]) high[c] = v;
        }
    }
    double bound = 0.0;
    for (size_t c = 0; c < low.size(); ++c) {
        const double range = high[c]->vector->vector[c] - low[c]->vector->vector[c];
        bound += range * range;
    }
    if (std::isfinite(bound)) return false;

    // The pairs spanning a column's range hold the largest term of that column: when one of
    // them overflows, overflow is proven.
    for (size_t c = 0; c < low.size(); ++c)
        if (squared_distance_overflows(low[c], high[c])) return true;
    // So does an infinite kept distance between two finite vectors. The walk runs to its end,
    // which releases its cursor.
    bool kept_infinite = false;
    Iterator* edges = iterate_start();
    while (Edge* e = iterate_all_edges(g, edges))
        kept_infinite =
            kept_infinite || (std::isinf(e->dist) && all_finite(e->from) && all_finite(e->to));
    if (kept_infinite) return true;
    // Undecided: large ranges spread over several columns. Every pair is measured.
    for (size_t i = 0; i < finite.size(); ++i)
        for (size_t j = i + 1; j < finite.size(); ++j)
            if (squared_distance_overflows(finite[i], finite[j])) return true;
    return false;
}

}  // namespace tarn
