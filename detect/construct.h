// The skeleton every fast builder of the k-nearest-neighbour graph plugs into.
//
// A builder brings only its search: for a batch of sources, each source's outbound list as the
// candidate rule of the per-pair construction leaves it, on a Mirror. The skeleton owns the
// rest: the vertex array, the chunks of sources, the worker threads, the writer that turns
// mirrors into edge records, the saturating distance counter and the progress counter. Every
// allocation goes through allocate, so exhausted memory ends a run with the allocation message,
// or comes back as tarn::AllocationFailure under a tarn::AllocationFailuresThrow, also from the
// worker threads.
//
// What the skeleton guarantees a builder: sources are written into the graph in vertex order,
// each list appended in its final order, so every inbound list grows in source order exactly as
// under the per-pair construction; which thread searched a source changes nothing.
#ifndef TARN_DETECT_CONSTRUCT_H
#define TARN_DETECT_CONSTRUCT_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>

#include "base/alloc.h"
#include "base/workers.h"
#include "graph/graph.h"
#include "graph/lists.h"

// Marks a kernel that is compiled once per instruction set; one binary serves every x86-64, the
// loader picks the widest clone the processor supports. The AFL++ instrumentation
// (fuzz/run-afl.sh) cannot take function clones; its builds run the default clone, which
// computes the same bits.
#if defined(__AFL_COMPILER)
#define TARN_CLONES
#else
#define TARN_CLONES __attribute__((target_clones("avx512f", "avx2", "default")))
#endif

