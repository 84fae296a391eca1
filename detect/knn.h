// The fast construction of the k-nearest-neighbour graph.
//
// It builds exactly the graph that create_edges builds, record for record and bit for bit: the
// same kept neighbours, the same outbound and inbound orders, the same distances and
// largest_dist, and the distance counter at n × (n − 1). Instead of one call per pair through
// the vertex walks, it copies the vectors once into a contiguous block, computes the squared
// distances of a few sources to a tile of targets at a time with vector instructions (each lane
// summing the squared differences in ascending component order, exactly like cdist), and
// replays the candidate rule of each source on a small array that mirrors its outbound list.
#ifndef TARN_DETECT_KNN_H
#define TARN_DETECT_KNN_H

#include <cstddef>
#include <cstdint>

#include "detect/construct.h"
#include "graph/graph.h"

namespace tarn {

// Builds the edges of graphp (whose vertices have no edges yet and share one dimension) so that
// each vertex keeps its k nearest others, 1 <= k < n. threads > 1 computes the neighbours on
// that many threads; chunks and writing as tarn::build_neighbours does them, for the sources of
// block.
void create_edges_fast(Graph* graphp, int32_t k, int32_t threads,
                       size_t chunk_entries = tarn::kDefaultChunkEntries, SourceBlock block = {});

// The same lists for rows (of one width, 1 <= k < n), written into sink instead of a graph.
// Returns the distances evaluated.
int64_t search_tiled(const Rows& rows, int32_t k, int32_t threads, ListSink& sink,
                     size_t chunk_entries = tarn::kDefaultChunkEntries, SourceBlock block = {});

}  // namespace tarn

#endif
