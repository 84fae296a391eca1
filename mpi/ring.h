// A distributed run over the brute force's range without every vector on every process.
//
// Each process keeps its file-order block of vectors, and the blocks travel around a ring of
// the processes: in P turns every process meets every block (its own first), computing the
// distances from its own sources to the block it holds while the next one arrives, two blocks
// in flight. Each distance is metric_distance's, source first, the bits the builders keep.
//
// Why the lists are those of one process. A source's list depends only on the targets within
// its k-th distance D, taken in vertex order, and of the targets at exactly D only the k of
// lowest index can matter (detect/kdtree.h). So each source keeps, whatever order the blocks
// come in, the targets nearer than its k-th distance so far and the k of lowest index at it
// (at most 2k − 1), and once every block has passed replays the candidate rule on them in
// vertex order. The distances must be totally ordered: every feature is finite (and for the
// cosine below 10^150, so that no product overflows into a not-a-number).
//
// The rules then run on the file-order blocks as the replicating way runs them, with each kept
// entry's distance stored beside it (8 bytes an entry), since no process holds the targets'
// vectors; an edge's distance travels with it to its target's owner where a rule reads
// inbound distances. The connectivity-based outlier factor, which reads the vectors of a
// vertex's neighbours, is left to the replicating way.
#ifndef TARN_MPI_RING_H
#define TARN_MPI_RING_H

#include "base/alloc.h"
#include "mpi/input.h"
#include "rules/kernel.h"

struct Parameters;

namespace tarn::mpi {

// As judge_partitioned (mpi/partition.h), with the lists built around the ring.
void judge_around_ring(VectorRun& block, const Parameters* p, Array<Verdict>* verdicts,
                       Array<DuplicateScores>* duplicates, bool* overflow);

}  // namespace tarn::mpi

#endif
