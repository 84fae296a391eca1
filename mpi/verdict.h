// The rules of a distributed run: each process judges the vertices of its block, from the
// outbound lists of its own sources and what the other processes send it, exactly as the rule
// of a single process judges them, every value bit for bit.
//
// What travels (see doc/distributed.md for the volumes):
// - every edge (source, target, distance) to the target's owner, for every rule: the owner
//   then holds the vertex's inbound list in the order a single process builds it (sources in
//   file order, since the blocks are in rank order and each process sends its edges in source
//   order), so in-degrees, incoming-distance sums and maxima come out the same;
// - mutual pruning needs nothing more: the edge s → t survives when t → s exists, and t's owner
//   holds both t's outbound list and t's inbound list;
// - the local outlier factor fetches each neighbour's k-distance, then each neighbour's density,
//   from its owner;
// - the threshold of -M and -X folds every process's least and greatest distance in rank order;
//   -c gathers the ranking scores that are numbers on rank 0, which cuts, and broadcasts the cut.
#ifndef TARN_MPI_VERDICT_H
#define TARN_MPI_VERDICT_H

#include <cstdint>

#include "base/alloc.h"
#include "detect/compact.h"
#include "detect/lof.h"
#include "graph/graph.h"
#include "mpi/exchange.h"

struct Parameters;

namespace tarn::mpi {

// The verdict on one block's vertices, in file order.
struct BlockVerdict {
    Array<double> lof;     // the stored score: the local outlier factor with -l, else 0
    Array<int32_t> label;  // the vertex's label
    Array<int32_t> mark;   // 1 for the outlier mark, else 0
    Array<double> score;   // the rule's ranking score
    DuplicateScores duplicates = {0, 0};  // with -l, over every process
};

// Runs the rule p selects (and -c's share) over the outbound lists of this process's block's
// sources (row i: source blocks.mine().first + i) and the labels of those vertices. Every
// process calls it; a failure throws Stopped on every process.
BlockVerdict judge(const NeighbourLists& lists, const Array<int32_t>& labels, const Blocks& blocks,
                   const Parameters* p);

}  // namespace tarn::mpi

#endif
