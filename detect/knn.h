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

#include "graph/graph.h"

// Marks a kernel that is compiled once per instruction set; one binary serves every x86-64, the
// loader picks the widest clone the processor supports. The AFL++ instrumentation
// (fuzz/run-afl.sh) cannot take function clones; its builds run the default clone, which
// computes the same bits.
#if defined(__AFL_COMPILER)
#define TARN_CLONES
#else
#define TARN_CLONES __attribute__((target_clones("avx512f", "avx2", "default")))
#endif

// Neighbour-list entries held at once before they are written into the graph: about 1.5 MB.
constexpr size_t kDefaultChunkEntries = size_t{1} << 16;

// Builds the edges of graphp (whose vertices have no edges yet and share one dimension) so that
// each vertex keeps its k nearest others, 1 <= k < n. threads > 1 computes the neighbours on
// that many threads; the graph itself is filled by the calling thread in vertex order. Sources
// go in chunks of about chunk_entries / k, each written into the graph before the next starts.
void create_edges_fast(Graph* graphp, int32_t k, int32_t threads,
                       size_t chunk_entries = kDefaultChunkEntries);

#endif
