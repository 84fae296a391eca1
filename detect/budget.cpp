#include "detect/budget.h"

#include <cmath>
#include <cstdio>

#include "detect/construct.h"
#include "graph/graph.h"
#include "vectors/fvector.h"

namespace {

// Neighbour-list entries the fast construction holds at once, 24 bytes each (detect/knn.h).
constexpr double kConstructionEntries = static_cast<double>(tarn::kDefaultChunkEntries);
constexpr double kEntryBytes = 24.0;

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
// vertex lists and offsets, the map from vertex to entry and, while the entries are made, one
// more map; each thread's search keeps up to about 8k + 128 candidates of 16 bytes and a heap
// of k squares.
double tree_bytes(double vectors, double components, double k, double threads) {
    const double copy = vectors * components * sizeof(double);
    const double per_vector = 4 * sizeof(int32_t) + 40.0 / 8;
    const double per_thread = (8 * k + 128) * 16 + k * sizeof(double);
    return 1.75 * copy + vectors * per_vector + threads * per_thread;
}

}  // namespace

GraphNeed graph_need(int32_t n, int32_t dim, int32_t k, bool indexed, int32_t threads) {
    const double vertices = n;
    const double components = dim;
    // Vertex records are slab-carved like the edge records; vectors come from the allocator.
    const double per_vertex = sizeof(Vertex) + allocator_bytes(sizeof(Hvec)) +
                              allocator_bytes(components * sizeof(double));
    const double pairs = vertices * k;
    // The construction copies every vector but its label once, and lists the vertices.
    const double working = vertices * ((components - 1.0) * sizeof(double) + sizeof(Vertex*)) +
                           kConstructionEntries * kEntryBytes;
    const double tree = indexed ? tree_bytes(vertices, components - 1.0, k, threads) : 0.0;
    // Edge records are carved from large slabs without a header each.
    return {vertices * per_vertex, pairs * 2.0 * sizeof(Edge) + working + tree};
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

bool graph_fits(const GraphNeed& need, double available) {
    return need.edges <= available;
}

}  // namespace tarn
