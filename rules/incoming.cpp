#include "rules/incoming.h"

#include <algorithm>
#include <cfloat>
#include <limits>

#include "base/parameters.h"
#include "base/workers.h"

namespace tarn {
namespace {

// The least first distance and the greatest distance of a range of rows, compared as a walk
// compares them: a not-a-number never wins, and of equal values the first stays.
struct Extremes {
    double minimum = DBL_MAX;
    double maximum = 0.0;

    void take(double least, double greatest) {
        if (least < minimum) minimum = least;
        if (greatest > maximum) maximum = greatest;
    }
};

// (max − min) × th − min over every block. The rows are measured in ranges on the workers and
// the ranges' extremes folded in row order, which gives the walk's result bit for bit.
double incoming_threshold(const Block& block, Exchange& exchange, double th, int32_t threads) {
    const NeighbourLists& out = block.out;
    const int32_t ranges = (out.n + kKernelGrain - 1) / kKernelGrain;
    Array<Extremes> found(static_cast<size_t>(ranges));
    auto measure = [&](int32_t, int32_t begin, int32_t end) {
        for (int32_t range = begin; range < end; ++range) {
            Extremes& mine = found[static_cast<size_t>(range)];
            const int32_t last = std::min(out.n, (range + 1) * kKernelGrain);
            for (int32_t s = range * kKernelGrain; s < last; ++s) {
                for (size_t at = out.at(s); at < out.at(s + 1); ++at) {
                    const double d = block.distance(s, at);
                    mine.take(at == out.at(s) ? d : DBL_MAX, d);
                }
            }
        }
    };
    for_each_range(ranges, 1, threads, measure);
    Extremes all;
    for (const Extremes& range : found)
        all.take(range.minimum, range.maximum);
    const double minimum = exchange.least(all.minimum);
    const double maximum = exchange.greatest(all.maximum);
    return (maximum - minimum) * th - minimum;
}

template <bool kMean>
DuplicateScores incoming_kernel(const Block& block, Exchange& exchange, const Parameters* p,
                                Verdict* v) {
    const InboundIndex& in = block.in;
    const double threshold = incoming_threshold(block, exchange, p->th, worker_threads(p->threads));
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
