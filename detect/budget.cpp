#include "detect/budget.h"

#include <sys/resource.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "detect/construct.h"
#include "graph/graph.h"
#include "graph/lists.h"
#include "vectors/fvector.h"

namespace {

// Neighbour-list entries the fast construction holds at once, 24 bytes each (detect/knn.h).
constexpr double kConstructionEntries = static_cast<double>(tarn::kDefaultChunkEntries);
constexpr double kEntryBytes = 24.0;

// What a run holds besides its data: the program, its threads' stacks, its buffers and what the
// allocator keeps of blocks the worker threads released.
constexpr double kProcessBytes = 8.0 * 1024 * 1024;

}  // namespace

namespace tarn {

double allocator_bytes(double size) {
    const double chunk = std::ceil((size + 8.0) / 16.0) * 16.0;
    return chunk < 32.0 ? 32.0 : chunk;
}

namespace {

// The k-d tree's working set beyond the tiled construction's: at its peak it holds its own
// copy of the vectors and the leaves' blocks (padded to 8 lanes: at most 1.5 copies), per cell
// a bounding box (cells of 16 or more vectors: a quarter copy) and a 40-byte node, the entries'
// vertex lists and offsets and, while the entries are made, a map from position to entry; each
// thread's search keeps up to about 8k + 128 candidates of 16 bytes and a heap of k squares.
double tree_bytes(double vectors, double components, double k, double threads) {
    const double copy = vectors * components * sizeof(double);
    const double per_vector = 3 * sizeof(int32_t) + 40.0 / 8;
    const double per_thread = (8 * k + 128) * 16 + k * sizeof(double);
    return 1.75 * copy + vectors * per_vector + threads * per_thread;
}

}  // namespace

GraphNeed graph_need(int32_t n, int32_t dim, int32_t k, bool indexed, int32_t threads,
                     double rule_bytes, int32_t sources) {
    const double vertices = n;
    const double components = dim;
    // Vertex records are slab-carved like the edge records; vectors come from the allocator.
    const double per_vertex = sizeof(Vertex) + allocator_bytes(sizeof(Hvec)) +
                              allocator_bytes(components * sizeof(double));
    const double pairs = (sources < 0 ? vertices : sources) * static_cast<double>(k);
    // The construction copies every vector but its label once, and lists the vertices.
    // With more than one thread, a second chunk of entries is searched while one is written.
    const double chunks = threads > 1 ? 2.0 : 1.0;
    const double working = vertices * ((components - 1.0) * sizeof(double) + sizeof(Vertex*)) +
                           chunks * kConstructionEntries * kEntryBytes;
    const double tree = indexed ? tree_bytes(vertices, components - 1.0, k, threads) : 0.0;
    // Edge records are carved from large slabs without a header each.
    return {vertices * per_vertex,
            pairs * 2.0 * sizeof(Edge) + std::max(working + tree, rule_bytes)};
}

GraphNeed lists_need(int32_t n, int32_t dim, int32_t k, bool indexed, int32_t threads,
                     double rule_bytes, int32_t sources, VectorsHeld held) {
    const double vertices = n;
    const double components = dim;
    // Carved vectors (vectors/arena.h) are the record and its components without an allocator's
    // header, then the set's pointer and the row's; flat ones their components and the row's,
    // less 4 bytes where the label is kept apart as a 32-bit number.
    const double values = components * sizeof(double) + sizeof(double*);
    double per_vector = values;
    if (held == VectorsHeld::kCarved) per_vector += sizeof(Hvec) + sizeof(HFV);
    if (held == VectorsHeld::kFeatures) per_vector -= sizeof(double) - sizeof(int32_t);
    const double chunks = threads > 1 ? 2.0 : 1.0;
    // The tiled construction copies every vector but its label once; the tree's copy is its own.
    const double copy = indexed ? 0.0 : vertices * (components - 1.0) * sizeof(double);
    const double working = copy + chunks * kConstructionEntries * kEntryBytes;
    const double tree = indexed ? tree_bytes(vertices, components - 1.0, k, threads) : 0.0;
    const double kept = sources < 0 ? vertices : static_cast<double>(sources);
    // The tree's searches leave the lists their order of locality, a row number per row.
    const double order = indexed ? sizeof(int32_t) : 0.0;
    const double edges =
        kept * (static_cast<double>(k) * kListEdgeBytes + kListVertexBytes + order);
    return {vertices * per_vector, kProcessBytes + edges + std::max(working + tree, rule_bytes)};
}

double available_memory(const char* meminfo) {
    FILE* file = std::fopen(meminfo, "r");
    if (file == nullptr) return -1.0;
    double bytes = -1.0;
    char line[256];
    while (std::fgets(line, sizeof line, file) != nullptr) {
        unsigned long long kib = 0;
        if (std::sscanf(line, "MemAvailable: %llu kB", &kib) == 1) {
            bytes = static_cast<double>(kib) * 1024.0;
            break;
        }
    }
    std::fclose(file);
    return bytes;
}

namespace {

// The first number of the file at path (a bare number, or one after a "Name:" label as in
// self/status), times scale; -1 when it cannot be read. "max" reads as no limit, +infinity.
double read_number(const std::string& path, const char* label = nullptr, double scale = 1.0) {
    FILE* file = std::fopen(path.c_str(), "r");
    if (file == nullptr) return -1.0;
    double value = -1.0;
    char line[256];
    const size_t label_length = label != nullptr ? std::strlen(label) : 0;
    while (std::fgets(line, sizeof line, file) != nullptr) {
        if (label != nullptr && std::strncmp(line, label, label_length) != 0) continue;
        const char* text = line + label_length;
        char* end;
        const unsigned long long number = std::strtoull(text, &end, 10);
        if (end != text) {
            value = static_cast<double>(number) * scale;
        } else if (std::strncmp(text, "max", 3) == 0) {
            value = INFINITY;
        }
        break;
    }
    std::fclose(file);
    return value;
}

void take_smaller(MemoryLimit* limit, double bytes, const char* where) {
    if (bytes < 0 || std::isnan(bytes)) return;  // unreadable: left out
    if (limit->bytes < 0 || bytes < limit->bytes) *limit = {bytes, where};
}

// The limit less the usage of the cgroup at path below mount and of every cgroup above it.
void take_cgroup(MemoryLimit* limit, const std::string& mount, std::string path,
                 const char* limit_file, const char* usage_file, const char* where) {
    for (;;) {
        const std::string folder = mount + path;
        const double most = read_number(folder + "/" + limit_file);
        const double used = read_number(folder + "/" + usage_file);
        if (most >= 0 && used >= 0 && std::isfinite(most)) {
            take_smaller(limit, std::max(0.0, most - used), where);
        }
        const size_t slash = path.find_last_of('/');
        if (path.empty() || slash == std::string::npos) break;
        path.erase(slash);  // "/a/b" → "/a" → "" (the mount's own folder)
    }
}

}  // namespace

MemoryLimit memory_limit(const MemorySources& sources) {
    const std::string proc = sources.proc, cgroup = sources.cgroup;
    MemoryLimit limit{-1.0, ""};
    take_smaller(&limit, available_memory((proc + "/meminfo").c_str()), "");

    // Lines of self/cgroup: "0::<path>" for v2, "<id>:<controllers>:<path>" for v1.
    if (FILE* file = std::fopen((proc + "/self/cgroup").c_str(), "r"); file != nullptr) {
        char line[4096];
        while (std::fgets(line, sizeof line, file) != nullptr) {
            std::string text(line);
            if (!text.empty() && text.back() == '\n') text.pop_back();
            const size_t first = text.find(':'), second = text.find(':', first + 1);
            if (first == std::string::npos || second == std::string::npos) continue;
            const std::string controllers = text.substr(first + 1, second - first - 1);
            const std::string path = text.substr(second + 1);
            if (text.compare(0, first, "0") == 0 && controllers.empty()) {
                // The v2 hierarchy is the mount itself, or "unified" beside the v1 ones.
                for (const char* base : {"", "/unified"})
                    take_cgroup(&limit, cgroup + base, path, "memory.max", "memory.current",
                                " under the cgroup's memory.max");
            } else if (("," + controllers + ",").find(",memory,") != std::string::npos) {
                take_cgroup(&limit, cgroup + "/memory", path, "memory.limit_in_bytes",
                            "memory.usage_in_bytes", " under the cgroup's memory.limit_in_bytes");
            }
        }
        std::fclose(file);
    }

    rlimit address_space;
    if (getrlimit(RLIMIT_AS, &address_space) == 0 && address_space.rlim_cur != RLIM_INFINITY) {
        const double mapped = read_number(proc + "/self/status", "VmSize:", 1024.0);
        if (mapped >= 0) {
            take_smaller(&limit,
                         std::max(0.0, static_cast<double>(address_space.rlim_cur) - mapped),
                         " under the address-space limit (ulimit -v)");
        }
    }
    return limit;
}

bool graph_fits(const GraphNeed& need, double available) {
    return need.edges <= available;
}

}  // namespace tarn
