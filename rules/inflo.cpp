#include "rules/inflo.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "base/parameters.h"
#include "base/workers.h"

namespace tarn {
namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();

// A member of an influence space.
struct Member {
    int32_t vertex;
    double density;
};

// The densities of one vertex's influence space, added in ascending vertex order.
struct Influence {
    double sum = 0.0;
    int64_t size = 0;
    bool infinite = false;  // a density of +infinity took part

    void add(double density) {
        sum += density;
        ++size;
        infinite = infinite || density == kInfinity;
    }
};

// The influence space of the block's vertex `row`: its outbound list, sorted into `sorted`
// (a worker's scratch), merged with its inbound sources, which ascend.
Influence influence(const Block& block, const NeighbourValues& out_density,
                    const NeighbourValues& in_density, int32_t row, Array<Member>& sorted) {
    const NeighbourLists& out = block.out;
    sorted.clear();
    for (size_t at = out.at(row); at < out.at(row + 1); ++at)
        sorted.push_back({out.target[at], out_density[at]});
    std::sort(sorted.begin(), sorted.end(),
              [](const Member& a, const Member& b) { return a.vertex < b.vertex; });
    const InboundIndex& in = block.in;
    const size_t i = static_cast<size_t>(row);
    size_t next_out = 0;
    size_t next_in = static_cast<size_t>(in.first[i]);
    const size_t in_end = static_cast<size_t>(in.first[i + 1]);
    Influence space;
    while (next_out < sorted.size() || next_in < in_end) {
        const int32_t source =
            next_in < in_end ? in.source[next_in] : std::numeric_limits<int32_t>::max();
        if (next_out < sorted.size() && sorted[next_out].vertex <= source) {
            space.add(sorted[next_out].density);
            if (sorted[next_out].vertex == source) ++next_in;  // kept both ways: counted once
            ++next_out;
        } else {
            space.add(in_density[next_in++]);
        }
    }
    return space;
}

}  // namespace

DuplicateScores inflo_kernel(const Block& block, Exchange& exchange, const Parameters* p,
                             Verdict* v) {
    const NeighbourLists& out = block.out;
    const int32_t threads = worker_threads(p->threads);
    Array<double> own_density(static_cast<size_t>(out.n));
    for (int32_t row = 0; row < out.n; ++row)
        own_density[static_cast<size_t>(row)] = 1 / out.kdist[static_cast<size_t>(row)];
    const NeighbourValues out_density = exchange.neighbours(out, own_density);
    const NeighbourValues in_density = exchange.sources(block.in, own_density);
    Array<Array<Member>> scratch(static_cast<size_t>(threads));
    // Whether a density of +infinity took part in each vertex's score.
    Array<unsigned char> infinite(static_cast<size_t>(out.n));
    for_each_row(out, threads, [&](int32_t worker, int32_t row) {
        const size_t i = static_cast<size_t>(row);
        const Influence space =
            influence(block, out_density, in_density, row, scratch[static_cast<size_t>(worker)]);
        v->score[i] = (space.sum / static_cast<double>(space.size)) / own_density[i];
        v->lof[i] = v->score[i];
        infinite[i] = space.infinite || own_density[i] == kInfinity;
    });
    DuplicateScores counts{0, 0};
    for (size_t i = 0; i < v->score.size(); ++i) {
        if (std::isfinite(v->score[i]) || infinite[i] == 0) continue;
        ++(std::isnan(v->score[i]) ? counts.nan : counts.inf);
    }
    return exchange.duplicates(counts);
}

}  // namespace tarn
