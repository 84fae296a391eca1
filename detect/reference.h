// A fixed reference set's graph extended to new vectors (queries), each as if it were alone.
//
// A query's outbound list is its k nearest reference vectors as the graph's candidate rule
// leaves them were the query a vertex after every reference vertex: references offered in
// index order, kept while fewer than k, otherwise only when strictly nearer than the farthest
// kept. Its inbound records are the reference vertices that would keep it, offered last: those
// strictly nearer to it than their own k-th neighbour (a reference wins a tie). The queries
// never enter each other's lists, nor the reference's.
#ifndef TARN_DETECT_REFERENCE_H
#define TARN_DETECT_REFERENCE_H

#include <cstdint>

#include "graph/lists.h"

namespace tarn {

// The queries' lists: out row i is query i's list (targets are reference positions), in holds
// each query's inbound sources (reference positions, ascending) with their distances.
struct QueryLists {
    NeighbourLists out;
    InboundIndex in;
};

// The lists of every query against the reference (rows with their lists, k each, k below the
// reference's size). brute scans every reference vector for every query; otherwise a k-d tree
// over the reference searches, where it applies (finite values in both), with the same
// result. threads as worker_threads takes them.
QueryLists query_lists(const Rows& reference, const NeighbourLists& lists, const Rows& queries,
                       bool brute, int32_t threads);

// The working memory of query_lists for n reference and q query vectors of dim features, k
// each, in bytes: the lists, the inbound records (about k per query) and the tree.
double query_lists_bytes(double n, double q, int32_t dim, int32_t k);

}  // namespace tarn

#endif
