#include "detect/knn.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <type_traits>

#include "detect/lanes.h"

namespace {

using tarn::Array;
using tarn::Kept;
using tarn::Metric;
using tarn::MetricKind;
using tarn::Mirror;
using tarn::mirror_insert;
using tarn::mirror_offer;
using namespace tarn::lanes;

// Targets are stored in tiles of kTile vectors, component-major inside a tile, so that one
// load brings the same component of several targets. Sources are taken kSources at a time so
// that every loaded tile serves several sources.
constexpr int kTile = 32;
constexpr int kSources = 4;
// Bytes of targets per cache block: a block of tiles stays in the core's second-level cache
// while every source of a range runs over it.
constexpr int kBlockBytes = 256 * 1024;

// Each clone splits a Lanes (detect/lanes.h) into the registers its instruction set has; every
// lane's sum is its own, so the width changes no computed bit.
static_assert(kTile % kLanes == 0, "a tile's component row is whole vector values");
constexpr int kVectorsPerTile = kTile / kLanes;

// The vectors without their label column (which is 0 everywhere and changes no metric's bits),
// in tiles: component i of vector t at tiles[(t / kTile) × dim × kTile + i × kTile + t % kTile].
// Sources and targets are read from the same copy.
struct Packed {
    int32_t n = 0;
    int32_t dim = 0;
    Metric metric;
    Array<double> tiles;  // ceil(n / kTile) tiles of dim × kTile
    Array<double> norms;  // for the cosine: each vector's norm, as metric_key takes its root,
                          // padded to whole tiles; empty for the other metrics
    const tarn::Rows* rows = nullptr;  // the vectors packed, outliving the search

