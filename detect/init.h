// Building the k-nearest-neighbour graph of a vector file and the in-degree detection rules.
//
// A rule leaves its verdict in the graph: it marks a vertex as an outlier by setting the
// vertex's in-degree to 0 with vertex_indegree_set. Comparisons are strict and a not-a-number
// value never marks.
#ifndef TARN_DETECT_INIT_H
#define TARN_DETECT_INIT_H

#include <cstdint>

#include "driver/tarn.h"
#include "graph/graph.h"

// Told the number of source vertices whose neighbours are final, out of all, as the
// construction goes on (at most a few hundred times per run). Null when nobody listens.
typedef void (*PROGRESSFN)(int32_t done, int32_t total);
extern PROGRESSFN construction_progress;

// What the fast constructions tell construction_progress: how many sources are final, at
// most about 256 times a run.
class ConstructionProgress {
public:
    explicit ConstructionProgress(int32_t total) : total_(total), step_(total / 256 + 1) {}
    void report(int32_t done) {
        if (construction_progress == nullptr || done < next_) return;
        construction_progress(done, total_);
        next_ = done + step_;
    }

private:
    int32_t total_;
    int32_t step_;
    int32_t next_ = 0;
};

// Loads p->instr ("-" for standard input), makes one vertex per vector in file order, checks k,
// the dimensions and the memory the edges need, builds the edges and runs the one rule the
// flags select. Returns the graph, owned by the caller. Ends the process with status -1
// (message on standard output) when the input cannot be loaded, k is not in 1 … n − 1, the
// vectors differ in dimension, or the graph would need more memory than the machine has.
Graph* init(Parameters* p);

// Offers every vertex to every other vertex, sources and targets in insertion order, so that
// each vertex keeps its k nearest others; n × (n − 1) distance evaluations.
void create_edges(Graph* graphp, int32_t k);

// Offers toptr to fromptr as a neighbour: kept while fromptr has fewer than k edges, otherwise
// only when strictly nearer than its farthest edge, which it then replaces.
void calculate_edge(Graph* graphp, Vertex* fromptr, Vertex* toptr, int32_t k);

// The smallest nearest-neighbour distance over all vertices; every vertex needs an edge.
double findmin(Graph* g);

// The largest distance over all edges; 0.0 for a graph without edges.
double findmax(Graph* g);

// The largest distance among v's inbound records (0.0 when it has none).
double maxincoming(Vertex* v);

// The sum of the distances of v's inbound records divided by indegree.
double meanincoming(Vertex* v, int32_t indegree);

// The threshold of the incoming-distance rules: (max − min) × th − min.
double calcthreshold(Graph* g, double th);

// Marks every vertex whose (k / in-degree) × largest incoming distance exceeds the threshold.
void maxin(Graph* g, Parameters* p);

// Marks every vertex whose (k / in-degree) × (incoming distance sum / k) exceeds the threshold.
void meanin(Graph* g, Parameters* p);

// Removes every edge whose reverse edge is absent, leaving the mutual neighbours.
void mknn(Graph* g);

// Marks every vertex whose in-degree is at most p->I.
void kill_unwated_vertexes(Graph* g, Parameters* p);

#endif
