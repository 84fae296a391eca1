// The k-nearest-neighbour graph in flat arrays: what a run builds and every rule reads.
//
// Every vertex keeps exactly k neighbours, so the outbound lists fit one n × k array of targets
// (4 bytes per kept neighbour, no per-edge record) and one k-distance per vertex (8 bytes), and
// the inbound lists are an index built from them: each vertex's sources in ascending order,
// which is the order in which the linked graph's inbound lists grow. A distributed run's process
// holds the outbound rows of its block's sources and the inbound index of its block's vertices.
//
// The lists keep no other distance: an entry's is measured again from the two vectors when it is
// read (entry_distance), source first. metric_distance defines the bits every builder stores
// (graph/metric.h), so the measure gives the builder's distance exactly, a not-a-number's sign
// and payload included; at low dimension it also costs less than reading 8 stored bytes.
#ifndef TARN_GRAPH_LISTS_H
#define TARN_GRAPH_LISTS_H

#include <cstddef>
#include <cstdint>

#include "base/alloc.h"
#include "graph/metric.h"

namespace tarn {

// The vectors a construction reads, by position: row[i] holds vector i's components, the
// features first; only the first `features` enter a distance (a label after them never does).
// The rows belong to whoever holds the vectors (the graph's vertices, a loaded set, a caller's
// block); standardisation writes through them. Every distance between them is the metric's.
struct Rows {
    Array<double*> row;
    int32_t features = 0;
    Metric metric;  // the run's metric, Euclidean unless the run asks for another
    size_t size() const { return row.size(); }
    double* operator[](size_t i) const { return row[i]; }
};

// The outbound lists of n vertices, k each (1 <= k): row s of target is vertex s's list, nearest
// first, in the order the graph keeps it. Targets are vertex positions among every vertex of the
// run (a block's rows name vertices of other blocks too). kdist[s] is the distance of the last
// entry of row s, the farthest kept neighbour's (what the rules read most).
struct NeighbourLists {
    int32_t n = 0;
    int32_t k = 0;
    // Every entry is written by the construction before anything reads it: the arrays are not
    // filled when they are sized, so that the construction's threads touch their memory first.
    UnfilledArray<int32_t> target;  // n × k vertex positions
    UnfilledArray<double> kdist;    // n k-distances
    // Empty, or every row once in an order of locality (a tree's: consecutive rows' vectors lie
    // near each other, so their neighbours are mostly the same), in which passes over the rows
    // that read their neighbours' values run with those values in cache.
    Array<int32_t> order;

    size_t at(int32_t s) const { return static_cast<size_t>(s) * static_cast<size_t>(k); }
};

// Bytes a NeighbourLists takes per kept edge, and per vertex beyond them.
constexpr double kListEdgeBytes = sizeof(int32_t);
constexpr double kListVertexBytes = sizeof(double);

// The distance of entry `at` of lists, in the row of the vertex whose vector is source; rows
// holds the vectors the targets name. Bit for bit the distance its builder kept.
inline double entry_distance(const Rows& rows, const double* source, const NeighbourLists& lists,
                             size_t at) {
    return metric_distance(rows.metric, source, rows[static_cast<size_t>(lists.target[at])],
                           rows.features);
}

// How much of the inbound lists an index holds: the counts always; the sources, and with
// them each record's distance, where a rule reads them.
enum class InboundDetail { kCounts, kSources, kSourcesAndDistances };

// The inbound lists of a block of vertices: vertex i's records are [first[i], first[i + 1]),
// sources ascending; source and dist are empty where the detail leaves them out. An index of
// the counts alone keeps them in counts instead, and first is empty.
struct InboundIndex {
    Array<int64_t> first;
    Array<int32_t> source;
    Array<double> dist;
    Array<int32_t> counts;

    int32_t count(size_t i) const {
        return first.empty() ? counts[i] : static_cast<int32_t>(first[i + 1] - first[i]);
    }
};

// Bytes an index of that detail takes for n vertices and their inbound records, k per vertex.
double inbound_bytes(InboundDetail detail, double n, double k);

// The inbound index of every vertex of lists (a whole run's lists, not a block's, so rows[s] is
// the source vector of row s), each record's distance measured from rows where detail asks, on
// `threads` threads (a count worker_threads gave): the same bits for any count.
InboundIndex inbound_index(const NeighbourLists& lists, InboundDetail detail, const Rows& rows,
                           int32_t threads = 1);

}  // namespace tarn

#endif