    // Component 0 of vector t; component i lies i × kTile further on.
    const double* column(int32_t t) const {
        return tiles.data() + static_cast<size_t>(t / kTile) * static_cast<size_t>(dim) * kTile +
               t % kTile;
    }
};

Packed pack(const tarn::Rows& rows) {
    Packed p;
    p.n = static_cast<int32_t>(rows.size());
    p.dim = rows.features;
    p.metric = rows.metric;
    p.rows = &rows;
    const size_t dim = static_cast<size_t>(p.dim);
    const size_t tiles = (rows.size() + kTile - 1) / kTile;
    // Vectors of a label alone have no components; one tile's row of padding keeps column()
    // off a null base.
    p.tiles.assign(std::max(tiles * dim * kTile, size_t{kTile}), 0.0);
    for (size_t t = 0; t < rows.size(); ++t) {
        const double* x = rows[t];
        for (size_t i = 0; i < dim; ++i) {
            p.tiles[(t / kTile) * dim * kTile + i * kTile + t % kTile] = x[i];
        }
    }
    if (p.metric.kind == MetricKind::kCosine) {
        p.norms.assign(tiles * kTile, 0.0);
        for (size_t t = 0; t < rows.size(); ++t) {
            double sum = 0.0;
            for (size_t i = 0; i < dim; ++i)
                sum += rows[t][i] * rows[t][i];
            p.norms[t] = std::sqrt(sum);
        }
    }
    return p;
}

// Offers one target to a source whose list is full. Most candidates fail the first compare: sqrt
// is correctly rounded and so nondecreasing, so a key not below the farthest kept key cannot give
// a smaller distance; so for the metrics without a root. Minkowski's pow is only faithful: its
// distances are compared as they are.
inline void offer_full(Mirror& m, const Metric& metric, double sq, int32_t target) {
    const Kept& farthest = m.kept[m.count - 1];
    if (metric.kind != MetricKind::kMinkowski && !(sq < farthest.sq)) return;
    double dist = tarn::metric_root(metric, sq);
    mirror_offer(m, m.count, dist, sq, target);  // equal roots of different keys stay out
}

inline void offer(Mirror& m, const Metric& metric, int32_t k, double sq, int32_t target) {
    if (m.count < k) {
        mirror_insert(m, tarn::metric_root(metric, sq), sq, target);
    } else {
        offer_full(m, metric, sq, target);
    }
}

// Keys (squared distances for the Euclidean metric) of `count` sources to the kTile targets of
// one tile, into out. Each lane accumulates its terms in ascending i without contraction, so
// every value equals metric_key's bit for bit, whatever instruction set runs it (the cosine's
// is its distance, from the norms: source_norms[s], and target_norms for the tile). Returns a
// bit per source, set when some lane is below that source's screen (the key of its farthest
// kept neighbour, or a reach beyond it); out is written only when a bit is set or some source
// is still filling its list.
template <typename Form, int count>
__attribute__((always_inline)) inline unsigned tile_kernel(const double* const* sources,
                                                           const double* tile, int32_t dim,
                                                           double p, const double* source_norms,
                                                           const double* target_norms,
                                                           const double* screen, bool filling,
                                                           double out[][kTile]) {
    Lanes acc[count][kVectorsPerTile] = {};
    for (int32_t i = 0; i < dim; ++i) {
        Lanes t[kVectorsPerTile];
        for (int v = 0; v < kVectorsPerTile; ++v) {
            __builtin_memcpy(&t[v], tile + i * kTile + v * kLanes, sizeof(Lanes));
        }
        for (int s = 0; s < count; ++s) {
            const double a = sources[s][i * kTile];
            for (int v = 0; v < kVectorsPerTile; ++v) {
                Form::accumulate(acc[s][v], a, t[v], p);
            }
        }
    }
    for (int s = 0; s < count; ++s) {
        for (int v = 0; v < kVectorsPerTile; ++v)
            finish<Form>(acc[s][v], source_norms[s], target_norms + v * kLanes);
    }
    // Most tiles hold no candidate for any of the sources: one test decides that. A lane is a
    // candidate when its square minus the screen is negative; distinct values never subtract to
    // zero, and a not-a-number difference may only raise a false alarm, which the exact test of
    // each lane below settles.
    Bits signs[count];
    Bits all = {};
    for (int s = 0; s < count; ++s) {
        Lanes screens;
        for (int lane = 0; lane < kLanes; ++lane)
            screens[lane] = screen[s];
        signs[s] = __builtin_bit_cast(Bits, acc[s][0] - screens);
        for (int v = 1; v < kVectorsPerTile; ++v) {
            signs[s] |= __builtin_bit_cast(Bits, acc[s][v] - screens);
        }
        all |= signs[s];
    }
    if (!any_negative(all) && !filling) return 0;
    unsigned below = 0;
    for (int s = 0; s < count; ++s) {
        if (any_negative(signs[s])) below |= 1u << s;
        for (int v = 0; v < kVectorsPerTile; ++v) {
            __builtin_memcpy(&out[s][v * kLanes], &acc[s][v], sizeof(Lanes));
        }
    }
    return below;
}

// Runs `count` sources from first_source over the tiles [tile_begin, tile_end), in target
// order. A source whose list is still filling takes every target; a full one only looks at a
// tile when some square there is below its screen.
template <typename Form, int count>
__attribute__((always_inline)) inline void run_tiles(const Packed& p, int32_t first_source,
                                                     int32_t k, Mirror* mirrors, int32_t tile_begin,
                                                     int32_t tile_end) {
    const size_t dim = static_cast<size_t>(p.dim);
    const bool normed = !p.norms.empty();
    const double* sources[count];
    double source_norms[count];
    for (int s = 0; s < count; ++s) {
        sources[s] = p.column(first_source + s);
        source_norms[s] = normed ? p.norms[static_cast<size_t>(first_source + s)] : 0.0;
    }
    double screen[count];
    double sq[count][kTile];
    int filling = 0;  // sources whose list is not full yet
    auto refresh = [&](int s) {
        const Mirror& m = mirrors[s];
        if (m.count < k) {
            screen[s] = std::numeric_limits<double>::infinity();
            ++filling;
        } else {
            // For Minkowski a key up to the reach may still give a distance below the farthest.
            const double farthest = m.kept[m.count - 1].sq;
            screen[s] = p.metric.kind == MetricKind::kMinkowski
                            ? tarn::metric_reach(p.metric, farthest)
                            : farthest;
        }
    };
    for (int s = 0; s < count; ++s)
        refresh(s);
    for (int32_t t = tile_begin; t < tile_end; ++t) {
        const double* tile = p.tiles.data() + static_cast<size_t>(t) * dim * kTile;
        const double* target_norms =
            normed ? p.norms.data() + static_cast<size_t>(t) * kTile : nullptr;
        const unsigned below = tile_kernel<Form, count>(
            sources, tile, p.dim, p.metric.p, source_norms, target_norms, screen, filling > 0, sq);
        if (below == 0 && filling == 0) continue;
        const int32_t base = t * kTile;
        const int32_t width = std::min(kTile, p.n - base);
        filling = 0;
        for (int s = 0; s < count; ++s) {
            Mirror& m = mirrors[s];
            if (m.count >= k && (below >> s & 1u) == 0) continue;
            const int32_t self = first_source + s;
            for (int32_t j = 0; j < width; ++j) {
                if (base + j == self) continue;
                // A lane's not-a-number has the bits its operands' order happened to give:
                // metric_key fixes them.
                const double key = std::isnan(sq[s][j])
                                       ? tarn::metric_key(p.metric, (*p.rows)[size_t(self)],
                                                          (*p.rows)[size_t(base + j)], p.dim)
                                       : sq[s][j];
                offer(m, p.metric, k, key, base + j);
            }
        }
        for (int s = 0; s < count; ++s)
            refresh(s);
    }
}

// run_tiles for the packed vectors' metric (the clones cannot be templates).
template <int count>
__attribute__((always_inline)) inline void run_metric_tiles(const Packed& p, int32_t first_source,
                                                            int32_t k, Mirror* mirrors,
                                                            int32_t tile_begin, int32_t tile_end) {
    switch (p.metric.kind) {
        case MetricKind::kEuclidean:
            return run_tiles<Squares, count>(p, first_source, k, mirrors, tile_begin, tile_end);
        case MetricKind::kManhattan:
            return run_tiles<Absolute, count>(p, first_source, k, mirrors, tile_begin, tile_end);
        case MetricKind::kChebyshev:
            return run_tiles<Largest, count>(p, first_source, k, mirrors, tile_begin, tile_end);
        case MetricKind::kMinkowski:
            return run_tiles<Powers, count>(p, first_source, k, mirrors, tile_begin, tile_end);
        case MetricKind::kCosine:
            return run_tiles<Products, count>(p, first_source, k, mirrors, tile_begin, tile_end);
    }
}

TARN_CLONES void run_tiles_group(const Packed& p, int32_t first_source, int32_t k, Mirror* mirrors,
                                 int32_t tile_begin, int32_t tile_end) {
    run_metric_tiles<kSources>(p, first_source, k, mirrors, tile_begin, tile_end);
}

TARN_CLONES void run_tiles_single(const Packed& p, int32_t first_source, int32_t k, Mirror* mirrors,
                                  int32_t tile_begin, int32_t tile_end) {
    run_metric_tiles<1>(p, first_source, k, mirrors, tile_begin, tile_end);
}

// Computes the mirrors of sources [first, last). Targets go in cache-sized blocks, every source
// of the range running over one block before the next, so each source still sees the targets
// in order.
void compute_range(const Packed& p, int32_t k, int32_t first, int32_t last, Mirror* mirrors) {
    const int32_t tiles = (p.n + kTile - 1) / kTile;
    const int32_t block_tiles =
        std::max(1, kBlockBytes / (p.dim * kTile * static_cast<int>(sizeof(double)) + 1));
    for (int32_t begin = 0; begin < tiles; begin += block_tiles) {
        const int32_t end = std::min(tiles, begin + block_tiles);
        int32_t s = first;
        for (; s + kSources <= last; s += kSources) {
            run_tiles_group(p, s, k, mirrors + (s - first), begin, end);
        }
        for (; s < last; ++s)
            run_tiles_single(p, s, k, mirrors + (s - first), begin, end);
    }
}

// The tiled search: sources in vertex order, groups of consecutive sources, no state of its own.
class TiledSearch final : public tarn::NeighbourSearch {
public:
    TiledSearch(const Packed& packed, int32_t k) : packed_(packed), k_(k) {}
    void prepare(int32_t /*workers*/) override {}
    // The sources come in vertex order, so consecutive.
    int64_t search(int32_t /*worker*/, const int32_t* sources, int32_t count,
                   Mirror* mirrors) override {
        compute_range(packed_, k_, sources[0], sources[0] + count, mirrors);
        return int64_t{count} * (packed_.n - 1);
    }
    int32_t group() const override { return 8 * kSources; }

private:
    const Packed& packed_;
    const int32_t k_;
};

}  // namespace

namespace tarn {

void create_edges_fast(Graph* graphp, int32_t k, int32_t threads, size_t chunk_entries,
                       SourceBlock block) {
    const Array<Vertex*> vertices = tarn::graph_vertices(graphp);
    if (vertices.size() < 2) return;
    const Rows rows = graph_rows(vertices, graphp->metric);
    const Packed packed = pack(rows);
    TiledSearch search(packed, k);
    tarn::build_neighbours(graphp, vertices, k, threads, chunk_entries, search, block);
}

int64_t search_tiled(const Rows& rows, int32_t k, int32_t threads, ListSink& sink,
                     size_t chunk_entries, SourceBlock block) {
    if (rows.size() < 2) return 0;
    const Packed packed = pack(rows);
    TiledSearch search(packed, k);
    return build_lists(static_cast<int32_t>(rows.size()), k, threads, chunk_entries, search, sink,
                       block);
}

}  // namespace tarn
