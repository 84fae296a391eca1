// The memory a run's neighbour graph will take, weighed before any edge is built against the
// memory the process can still get (from the machine, its cgroup and its address-space limit), so
// that a run too big for the machine stops with a message instead of being killed by the system
// part way through.
#ifndef TARN_DETECT_BUDGET_H
#define TARN_DETECT_BUDGET_H

#include <cstdint>

namespace tarn {

// Bytes of a run, in doubles: products like n × k pass 64 bits long before they pass what a
// double tells apart at this scale.
struct GraphNeed {
    double vectors;  // the n vertex records with their vectors, as already held
    double edges;    // the n × k edge pairs and the construction's working copy, still to come
};

// Bytes the C library's allocator takes for a request of size bytes: the request plus an 8-byte
// header, rounded up to 16-byte granules, at least 32.
double allocator_bytes(double size);

// What a graph of n vertices, whose vectors have dim components (label included), takes once
// every vertex keeps k neighbours: each edge pair is two 48-byte records. The construction's
// working set is the tiled one's, or with indexed the k-d tree's (its copies of the vectors and
// the search state of each of `threads` threads). The rule's working memory, rule_bytes, comes
// after the construction's is released, so the larger of the two counts. With sources ≥ 0 only
// that many vertices keep neighbours here (a distributed run's block); every vertex otherwise.
GraphNeed graph_need(int32_t n, int32_t dim, int32_t k, bool indexed = false, int32_t threads = 1,
                     double rule_bytes = 0.0, int32_t sources = -1);

// How a run holds its vectors: carved one by one beside their records, each behind the set's
// slot and a row pointer (a loaded set); side by side in one array with a row pointer each (a
// caller's rows, a distributed block); or their features so and their labels apart, 4 bytes
// each (the command line's flattened vectors).
enum class VectorsHeld { kCarved, kFlat, kFeatures };

// What a run that keeps its neighbours in flat lists takes (graph/lists.h): the n vectors of
// dim components (label included) as they are held; the lists' 4 bytes per kept edge and 8
// per vertex that keeps them (12 where the tree leaves them an order of locality); the
// construction's working set as graph_need counts it; and the rule's working memory rule_bytes,
// which comes after the construction's, so the larger of the two counts. With sources ≥ 0 only that
// many vectors keep neighbours here (a distributed run's block).
GraphNeed lists_need(int32_t n, int32_t dim, int32_t k, bool indexed = false, int32_t threads = 1,
                     double rule_bytes = 0.0, int32_t sources = -1,
                     VectorsHeld held = VectorsHeld::kFlat);

// The MemAvailable figure of a meminfo file in bytes, or -1 when the file cannot be read or
// does not give it.
double available_memory(const char* meminfo = "/proc/meminfo");

// Where memory_limit reads the limits of the process; the defaults are the system's own, a test
// points them at a tree of its own.
struct MemorySources {
    const char* proc = "/proc";             // meminfo, self/cgroup and self/status beneath it
    const char* cgroup = "/sys/fs/cgroup";  // where the cgroup hierarchies are mounted
};

// The bytes the process may still take, and which limit gives them.
struct MemoryLimit {
    double bytes;       // -1 when no limit can be read; never below 0 otherwise
    const char* where;  // "" for MemAvailable, else " under ..." naming the limit, for a message
};

// The smallest of: MemAvailable of meminfo; for the process's cgroup and each cgroup above it,
// the memory limit less the usage (memory.max and memory.current of cgroup v2, where "max" is
// no limit; memory.limit_in_bytes and memory.usage_in_bytes of the v1 memory controller); and
// the address-space limit (RLIMIT_AS) less the address space the process maps (VmSize of
// self/status). Whatever cannot be read is left out.
MemoryLimit memory_limit(const MemorySources& sources = {});

// Whether the edges still to come fit into the available bytes (those the vectors hold are
// already taken from them). Equal fits.
bool graph_fits(const GraphNeed& need, double available);

}  // namespace tarn

#endif
