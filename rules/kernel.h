// What a rule's kernel works on and leaves: a block of vertices, with the exchange for what
// lies beyond it (rules/exchange.h), and the verdict on the block's vertices.
#ifndef TARN_RULES_KERNEL_H
#define TARN_RULES_KERNEL_H

#include <cassert>
#include <cstdint>

#include "base/alloc.h"
#include "base/workers.h"
#include "graph/lists.h"
#include "rules/exchange.h"

struct Parameters;

namespace tarn {

// The verdict on a block's vertices (a whole run's: every vector), in input order.
struct Verdict {
    Array<double> lof;              // the stored score the report prints: the local outlier
                                    // factor, a kScore rule's score, else 0
    Array<int32_t> label;           // the last column truncated toward zero
    Array<int32_t> marked;          // 1 for the outlier mark, else 0
    Array<int32_t> built_indegree;  // in-degree after construction
    Array<int32_t> indegree;        // in-degree the rule saw (after pruning for -m)
    Array<double> score;            // the rule's ranking score
};

// One block of vertices: their outbound lists (row i: the block's vertex i) and inbound index,
// every vector of the run (not only the block's: the targets'), and where each list row's own
// vector lies, source[i] for row i (rows.row from the block's first vertex on, or the vectors of
// queries scored against a reference, which are not among rows). An entry's distance is
// measured from the two (graph/lists.h).
//
// A block whose process does not hold its targets' vectors keeps each entry's distance as its
// builder measured it instead (dist, by entry); rows then hold none, and only the kernels that
// read no vector but through distance() run on it.
struct Block {
    const NeighbourLists& out;
    const InboundIndex& in;
    const Rows& rows;
    double* const* source;
    const double* dist = nullptr;

    // The distance of outbound entry `at` of the block's row `row`.
    double distance(int32_t row, size_t at) const {
        return dist != nullptr ? dist[at] : entry_distance(rows, source[row], out, at);
    }
};

// A rule's kernel: fills the verdict's score, marked (by the rule's own limit), indegree and
// lof for the block's vertices; indegree holds the in-degrees after construction when it is
// called (built_indegree is set after it). Returns the duplicate scores over every block (zeros for
// a rule whose scores zero distances cannot make non-finite).
using Kernel = DuplicateScores (*)(const Block& block, Exchange& exchange, const Parameters* p,
                                   Verdict* verdict);

// Vertices a worker thread takes at a time in a kernel's loops.
constexpr int32_t kKernelGrain = 1024;

// Runs body(worker, row) once for every row of out on `threads` threads (a count
// worker_threads gave), in the lists' order of locality where they keep one: the values of
// neighbours that consecutive rows read are then mostly in cache. No row's work may read what
// another row's writes in the same pass, so the order changes no bit.
template <typename Body>
void for_each_row(const NeighbourLists& out, int32_t threads, Body body) {
    // Lists joined or cut from others must drop or renumber their order.
    assert(out.order.empty() || out.order.size() == static_cast<size_t>(out.n));
    auto rows = [&](int32_t worker, int32_t begin, int32_t end) {
        for (int32_t at = begin; at < end; ++at)
            body(worker, out.order.empty() ? at : out.order[static_cast<size_t>(at)]);
    };
    for_each_range(out.n, kKernelGrain, threads, rows);
}

}  // namespace tarn

#endif
