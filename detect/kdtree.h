// The k-nearest-neighbour graph through an exact k-d tree.
//
// It builds exactly the graph that create_edges builds, record for record and bit for bit: the
// same kept neighbours, the same outbound and inbound orders, the same distances and
// largest_dist. Only the distance counter differs: it counts the evaluations the searches
// actually made, far fewer than n × (n − 1) on low-dimensional data.
//
// Why a search can reproduce the candidate rule. For a source s let D be the k-th smallest of
// its n − 1 distances. The rule keeps every target nearer than D, none farther, and which of
// the targets at exactly D it keeps depends only on the targets at distance D or less, taken in
// target order: a farther target never displaces one of those (it is never strictly nearer)
// and never changes their order in the list (ordered insertion puts it behind them), and while
// it occupies a slot, a nearer target that takes its slot is inserted exactly as it would be
// into a list that was not yet full. So the search finds D, collects every target within D,
// and replays the rule on those alone. Of the targets at exactly D only the k of lowest index
// can matter (any later one meets a full list of targets within D), so ties and equal vectors
// cost a bounded set per source: equal vectors that fill a leaf are one entry of the tree, of
// which a search takes at most the first k. Where distinct vectors tie by the thousand, at 0
// (squares that underflow) or at infinity (squares that overflow), a search settles its list
// by index in a few steps, mostly in file order. The argument needs distances that are totally
// ordered, so the tree applies only to finite coordinates (tree_applies).
#ifndef TARN_DETECT_KDTREE_H
#define TARN_DETECT_KDTREE_H

#include <cstddef>
#include <cstdint>

#include "detect/construct.h"
#include "graph/graph.h"

namespace tarn {

// Whether the tree can build the graph of these rows: at least one feature, every feature
// finite, and a metric with a box bound (every one but the cosine).
bool tree_applies(const Rows& rows);

// Builds the edges of graphp (whose vertices have no edges yet and share one dimension) so that
// each vertex keeps its k nearest others, 1 <= k < n, searching a k-d tree over the vectors,
// which tree_applies must accept. threads > 1 searches on that many threads; chunks and
// writing as tarn::build_neighbours does them, for the sources of block.
void create_edges_indexed(Graph* graphp, int32_t k, int32_t threads,
                          size_t chunk_entries = tarn::kDefaultChunkEntries,
                          SourceBlock block = {});

// The same lists for rows that tree_applies accepts (1 <= k < n), written into sink instead of
// a graph. Returns the distances evaluated.
int64_t search_tree(const Rows& rows, int32_t k, int32_t threads, ListSink& sink,
                    size_t chunk_entries = tarn::kDefaultChunkEntries, SourceBlock block = {});

// The lists of the chosen sources alone (vertex indices of rows, each once), into a sink not
// in source order.
int64_t search_tree_of(const Rows& rows, int32_t k, int32_t threads, ListSink& sink,
                       Array<int32_t> sources);

}  // namespace tarn

#endif
