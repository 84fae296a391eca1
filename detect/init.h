// The linked graph for a library caller that wants it: a vector file in, the k-nearest-neighbour
// graph with the rule's verdict out, and the per-pair construction every faster builder is
// measured against. The in-degree rules come with detect/rules.h. The command line's run takes
// the flat lists of detect/core.h (detect_flat) instead, with the same bytes out.
#ifndef TARN_DETECT_INIT_H
#define TARN_DETECT_INIT_H

#include <cstdint>

#include "detect/rules.h"
#include "graph/graph.h"
#include "vectors/table.h"

struct Parameters;

// Loads p->instr ("-" for standard input), makes one vertex per vector in file order, checks k,
// the dimensions and the memory the edges need, builds the edges and runs the one rule the
// flags select, all through tarn::detect_graph. Returns the graph, owned by the caller. Ends
// the process with status -1 (message on standard output) when the input cannot be loaded, k
// is not in 1 … n − 1, the vectors differ in dimension, the graph would need more memory than
// the machine has, or an allocation fails.
Graph* init(Parameters* p);

namespace tarn {

class VectorArena;

// The load of init: p->instr in the format p asks for, the names kept in p->names, the load's
// explanation of a refusal or its warning on standard error. Returns the set, owned by the
// caller, or null after printing "Cannot load vectors from <file>" on standard output. Given an
// arena, the vectors may be carved from it and the set is released with release_set.
HFSET load_vectors(Parameters* p, VectorArena* arena = nullptr);

// The table format load_vectors reads p->instr in; its arena is given (may be null), and its
// memory is what the process can still have.
TableFormat input_format(const Parameters* p, VectorArena* arena);

// What load_vectors prints after its load of p->instr, which gave `names` and loaded (or not):
// the explanation of a refusal and "Cannot load vectors from <file>", or the warning and the
// count of rows left out.
void tell_load(const Parameters* p, bool loaded, const TableNames& names);

}  // namespace tarn

// Offers every vertex to every other vertex, sources and targets in insertion order, so that
// each vertex keeps its k nearest others; n × (n − 1) distance evaluations.
void create_edges(Graph* graphp, int32_t k);

// Offers toptr to fromptr as a neighbour: kept while fromptr has fewer than k edges, otherwise
// only when strictly nearer than its farthest edge, which it then replaces.
void calculate_edge(Graph* graphp, Vertex* fromptr, Vertex* toptr, int32_t k);

#endif
