// The local outlier factor rule over the k-nearest-neighbour graph.
//
// The neighbourhood of a vertex is exactly its outbound list. lof_main, lof and lrd compute
// densities afresh every time they are needed; a run on the linked graph takes the rule's kernel
// (rules/factor.h) over the graph's lists instead, which computes each once.
// Divisions follow IEEE arithmetic (a zero reach sum gives an infinite density, a vertex
// without edges a not-a-number one).
#ifndef TARN_DETECT_LOF_H
#define TARN_DETECT_LOF_H

#include <cstdint>

#include "graph/graph.h"
#include "rules/kernel.h"

struct Parameters;

// Stores every vertex's local outlier factor in its lof field and marks (in-degree 0) each
// vertex whose score is strictly greater than p->th. Returns 0.
int32_t lof_main(Graph* g, Parameters* p);

// The local outlier factor of v: the mean density of its neighbours over its own density.
double lof(Graph* g, Vertex* v);

// The local reachability density of v: 1 / (mean reachability distance to its neighbours).
double lrd(Vertex* v);

namespace tarn {

// The scores an infinite density made not-a-number or infinite (rules/kernel.h), counted over g
// once lof_main has run.
DuplicateScores duplicate_scores(Graph* g);

}  // namespace tarn

#endif
