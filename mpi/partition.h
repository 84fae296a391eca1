// A distributed run whose vectors are split by space, not replicated.
//
// Where the k-d tree builds the graph, the processes split the space into P regions by sampled
// medians (a k-d split of a sample every process holds: along the widest spread, at the quantile
// that gives each side its share of the ranks), and every vector moves to its region's process.
// There each process finds its vectors' lists among its own (a local tree), then asks for the
// vectors of other regions that may lie nearer than a vector's k-th neighbour found so far: it
// sends each other region the boxes (cells of up to 64 sources) whose balls reach into it, with
// the largest k-th distance of the cell, and gets back every vector that lies within that
// distance of a cell. A source whose ball crosses no other region's box keeps its local list;
// the others are searched again among their own and the received vectors.
//
// Why the lists are those of one process. A source's list depends only on the targets within
// its k-th distance D, taken in vertex order (detect/kdtree.h). The local k-th distance is at
// least D, so every target within D lies in the source's region or was received, and a
// process keeps its vectors in vertex order: its search replays the same rule on the same
// targets in the same order.
//
// The rules then run over the regions: each process judges its own vertices, with the lists'
// targets and the inbound sources numbered by local position (in vertex order, so every
// comparison of vertex numbers a rule makes comes out the same), the distances measured from
// the vectors it holds, and what the rules ask of other regions' vertices fetched from their
// owners. The verdicts then go to the owners of the vertices' file-order blocks, which report.
#ifndef TARN_MPI_PARTITION_H
#define TARN_MPI_PARTITION_H

#include <cstdint>

#include "base/alloc.h"
#include "mpi/exchange.h"
#include "mpi/input.h"
#include "rules/kernel.h"

struct Parameters;

namespace tarn::mpi {

// How a distributed run holds its vectors: every process all of them (the way that takes any
// run), or each its share, split by space where the k-d tree builds the graph (below), or in
// file-order blocks passed around a ring over the brute force's range (mpi/ring.h). A run takes
// a share when its vectors are all of one width with finite features and k is below their
// count (a run that fails a check takes the replicating way, which reports it as tarn does);
// the ring also leaves the connectivity-based factor (and -r all) to the
// replicating way. TARN_MPI_REPLICATE=1 in the environment asks for it. Every process calls it
// with its block and gets the same answer. A run with -z that takes a share gets in scales how
// its columns standardise (mpi/standardise.h), for the caller to apply to the block; scales is
// left empty otherwise.
enum class Spread { kCopies, kRegions, kRing };
Spread spread_of(const VectorRun& block, const Parameters* p, Array<ColumnScale>* scales);

// Runs the rule p selects (every rule with -r all) over the regions of the vectors whose
// file-order block this process holds, and leaves the verdicts on this block's vertices:
// verdicts[r] is rule r's (one for a single rule), label included. Returns each rule's duplicate
// scores over every process in duplicates and whether a distance overflowed anywhere. The
// block's values are released on the way. Every process calls it; a failure throws Stopped on
// every process.
void judge_partitioned(VectorRun& block, const Parameters* p, Array<Verdict>* verdicts,
                       Array<DuplicateScores>* duplicates, bool* overflow);

}  // namespace tarn::mpi

#endif
