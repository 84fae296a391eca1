#include "detect/knn.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>

namespace {

using tarn::Array;
using tarn::Kept;
using tarn::Mirror;
using tarn::mirror_insert;
using tarn::mirror_offer;

// Targets are stored in tiles of kTile vectors, component-major inside a tile, so that one
// load brings the same component of several targets. Sources are taken kSources at a time so
// that every loaded tile serves several sources.
constexpr int kTile = 32;
constexpr int kSources = 4;
// Bytes of targets per cache block: a block of tiles stays in the core's second-level cache
// while every source of a range runs over it.
constexpr int kBlockBytes = 256 * 1024;

// The doubles in one Lanes value, the unit of tile_kernel's arithmetic, which reads a tile's
// component row as kVectorsPerTile such values. Each clone splits a Lanes into the registers its
// instruction set has; every lane's sum is its own, so the width changes no computed bit.
constexpr int kLanes = 8;
typedef double Lanes __attribute__((vector_size(sizeof(double) * kLanes)));
static_assert(kTile % kLanes == 0, "a tile's component row is whole vector values");
constexpr int kVectorsPerTile = kTile / kLanes;

// The vectors without their label column (which is 0 everywhere and adds nothing to a sum), in
// tiles: component i of vector t at tiles[(t / kTile) × dim × kTile + i × kTile + t % kTile].
// Sources and targets are read from the same copy.
struct Packed {
    int32_t n = 0;
    int32_t dim = 0;
    Array<double> tiles;  // ceil(n / kTile) tiles of dim × kTile

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
    return p;
}

// Offers one target to a source whose list is full. Most candidates fail the first compare:
// sqrt is monotonic, so a square not below the farthest kept square cannot give a smaller root.
inline void offer_full(Mirror& m, double sq, int32_t target) {
    const Kept& farthest = m.kept[m.count - 1];
    if (!(sq < farthest.sq)) return;
    double dist = std::sqrt(sq);
    mirror_offer(m, m.count, dist, sq, target);  // equal roots of different squares stay out
}

inline void offer(Mirror& m, int32_t k, double sq, int32_t target) {
    if (m.count < k) {
        mirror_insert(m, std::sqrt(sq), sq, target);
    } else {
        offer_full(m, sq, target);
    }
}

typedef int64_t Bits __attribute__((vector_size(sizeof(int64_t) * kLanes)));

// Whether the sign bit of any lane is set. The shuffles fold eight lanes in three steps.
static_assert(kLanes == 8, "any_negative folds eight lanes");
__attribute__((always_inline)) inline bool any_negative(const Bits& bits) {
    Bits m = bits;
#if defined(__clang__)
    m |= __builtin_shufflevector(m, m, 4, 5, 6, 7, 0, 1, 2, 3);
    m |= __builtin_shufflevector(m, m, 2, 3, 0, 1, 6, 7, 4, 5);
    m |= __builtin_shufflevector(m, m, 1, 0, 3, 2, 5, 4, 7, 6);
#else
    m |= __builtin_shuffle(m, Bits{4, 5, 6, 7, 0, 1, 2, 3});
    m |= __builtin_shuffle(m, Bits{2, 3, 0, 1, 6, 7, 4, 5});
    m |= __builtin_shuffle(m, Bits{1, 0, 3, 2, 5, 4, 7, 6});
#endif
    return m[0] < 0;
}

// Squared distances of `count` sources to the kTile targets of one tile, into out.
// Each lane sums (a_i − b_i)² in ascending i without contraction, so every value equals
// cdist's sum bit for bit, whatever instruction set runs it. Returns a bit per source, set when
// some lane is below that source's screen (the square of its farthest kept neighbour); out is
// written only when a bit is set or some source is still filling its list.
template <int count>
__attribute__((always_inline)) inline unsigned tile_kernel(const double* const* sources,
                                                           const double* tile, int32_t dim,
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
                Lanes diff = a - t[v];
                acc[s][v] = acc[s][v] + diff * diff;
            }
        }
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
template <int count>
__attribute__((always_inline)) inline void run_tiles(const Packed& p, int32_t first_source,
                                                     int32_t k, Mirror* mirrors, int32_t tile_begin,
                                                     int32_t tile_end) {
    const size_t dim = static_cast<size_t>(p.dim);
    const double* sources[count];
    for (int s = 0; s < count; ++s)
        sources[s] = p.column(first_source + s);
    double screen[count];
    double sq[count][kTile];
    int filling = 0;  // sources whose list is not full yet
    auto refresh = [&](int s) {
        const Mirror& m = mirrors[s];
        if (m.count < k) {
            screen[s] = std::numeric_limits<double>::infinity();
            ++filling;
        } else {
            screen[s] = m.kept[m.count - 1].sq;
        }
    };
    for (int s = 0; s < count; ++s)
        refresh(s);
    for (int32_t t = tile_begin; t < tile_end; ++t) {
        const double* tile = p.tiles.data() + static_cast<size_t>(t) * dim * kTile;
        const unsigned below = tile_kernel<count>(sources, tile, p.dim, screen, filling > 0, sq);
        if (below == 0 && filling == 0) continue;
        const int32_t base = t * kTile;
        const int32_t width = std::min(kTile, p.n - base);
        filling = 0;
        for (int s = 0; s < count; ++s) {
            Mirror& m = mirrors[s];
            if (m.count >= k && (below >> s & 1u) == 0) continue;
            const int32_t self = first_source + s;
            for (int32_t j = 0; j < width; ++j) {
                if (base + j != self) offer(m, k, sq[s][j], base + j);
            }
        }
        for (int s = 0; s < count; ++s)
            refresh(s);
    }
}

TARN_CLONES void run_tiles_group(const Packed& p, int32_t first_source, int32_t k, Mirror* mirrors,
                                 int32_t tile_begin, int32_t tile_end) {
    run_tiles<kSources>(p, first_source, k, mirrors, tile_begin, tile_end);
}

TARN_CLONES void run_tiles_single(const Packed& p, int32_t first_source, int32_t k, Mirror* mirrors,
                                  int32_t tile_begin, int32_t tile_end) {
    run_tiles<1>(p, first_source, k, mirrors, tile_begin, tile_end);
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
    const Packed packed = pack(graph_rows(vertices));
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
