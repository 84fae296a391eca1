#include "rules/distance.h"

#include "base/parameters.h"
#include "base/workers.h"

namespace tarn {
namespace {

double kth_distance(const Block& block, int32_t row) {
    return block.out.kdist[static_cast<size_t>(row)];
}

double distance_sum(const Block& block, int32_t row) {
    double sum = 0.0;
    for (size_t at = block.out.at(row); at < block.out.at(row + 1); ++at)
        sum += block.distance(row, at);
    return sum;
}

// Scores every vertex of the block by its own list; needs nothing beyond the block.
template <double (*kScore)(const Block&, int32_t)>
DuplicateScores own_list_kernel(const Block& block, const Parameters* p, Verdict* v) {
    const NeighbourLists& out = block.out;
    for_each_row(out, worker_threads(p->threads), [&](int32_t, int32_t row) {
        const size_t i = static_cast<size_t>(row);
        v->score[i] = kScore(block, row);
        v->lof[i] = v->score[i];
    });
    return {0, 0};
}

}  // namespace

DuplicateScores kth_distance_kernel(const Block& block, Exchange& /*exchange*/, const Parameters* p,
                                    Verdict* v) {
    return own_list_kernel<kth_distance>(block, p, v);
}

DuplicateScores distance_sum_kernel(const Block& block, Exchange& /*exchange*/, const Parameters* p,
                                    Verdict* v) {
    return own_list_kernel<distance_sum>(block, p, v);
}

}  // namespace tarn
