#include "rules/cof.h"

#include <cmath>

#include "base/parameters.h"
#include "base/workers.h"

namespace tarn {
namespace {

// The path's order of distances: a not-a-number is farther than every number.
bool nearer(double a, double b) {
    return a < b || (std::isnan(b) && !std::isnan(a));
}

// A worker's scratch for one path: each neighbour's least distance to the path so far, and
// whether it is on the path.
struct Path {
    Array<double> least;
    Array<unsigned char> taken;
};

// The average chaining distance of the block's vertex `row`.
double chaining_distance(const Block& block, int32_t row, Path& path) {
    const NeighbourLists& out = block.out;
    const size_t k = static_cast<size_t>(out.k);
    const size_t first = out.at(row);
    path.least.resize(k);
    for (size_t j = 0; j < k; ++j)
        path.least[j] = block.distance(row, first + j);
    path.taken.assign(k, 0);
    const double pairs = static_cast<double>(static_cast<int64_t>(k) * (out.k + 1));
    double ac = 0.0;
    for (size_t step = 0; step < k; ++step) {
        size_t next = k;
        for (size_t j = 0; j < k; ++j) {
            if (path.taken[j] == 0 && (next == k || nearer(path.least[j], path.least[next])))
                next = j;
        }
        path.taken[next] = 1;
        ac += path.least[next] * (static_cast<double>(2 * (k - step)) / pairs);
        const double* joined = block.rows[static_cast<size_t>(out.target[first + next])];
        for (size_t j = 0; j < k; ++j) {
            if (path.taken[j] != 0) continue;
            const double* other = block.rows[static_cast<size_t>(out.target[first + j])];
            const double d = metric_distance(block.rows.metric, joined, other, block.rows.features);
            if (nearer(d, path.least[j])) path.least[j] = d;
        }
    }
    return ac;
}

}  // namespace

DuplicateScores cof_kernel(const Block& block, Exchange& exchange, const Parameters* p,
                           Verdict* v) {
    const NeighbourLists& out = block.out;
    const int32_t threads = worker_threads(p->threads);
    Array<double> own_ac(static_cast<size_t>(out.n));
    Array<Path> paths(static_cast<size_t>(threads));
    for_each_row(out, threads, [&](int32_t worker, int32_t row) {
        own_ac[static_cast<size_t>(row)] =
            chaining_distance(block, row, paths[static_cast<size_t>(worker)]);
    });
    const NeighbourValues ac = exchange.neighbours(out, own_ac);
    // Whether the neighbours' chaining distances add to 0.
    Array<unsigned char> flat(static_cast<size_t>(out.n));
    for_each_row(out, threads, [&](int32_t, int32_t row) {
        const size_t i = static_cast<size_t>(row);
        double sum = 0.0;
        for (size_t at = out.at(row); at < out.at(row + 1); ++at)
            sum += ac[at];
        v->score[i] = (static_cast<double>(out.k) * own_ac[i]) / sum;
        v->lof[i] = v->score[i];
        flat[i] = sum == 0 ? 1 : 0;
    });
    DuplicateScores counts{0, 0};
    for (size_t i = 0; i < v->score.size(); ++i) {
        if (std::isfinite(v->score[i]) || flat[i] == 0) continue;
        ++(std::isnan(v->score[i]) ? counts.nan : counts.inf);
    }
    return exchange.duplicates(counts);
}

}  // namespace tarn
