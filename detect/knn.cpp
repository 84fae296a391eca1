#include "detect/knn.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <limits>
#include <system_error>
#include <thread>
#include <vector>

#include "detect/init.h"

namespace {

// Targets are stored in tiles of kLanes vectors, component-major inside a tile, so that one
// load brings the same component of kLanes targets. Sources are taken kSources at a time so
// that every loaded tile serves several rows.
constexpr int kLanes = 16;
constexpr int kSources = 4;
// Targets per cache block: a block of tiles stays in the core's second-level cache while a
// whole group of sources runs over it.
constexpr int kBlockTargets = 1024;

typedef double Lanes __attribute__((vector_size(sizeof(double) * 8)));
constexpr int kVectorsPerTile = kLanes / 8;

// One kept neighbour in a mirror of an outbound list.
struct Kept {
    double dist;  // the distance the graph will carry
    double sq;    // its square before the root, for the cheap rejection test
    int32_t target;
};

// The outbound list of one source as the candidate rule leaves it, in list order (nearest
// first), with the largest_dist that the graph's insertion and removal rules track.
struct Mirror {
    Kept* kept;  // k slots, count used
    int32_t count;
    double largest;
};

// The vectors without their label column (which is 0 everywhere and adds nothing to a sum),
// row-major for the sources and tiled for the targets.
struct Packed {
    int32_t n = 0;
    int32_t dim = 0;
    std::vector<double> rows;   // n × dim
    std::vector<double> tiles;  // ceil(n / kLanes) tiles of dim × kLanes
};

Packed pack(const std::vector<Vertex*>& vertices) {
    Packed p;
    p.n = static_cast<int32_t>(vertices.size());
    p.dim = vertices[0]->vector->dim - 1;
    const size_t dim = static_cast<size_t>(p.dim);
    const size_t tiles = (vertices.size() + kLanes - 1) / kLanes;
    p.rows.resize(vertices.size() * dim);
    p.tiles.assign(tiles * dim * kLanes, 0.0);
    for (size_t t = 0; t < vertices.size(); ++t) {
        const double* x = vertices[t]->vector->vector;
        for (size_t i = 0; i < dim; ++i) {
            p.rows[t * dim + i] = x[i];
            p.tiles[(t / kLanes) * dim * kLanes + i * kLanes + t % kLanes] = x[i];
        }
    }
    return p;
}

// Ordered insertion exactly as the graph does it: in front of the first kept record that the
// new distance does not strictly exceed (so in front of equal ones, and in front of any
// not-a-number record), raising largest only for a strictly greater distance.
void mirror_insert(Mirror& m, double dist, double sq, int32_t target) {
    int32_t at = 0;
    while (at < m.count && dist > m.kept[at].dist)
        ++at;
    for (int32_t i = m.count; i > at; --i)
        m.kept[i] = m.kept[i - 1];
    m.kept[at] = {dist, sq, target};
    ++m.count;
    if (dist > m.largest) m.largest = dist;
}

// Removal of the farthest record: largest falls to its predecessor's distance when it has one.
void mirror_drop_farthest(Mirror& m) {
    if (m.count > 1) m.largest = m.kept[m.count - 2].dist;
    --m.count;
}

// Offers one target to a source whose list is full. Most candidates fail the first compare:
// sqrt is monotonic, so a square not below the farthest kept square cannot give a smaller root.
inline void offer_full(Mirror& m, double sq, int32_t target) {
    const Kept& farthest = m.kept[m.count - 1];
    if (!(sq < farthest.sq)) return;
    double dist = std::sqrt(sq);
    if (!(dist < farthest.dist)) return;  // equal roots of different squares stay rejected
    mirror_drop_farthest(m);
    mirror_insert(m, dist, sq, target);
}

inline void offer(Mirror& m, int32_t k, double sq, int32_t target) {
    if (m.count < k) {
        mirror_insert(m, std::sqrt(sq), sq, target);
    } else {
        offer_full(m, sq, target);
    }
}

// Squared distances of `count` sources (rows) to the kLanes targets of one tile. Each lane sums
// (a_i − b_i)² in ascending i without contraction, so every value equals cdist's sum bit for
// bit, whatever instruction set the clone below runs on.
template <int count>
__attribute__((always_inline)) inline void tile_kernel(const double* rows, const double* tile,
                                                       int32_t dim, double out[][kLanes]) {
    Lanes acc[count][kVectorsPerTile] = {};
    for (int32_t i = 0; i < dim; ++i) {
        Lanes t[kVectorsPerTile];
        for (int v = 0; v < kVectorsPerTile; ++v) {
            __builtin_memcpy(&t[v], tile + i * kLanes + v * 8, sizeof(Lanes));
        }
        for (int s = 0; s < count; ++s) {
            const double a = rows[s * dim + i];
            for (int v = 0; v < kVectorsPerTile; ++v) {
                Lanes diff = a - t[v];
                acc[s][v] = acc[s][v] + diff * diff;
            }
        }
    }
    for (int s = 0; s < count; ++s) {
        for (int v = 0; v < kVectorsPerTile; ++v) {
            __builtin_memcpy(&out[s][v * 8], &acc[s][v], sizeof(Lanes));
        }
    }
}

// One binary for every x86-64: the loader picks the widest clone the processor supports.
__attribute__((target_clones("avx512f", "avx2", "default"))) void tile_kernel_group(
    const double* rows, const double* tile, int32_t dim, double out[][kLanes]) {
    tile_kernel<kSources>(rows, tile, dim, out);
}

__attribute__((target_clones("avx512f", "avx2", "default"))) void tile_kernel_single(
    const double* rows, const double* tile, int32_t dim, double out[][kLanes]) {
    tile_kernel<1>(rows, tile, dim, out);
}

template <int count>
void run_group(const Packed& p, int32_t first_source, int32_t k, Mirror* mirrors) {
    double sq[kSources][kLanes];
    const size_t dim = static_cast<size_t>(p.dim);
    const double* rows = p.rows.data() + static_cast<size_t>(first_source) * dim;
    for (int32_t block = 0; block < p.n; block += kBlockTargets) {
        const int32_t block_end = std::min(p.n, block + kBlockTargets);
        for (int32_t base = block; base < block_end; base += kLanes) {
            const double* tile = p.tiles.data() + static_cast<size_t>(base / kLanes) * dim * kLanes;
            if constexpr (count == kSources) {
                tile_kernel_group(rows, tile, p.dim, sq);
            } else {
                tile_kernel_single(rows, tile, p.dim, sq);
            }
            const int32_t lanes = std::min(kLanes, p.n - base);
            for (int s = 0; s < count; ++s) {
                Mirror& m = mirrors[s];
                const int32_t self = first_source + s;
                for (int32_t lane = 0; lane < lanes; ++lane) {
                    int32_t target = base + lane;
                    if (target != self) offer(m, k, sq[s][lane], target);
                }
            }
        }
    }
}

// Computes the mirrors of sources [first, last).
void compute_range(const Packed& p, int32_t k, int32_t first, int32_t last, Mirror* mirrors) {
    int32_t s = first;
    for (; s + kSources <= last; s += kSources)
        run_group<kSources>(p, s, k, mirrors + (s - first));
    for (; s < last; ++s)
        run_group<1>(p, s, k, mirrors + (s - first));
}

// Tells construction_progress how many sources are final, at most about 256 times a run.
class Progress {
public:
    explicit Progress(int32_t total) : total_(total), step_(total / 256 + 1) {}
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

// Computes the mirrors of sources [first, last) on `threads` threads, groups of sources handed
// out in order; which thread computes a source does not change its result. Progress is told
// from the calling thread only.
void compute_chunk(const Packed& p, int32_t k, int32_t first, int32_t last, Mirror* mirrors,
                   int32_t threads, Progress& progress) {
    constexpr int32_t kGroup = 8 * kSources;
    std::atomic<int32_t> next{first};
    std::atomic<int32_t> done{first};
    auto work = [&](bool reporting) {
        for (;;) {
            const int32_t start = next.fetch_add(kGroup);
            if (start >= last) return;
            const int32_t end = std::min(last, start + kGroup);
            compute_range(p, k, start, end, mirrors + (start - first));
            const int32_t finished = done.fetch_add(end - start) + (end - start);
            if (reporting) progress.report(finished);
        }
    };
    std::vector<std::thread> pool;
    for (int32_t t = 1; t < threads; ++t) {
        try {
            pool.emplace_back(work, false);
        } catch (const std::system_error&) {
            break;  // fewer threads than asked for: the others take over the work
        }
    }
    work(true);
    for (std::thread& thread : pool)
        thread.join();
}

// Writes one source's mirrored list into the graph. Appending in list order gives the outbound
// order; every inbound list still grows in source order, since a source adds at most one
// record to each target.
void write_source(Graph* graphp, const std::vector<Vertex*>& vertices, Vertex* from,
                  const Mirror& m) {
    for (int32_t i = 0; i < m.count; ++i) {
        append_edge(graphp, from, vertices[m.kept[i].target], m.kept[i].dist);
    }
    from->largest_dist = m.largest;
}

void add_evaluations(Graph* graphp, int64_t pairs) {
    const int64_t total = graphp->dist_calculations + pairs;
    graphp->dist_calculations =
        static_cast<int32_t>(std::min<int64_t>(total, std::numeric_limits<int32_t>::max()));
}

}  // namespace

void create_edges_fast(Graph* graphp, int32_t k, int32_t threads, size_t chunk_entries) {
    std::vector<Vertex*> vertices;
    vertices.reserve(static_cast<size_t>(get_nvert(graphp)));
    Iterator* it = iterate_start();
    while (Vertex* v = iterate_vertex(graphp, it))
        vertices.push_back(v);
    if (vertices.size() < 2) return;

    const Packed packed = pack(vertices);
    const int32_t n = packed.n;
    const size_t per_chunk = std::max<size_t>(chunk_entries / static_cast<size_t>(k), 1);
    const int32_t chunk = static_cast<int32_t>(std::min<size_t>(per_chunk, size_t(n)));
    std::vector<Kept> storage(static_cast<size_t>(chunk) * static_cast<size_t>(k));
    std::vector<Mirror> mirrors(static_cast<size_t>(chunk));
    Progress progress(n);

    for (int32_t first = 0; first < n; first += chunk) {
        const int32_t last = std::min(n, first + chunk);
        for (int32_t s = first; s < last; ++s) {
            mirrors[s - first] = {storage.data() + static_cast<size_t>(s - first) * k, 0, 0.0};
        }
        compute_chunk(packed, k, first, last, mirrors.data(), threads, progress);
        for (int32_t s = first; s < last; ++s) {
            write_source(graphp, vertices, vertices[s], mirrors[s - first]);
        }
    }
    progress.report(n);
    add_evaluations(graphp, int64_t{n} * (n - 1));
}
