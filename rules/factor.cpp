#include "rules/factor.h"

#include <cmath>
#include <limits>
#include <span>

#include "base/parameters.h"
#include "base/workers.h"

namespace tarn {
namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();

// 1 / (mean reachability distance to the neighbours), the reachability distance to o being
// the larger of the distance and o's k-distance.
double density(const Block& block, const NeighbourValues& kdist, int32_t row) {
    const NeighbourLists& out = block.out;
    double reach = 0.0;
    for (size_t at = out.at(row); at < out.at(row + 1); ++at) {
        const double d = block.distance(row, at);
        reach += d < kdist[at] ? kdist[at] : d;
    }
    return 1 / (reach / static_cast<double>(out.k));
}

// Counts a non-finite factor that an infinite density made so.
void count_duplicate(double factor, bool infinite_density, DuplicateScores* counts) {
    if (std::isfinite(factor) || !infinite_density) return;
    if (std::isnan(factor)) {
        ++counts->nan;
    } else if (factor > 0) {
        ++counts->inf;
    }
}

}  // namespace

DuplicateScores lof_kernel(const Block& block, Exchange& exchange, const Parameters* p,
                           Verdict* v) {
    const NeighbourLists& out = block.out;
    const int32_t threads = worker_threads(p->threads);
    const size_t n = static_cast<size_t>(out.n);
    Array<double> own_density;
    assign_on_threads(own_density, n, 0.0, threads);
    {
        // The neighbours' k-distances are released before their densities are fetched.
        const NeighbourValues kdist =
            exchange.neighbours(out, std::span<const double>(out.kdist.data(), out.kdist.size()));
        for_each_row(out, threads, [&](int32_t, int32_t row) {
            own_density[static_cast<size_t>(row)] = density(block, kdist, row);
        });
    }
    const NeighbourValues neighbour_density = exchange.neighbours(out, own_density);
    for_each_row(out, threads, [&](int32_t, int32_t row) {
        const size_t i = static_cast<size_t>(row);
        double sum = 0.0;
        for (size_t at = out.at(row); at < out.at(row + 1); ++at)
            sum += neighbour_density[at];
        v->lof[i] = (sum / own_density[i]) / static_cast<double>(out.k);
        v->score[i] = v->lof[i];
        v->marked[i] = v->indegree[i] <= 0 || v->lof[i] > p->th ? 1 : 0;
    });
    DuplicateScores counts{0, 0};
    for (int32_t row = 0; row < out.n; ++row) {
        const size_t i = static_cast<size_t>(row);
        if (std::isfinite(v->lof[i])) continue;  // a finite factor is no duplicate's
        bool infinite = own_density[i] == kInfinity;
        for (size_t at = out.at(row); at < out.at(row + 1) && !infinite; ++at)
            infinite = neighbour_density[at] == kInfinity;
        count_duplicate(v->lof[i], infinite, &counts);
    }
    return exchange.duplicates(counts);
}

}  // namespace tarn