namespace tarn {

// Told the number of source vertices whose neighbours are final, out of all, as the
// construction goes on (at most a few hundred times per run). Null when nobody listens. It may
// be called on a worker thread, not only on the one that started the construction; a
// construction calls it from one thread at a time.
typedef void (*PROGRESSFN)(int32_t done, int32_t total);
extern PROGRESSFN construction_progress;

// Neighbour-list entries held at once before they are written into the graph: about 1.5 MB.
constexpr size_t kDefaultChunkEntries = size_t{1} << 16;

// One kept neighbour in a mirror of an outbound list.
struct Kept {
    double dist;  // the distance the graph will carry
    double sq;    // its square before the root, for a builder's cheap rejection test
    int32_t target;
};

// The outbound list of one source as the candidate rule leaves it, in list order (nearest
// first), with the largest_dist that the graph's insertion and removal rules track. kept has
// room for k entries, count of them used.
struct Mirror {
    Kept* kept;
    int32_t count;
    double largest;
};

// Ordered insertion exactly as the graph does it: in front of the first kept record that the
// new distance does not strictly exceed (so in front of equal ones, and in front of any
// not-a-number record), raising largest only for a strictly greater distance.
inline void mirror_insert(Mirror& m, double dist, double sq, int32_t target) {
    int32_t at = 0;
    while (at < m.count && dist > m.kept[at].dist)
        ++at;
    for (int32_t i = m.count; i > at; --i)
        m.kept[i] = m.kept[i - 1];
    m.kept[at] = {dist, sq, target};
    ++m.count;
    if (dist > m.largest) m.largest = dist;
}

// The candidate rule: a target is kept while the list holds fewer than k, otherwise only when
// strictly nearer than the farthest kept one, which it then replaces. A removal lowers largest
// to the new farthest distance when one is left.
inline void mirror_offer(Mirror& m, int32_t k, double dist, double sq, int32_t target) {
    if (m.count == k) {
        if (!(dist < m.kept[m.count - 1].dist)) return;
        if (m.count > 1) m.largest = m.kept[m.count - 2].dist;
        --m.count;
    }
    mirror_insert(m, dist, sq, target);
}

// A builder's search, shared by the worker threads. Sources are vertex indices 0 … n − 1.
class NeighbourSearch {
public:
    // Called once, on the calling thread, before any search: make the state of `workers`
    // threads.
    virtual void prepare(int32_t workers) = 0;
    // Fills the mirrors of sources[0 … count) on worker thread `worker`: the mirror of
    // sources[i] is mirrors[i], empty with room for k entries. Returns the distances evaluated.
    virtual int64_t search(int32_t worker, const int32_t* sources, int32_t count,
                           Mirror* mirrors) = 0;
    // Puts sources in the order in which they are best searched; vertex order unless a builder
    // says otherwise (a builder that keeps it gets consecutive vertices in every call of
    // search). Groups of group() consecutive sources of that order go to one thread at a time.
    virtual void order(int32_t* sources, int32_t count) const;
    virtual int32_t group() const = 0;

protected:
    ~NeighbourSearch() = default;
};

// The graph's vertices in insertion order; vertex index i is the i-th of them.
Array<Vertex*> graph_vertices(Graph* graphp);

// The rows of the vertices' vectors, whose last component is the label's place, measured with
// metric.
Rows graph_rows(const Array<Vertex*>& vertices, Metric metric = {});

// The rows of the set's vectors, in the set's order; features from the first vector's length.
Rows set_rows(HFSET set, Metric metric = {});

// A contiguous block of sources, vertex indices [first, last): what one process of a distributed
// run builds. The default, last < 0, stands for every vertex.
struct SourceBlock {
    int32_t first = 0;
    int32_t last = -1;
};

// Where a construction puts each finished chunk of outbound lists: mirrors[i] is the list of
// sources[i]. A sink that is in_source_order gets chunks of consecutive sources [first, last)
// (in any order within a chunk), one at a time, chunk after chunk in source order. Any other
// sink keeps each source's list apart from every other's: it gets the sources in the order the
// search likes best, each group from the worker thread that searched it, several at once.
class ListSink {
public:
    // Called once the search is ready, before the first chunk: a sink takes its memory here,
    // after the builder's own (a tree's build copy) has gone.
    virtual void start() {}
    virtual bool in_source_order() const = 0;
    virtual void write(const int32_t* sources, const Mirror* mirrors, int32_t count) = 0;
    // Called once every source is written, by a sink not in source order, with the order in
    // which the sources were searched; the sink may take the array.
    virtual void searched(Array<int32_t>& /*order*/) {}

protected:
    ~ListSink() = default;
};

// The construction of the outbound lists of block's sources among n vectors through search,
// written into sink: for a sink in source order chunk after chunk of about chunk_entries / k
// sources, as build_neighbours writes them into the graph; for any other, group after group
// as the workers finish them (chunk_entries then plays no part). Returns the distances the
// search evaluated.
int64_t build_lists(int32_t n, int32_t k, int32_t threads, size_t chunk_entries,
                    NeighbourSearch& search, ListSink& sink, SourceBlock block = {});

// The same for the chosen sources alone (vertex indices, each once), into a sink not in source
// order.
int64_t build_lists_of(int32_t k, int32_t threads, NeighbourSearch& search, ListSink& sink,
                       Array<int32_t> sources);

// Where a construction writes the NeighbourLists of block's sources among n vertices, k
// each: row i holds source block.first + i (every vertex by default). The arrays are allocated
// when the construction starts.
class FlatListSink final : public ListSink {
public:
    FlatListSink(NeighbourLists& lists, int32_t n, int32_t k, SourceBlock block = {});
    void start() override;
    bool in_source_order() const override { return false; }
    void write(const int32_t* sources, const Mirror* mirrors, int32_t count) override;
    // Keeps a search order that is not the sources' own as the lists' order of locality.
    void searched(Array<int32_t>& order) override;

private:
    NeighbourLists& lists_;
    int32_t first_;
};

// Builds the edges of graphp, whose vertices (as graph_vertices lists them) have no edges yet,
// through search: sources in chunks of about chunk_entries / k, each chunk searched on up to
// `threads` threads and written into the graph in source order, chunk after chunk; with more
// than one thread the next chunk is searched while one is written (two chunks held). Adds the
// distances the search evaluated to the graph's counter, which stops at the largest 32-bit value.
// Only the sources of block get their outbound lists, each against every target; the lists, and the
// inbound lists they feed, are those of the whole graph's construction.
void build_neighbours(Graph* graphp, const Array<Vertex*>& vertices, int32_t k, int32_t threads,
                      size_t chunk_entries, NeighbourSearch& search, SourceBlock block = {});

}  // namespace tarn

#endif
