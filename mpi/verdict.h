// The rules of a distributed run: each process judges the vertices of its block with the rule's
// kernel (rules/rules.h), from the outbound lists of its own sources, its block's inbound index
// and what the other processes send it, exactly as one process judges them, every value bit for
// bit.
//
// What travels (see doc/distributed.md for the volumes):
// - every edge (source, target) to the target's owner, for every rule: the owner then holds
//   the vertex's inbound list in the order a single process builds it (sources in file order,
//   since the blocks are in rank order and each process sends its edges in source order), and
//   measures each record's distance where the rule reads it, since it holds every vector;
// - through the exchange, what a kernel asks for beyond its block: the neighbours' values (the
//   local outlier factor's k-distances and densities) from their owners, the least and
//   greatest of every process's value folded in rank order, sums; -c gathers the ranking scores
//   that are numbers on rank 0, which cuts, and broadcasts the cut.
#ifndef TARN_MPI_VERDICT_H
#define TARN_MPI_VERDICT_H

#include <cstdint>

#include "base/alloc.h"
#include "detect/core.h"
#include "graph/lists.h"
#include "mpi/exchange.h"
#include "rules/rules.h"

struct Parameters;

namespace tarn::mpi {

// What every distributed exchange shares: the folds, sums and the share's cut over every
// process, each call starting with a checkpoint, so that a process whose kernel failed between
// two calls (and reports it at its own checkpoint) meets the others there instead of in another
// collective. The values of other processes' vertices are each layout's own.
class WorldExchange : public Exchange {
public:
    double least(double mine) override;
    double greatest(double mine) override;
    int64_t total(int64_t mine) override;
    double exact_sum(const ExactSum& mine) override;
    ShareCut share_cut(Array<double>& ranked, size_t wanted) override;

protected:
    ~WorldExchange() = default;
};

// Runs the rule p selects (and -c's share) over the outbound lists of this process's block's
// sources (row i: source blocks.mine().first + i), every vector of the run in rows, filling every
// field of verdict but label. Given kept (every entry's distance as the builder measured it, by
// entry; given on every process or on none), rows need hold no vector: the distances are read from
// kept, and each edge's travels with it to its target's owner (no rule that reads vectors otherwise
// may run so). Returns the duplicate scores over every process. Every process calls it; a failure
// throws Stopped on every process.
DuplicateScores judge(const Rows& rows, const NeighbourLists& lists, const Blocks& blocks,
                      const Parameters* p, Verdict* verdict, const Array<double>* kept = nullptr);

// tarn::judge on this process's block with a distributed exchange, every process together: a
// failed allocation of this process's kernel stops every process (Stopped) with its message.
DuplicateScores judge_together(const Block& block, Exchange& exchange, const Parameters* p,
                               Verdict* verdict);

// Scores this process's block of queries (rows: the block's query vectors, standardised with
// -z; row i is query blocks.mine().first + i) against the reference every process holds whole,
// as tarn's detect_queries does; the share of -c is cut over every block. notes gets the
// duplicate scores over every process and this block's overflow. Every process calls it; a
// failure throws Stopped on every process.
void judge_queries(const Reference& reference, const Rows& rows, const Blocks& blocks,
                   const Parameters* p, Verdict* verdict, RunNotes* notes);

// The same for -r all: every rule of the table, verdicts[r] and duplicates[r] rules()[r]'s.
void judge_queries_all(const Reference& reference, const Rows& rows, const Blocks& blocks,
                       const Parameters* p, Array<Verdict>* verdicts,
                       Array<DuplicateScores>* duplicates, RunNotes* notes);

}  // namespace tarn::mpi

#endif
