#include "rules/incoming.h"

#include <cfloat>
#include <limits>

#include "base/parameters.h"

namespace tarn {
namespace {

// (max − min) × th − min, the least and greatest compared as a walk over every vertex compares
// them: a not-a-number never wins.
double incoming_threshold(const Block& block, Exchange& exchange, double th) {
    const NeighbourLists& out = block.out;
    double minimum = DBL_MAX;
    double maximum = 0.0;
    for (int32_t s = 0; s < out.n; ++s) {
        for (size_t at = out.at(s); at < out.at(s + 1); ++at) {
            const double d = block.distance(s, at);
            if (at == out.at(s) && d < minimum) minimum = d;
            if (d > maximum) maximum = d;
        }
    }
    minimum = exchange.least(minimum);
    maximum = exchange.greatest(maximum);
    return (maximum - minimum) * th - minimum;
}

template <bool kMean>
DuplicateScores incoming_kernel(const Block& block, Exchange& exchange, const Parameters* p,
                                Verdict* v) {
    const InboundIndex& in = block.in;
    const double threshold = incoming_threshold(block, exchange, p->th);
    for (size_t i = 0; i < v->indegree.size(); ++i) {
        const int32_t d = v->indegree[i];
        if (d == 0) {
            v->marked[i] = 1;
            v->score[i] = std::numeric_limits<double>::infinity();
            continue;
        }
        double measure = 0.0;
        for (int64_t j = in.first[i]; j < in.first[i + 1]; ++j) {
            const double dist = in.dist[static_cast<size_t>(j)];
            if (kMean) {
                measure += dist;
            } else if (dist > measure) {
                measure = dist;
            }
        }
        if (kMean) measure = measure / static_cast<double>(p->k);
        v->score[i] = static_cast<double>(p->k / d) * measure;
        v->marked[i] = v->score[i] > threshold ? 1 : 0;
    }
    return {0, 0};
}

}  // namespace

DuplicateScores mean_incoming_kernel(const Block& block, Exchange& exchange, const Parameters* p,
                                     Verdict* v) {
    return incoming_kernel<true>(block, exchange, p, v);
}

DuplicateScores max_incoming_kernel(const Block& block, Exchange& exchange, const Parameters* p,
                                    Verdict* v) {
    return incoming_kernel<false>(block, exchange, p, v);
}

}  // namespace tarn
