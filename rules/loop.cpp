#include "rules/loop.h"

#include <cmath>
#include <numbers>

#include "base/parameters.h"
#include "base/workers.h"

namespace tarn {
namespace {

// The number of standard deviations of the probabilistic distance.
constexpr double kLambda = 3.0;

// λ · sqrt(the mean squared distance to the neighbours).
double probabilistic_distance(const Block& block, int32_t row) {
    const NeighbourLists& out = block.out;
    double squares = 0.0;
    for (size_t at = out.at(row); at < out.at(row + 1); ++at) {
        const double d = block.distance(row, at);
        squares += d * d;
    }
    return kLambda * std::sqrt(squares / static_cast<double>(out.k));
}

// The sum of the neighbours' probabilistic distances, nearest first.
double neighbour_sum(const NeighbourLists& out, const NeighbourValues& pdist, int32_t row) {
    double sum = 0.0;
    for (size_t at = out.at(row); at < out.at(row + 1); ++at)
        sum += pdist[at];
    return sum;
}

// nPLOF over every block: λ · sqrt(the mean of the finite PLOF²).
// λ · sqrt(the mean of the finite PLOF²). Where the largest PLOF would square beyond the largest
// double, every PLOF is first divided by a power of two above it, exactly, and the root
// multiplied back: nPLOF stays finite, and data whose squares fit are summed unscaled.
double normalisation(const Array<double>& plof, Exchange& exchange) {
    double largest = 0.0;
    for (const double x : plof) {
        if (std::isfinite(x) && std::fabs(x) > largest) largest = std::fabs(x);
    }
    largest = exchange.greatest(largest);
    constexpr double kSquaresFit = 1e150;
    const int scale = largest > kSquaresFit ? std::ilogb(largest) + 1 : 0;
    ExactSum squares;
    int64_t finite = 0;
    for (const double x : plof) {
        if (!std::isfinite(x)) continue;
        const double scaled = std::ldexp(x, -scale);
        squares.add(scaled * scaled);
        ++finite;
    }
    const double sum = exchange.exact_sum(squares);
    const double count = static_cast<double>(exchange.total(finite));
    return kLambda * std::ldexp(std::sqrt(sum / count), scale);
}

double probability(double plof, double norm) {
    if (norm == 0 && std::isfinite(plof)) return 0.0;
    const double e = std::erf(plof / (norm * std::numbers::sqrt2));
    return e <= 0 ? 0.0 : e;  // -0 too; not-a-number stays
}

}  // namespace

DuplicateScores loop_kernel(const Block& block, Exchange& exchange, const Parameters* p,
                            Verdict* v) {
    const NeighbourLists& out = block.out;
    const int32_t threads = worker_threads(p->threads);
    Array<double> own_pdist(static_cast<size_t>(out.n));
    for_each_row(out, threads, [&](int32_t, int32_t row) {
        own_pdist[static_cast<size_t>(row)] = probabilistic_distance(block, row);
    });
    const NeighbourValues pdist = exchange.neighbours(out, own_pdist);
    // PLOF waits in the score for nPLOF.
    for_each_row(out, threads, [&](int32_t, int32_t row) {
        const double mean = neighbour_sum(out, pdist, row) / static_cast<double>(out.k);
        v->score[static_cast<size_t>(row)] = own_pdist[static_cast<size_t>(row)] / mean - 1;
    });
    const double norm = normalisation(v->score, exchange);
    DuplicateScores counts{0, 0};
    for (int32_t row = 0; row < out.n; ++row) {
        const size_t i = static_cast<size_t>(row);
        v->score[i] = probability(v->score[i], norm);
        v->lof[i] = v->score[i];
        if (std::isfinite(v->score[i]) || neighbour_sum(out, pdist, row) != 0) continue;
        ++(std::isnan(v->score[i]) ? counts.nan : counts.inf);
    }
    return exchange.duplicates(counts);
}

}  // namespace tarn
