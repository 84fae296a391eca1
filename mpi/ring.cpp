#include "mpi/ring.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <utility>

#include "base/parameters.h"
#include "base/workers.h"
#include "detect/construct.h"
#include "detect/core.h"
#include "detect/lanes.h"
#include "detect/rules.h"
#include "graph/graph.h"
#include "graph/metric.h"
#include "mpi/exchange.h"
#include "mpi/verdict.h"
#include "rules/rules.h"

namespace tarn::mpi {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

size_t index(int64_t i) {
    return static_cast<size_t>(i);
}

// Every own source's candidates: at most 2k, sorted by distance and, at equal distances, by
// vertex; the targets nearer than the k-th distance so far, and the k of lowest index at it.
class Candidates {
public:
    Candidates(size_t sources, int32_t k)
        : k_(k), dist_(sources * room()), target_(sources * room()), count_(sources, 0) {}

    void offer(size_t source, double dist, int32_t target) {
        double* d = dist_.data() + source * room();
        int32_t* t = target_.data() + source * room();
        int32_t& count = count_[source];
        if (count >= k_ && dist > d[k_ - 1]) return;
        int32_t at = count;
        for (; at > 0 && (d[at - 1] > dist || (d[at - 1] == dist && t[at - 1] > target)); --at) {
            d[at] = d[at - 1];
            t[at] = t[at - 1];
        }
        d[at] = dist;
        t[at] = target;
        if (++count <= k_) return;
        // Past the k-th distance D nothing is kept, and at D the k of lowest index.
        const double kth = d[k_ - 1];
        const int32_t first_tie = static_cast<int32_t>(std::lower_bound(d, d + count, kth) - d);
        const int32_t past = static_cast<int32_t>(std::upper_bound(d, d + count, kth) - d);
        count = std::min(past, first_tie + k_);
    }

    // A key above which a target is farther than the k-th distance so far, so that most
    // targets are turned away before their root is taken: infinite while fewer than k are held,
    // and for a metric whose root is only faithful (Minkowski's).
    double bar(size_t source, const Metric& metric) const {
        if (count_[source] < k_) return kInf;
        const double kth = dist_[source * room() + static_cast<size_t>(k_ - 1)];
        switch (metric.kind) {
            case MetricKind::kEuclidean: {
                // sqrt is correctly rounded, so a key above the square of the next double up
                // has a root above kth.
                const double up = std::nextafter(kth, kInf);
                return up * up;
            }
            case MetricKind::kMinkowski:
                return kInf;
            default:
                return kth;  // the key is the distance
        }
    }

    // The list the candidate rule leaves: the candidates offered in vertex order.
    void replay(size_t source, Mirror& out) const {
        const double* d = dist_.data() + source * room();
        const int32_t* t = target_.data() + source * room();
        Array<std::pair<int32_t, double>> by_vertex;
        for (int32_t i = 0; i < count_[source]; ++i)
            by_vertex.push_back({t[i], d[i]});
        std::sort(by_vertex.begin(), by_vertex.end());
        for (const auto& [target, dist] : by_vertex)
            mirror_offer(out, k_, dist, dist, target);
    }

private:
    size_t room() const { return 2 * static_cast<size_t>(k_); }

    int32_t k_;
    Array<double> dist_;
    Array<int32_t> target_;
    Array<int32_t> count_;
};

// Blocks travel in tiles of kLanes vectors, component-major inside a tile (component i of the
// tile's vector j at i × kLanes + j, a last tile padded with 0), so that one source's keys to a
// tile's vectors are computed lane by lane, each lane exactly metric_key (detect/lanes.h).
constexpr int32_t kTile = lanes::kLanes;

size_t tiles_of(int32_t count) {
    return (index(count) + kTile - 1) / kTile;
}

void pack(const double* rows, int32_t count, int32_t features, double* tiles) {
    const size_t f = index(features);
    std::fill(tiles, tiles + tiles_of(count) * f * kTile, 0.0);
    for (size_t t = 0; t < index(count); ++t) {
        for (size_t i = 0; i < f; ++i)
            tiles[(t / kTile) * f * kTile + i * kTile + t % kTile] = rows[t * f + i];
    }
}

// The cosine's norms of a tiled block's vectors, as metric_key takes them.
void tile_norms(const double* tiles, int32_t count, int32_t features, Array<double>& norms) {
    const size_t f = index(features);
    norms.assign(tiles_of(count) * kTile, 0.0);
    for (size_t t = 0; t < index(count); ++t) {
        double sum = 0.0;
        for (size_t i = 0; i < f; ++i) {
            const double x = tiles[(t / kTile) * f * kTile + i * kTile + t % kTile];
            sum += x * x;
        }
        norms[t] = std::sqrt(sum);
    }
}

// A turn's meeting: own sources (rows, features each; vertex mine.first + i for row i) and the
// visiting block's tiles (vertices first, first + 1, …).
struct Meeting {
    const double* own;
    const double* own_norms;
    SourceBlock mine;
    const double* tiles;
    const double* norms;
    int32_t first;
    int32_t count;
    int32_t features;
    Metric metric;
    Candidates* candidates;
};

// One source's keys to tiles [from, to) of the visiting block, each offered when it may be near
// enough.
template <typename Form>
__attribute__((always_inline)) inline void meet_tiles(const Meeting& m, int32_t row, size_t from,
                                                      size_t to) {
    using namespace lanes;
    const size_t f = index(m.features);
    const double* source = m.own + index(row) * f;
    const double norm = m.own_norms != nullptr ? m.own_norms[row] : 0.0;
    const int32_t vertex = m.mine.first + row;
    double bar = m.candidates->bar(index(row), m.metric);
    for (size_t t = from; t < to; ++t) {
        const double* tile = m.tiles + t * f * kTile;
        Lanes keys = {};
        for (size_t i = 0; i < f; ++i) {
            Lanes column;
            std::memcpy(&column, tile + i * kTile, sizeof column);
            Form::accumulate(keys, source[i], column, m.metric.p);
        }
        finish<Form>(keys, norm, m.norms != nullptr ? m.norms + t * kTile : nullptr);
        const int32_t lanes_used =
            std::min<int32_t>(kTile, m.count - static_cast<int32_t>(t) * kTile);
        for (int32_t lane = 0; lane < lanes_used; ++lane) {
            const int32_t target = m.first + static_cast<int32_t>(t) * kTile + lane;
            // The key, then its root: metric_distance's bits.
            if (target == vertex || keys[lane] > bar) continue;
            m.candidates->offer(index(row), metric_root(m.metric, keys[lane]), target);
            bar = m.candidates->bar(index(row), m.metric);
        }
    }
}

// Bytes of tiles that every source of a range meets before the next ones: they stay in the
// core's second-level cache meanwhile.
constexpr size_t kCachedTiles = size_t{1} << 18;

template <typename Form>
__attribute__((always_inline)) inline void meet_rows(const Meeting& m, int32_t begin, int32_t end) {
    const size_t f = index(m.features);
    const size_t tiles = tiles_of(m.count);
    const size_t step = std::max<size_t>(1, kCachedTiles / (f * kTile * sizeof(double)));
    for (size_t from = 0; from < tiles; from += step) {
        const size_t to = std::min(tiles, from + step);
        for (int32_t row = begin; row < end; ++row)
            meet_tiles<Form>(m, row, from, to);
    }
}

// meet_rows for the run's metric (the clones cannot be templates).
TARN_CLONES void meet_range(const Meeting& m, int32_t begin, int32_t end) {
    using namespace lanes;
    switch (m.metric.kind) {
        case MetricKind::kEuclidean:
            return meet_rows<Squares>(m, begin, end);
        case MetricKind::kManhattan:
            return meet_rows<Absolute>(m, begin, end);
        case MetricKind::kChebyshev:
            return meet_rows<Largest>(m, begin, end);
        case MetricKind::kMinkowski:
            return meet_rows<Powers>(m, begin, end);
        case MetricKind::kCosine:
            return meet_rows<Products>(m, begin, end);
    }
}

void meet(const Meeting& m, int32_t threads) {
    auto body = [&](int32_t, int32_t begin, int32_t end) { meet_range(m, begin, end); };
    for_each_range(m.mine.last - m.mine.first, 64, threads, body);
}

}  // namespace

void judge_around_ring(VectorRun& block, const Parameters* p, Array<Verdict>* verdicts,
                       Array<DuplicateScores>* duplicates, bool* overflow) {
    const int32_t n = static_cast<int32_t>(block.n);
    const int rank = world_rank(), ranks = world_size();
    const Blocks blocks(n, rank, ranks);
    const int32_t k = p->k;
    const int32_t threads = worker_threads(p->threads);
    Rows rows;  // no vector: the kept distances stand for them
    rows.metric = metric_of(p);
    const Array<double> widths = all_values(block.dims.empty() ? 0.0 : block.dims[0] - 1.0);
    rows.features = static_cast<int32_t>(*std::max_element(widths.begin(), widths.end()));
    const int32_t f = rows.features;
    const size_t width = index(f);
    int32_t largest = 0;  // vectors in the largest block
    for (int r = 0; r < ranks; ++r)
        largest = std::max(largest, blocks.first(r + 1) - blocks.first(r));
    Array<int32_t> labels;
    Array<double> own, held, next, own_norms, norms;  // own_norms in tiles, by row
    step([&]() -> std::optional<Error> {
        if (static_cast<double>(largest) * f > 2147483647.0) {
            return Error{ErrorKind::kAllocation,
                         "tarn-mpi: a block of more than 2^31 values; run on more processes\n"};
        }
        // Two blocks in flight, each source's candidates and each entry's kept distance.
        const double share = blocks.count();
        const double extra =
            2.0 * static_cast<double>(tiles_of(largest) * kTile) * f * sizeof(double) +
            share * 2 * k * (sizeof(double) + sizeof(int32_t)) + share * k * sizeof(double);
        if (std::optional<Error> failure = check_share_memory(blocks.count(), f, p, extra)) {
            return failure;
        }
        const size_t count = block.dims.size();
        labels.resize(count);
        own.resize(count * width);
        for (size_t i = 0; i < count; ++i) {
            const double* x = block.values.data() + i * (width + 1);
            std::copy_n(x, f, own.data() + i * width);
            labels[i] = label_of(x[f]);
        }
        Array<double>().swap(block.values);
        // Both buffers take the largest block: they trade places every turn.
        held.resize(tiles_of(largest) * width * kTile);
        pack(own.data(), blocks.count(), f, held.data());
        next.resize(held.size());
        if (rows.metric.kind == MetricKind::kCosine)
            tile_norms(held.data(), blocks.count(), f, own_norms);
        return std::nullopt;
    });
    std::optional<Candidates> candidates;
    step([&] { candidates.emplace(index(blocks.count()), k); });
    // Turn j: the block of rank − j is here; the one of rank − j − 1 arrives meanwhile.
    for (int j = 0; j < ranks; ++j) {
        const int from = (rank - j + ranks) % ranks;
        const int after = (rank - j - 1 + ranks) % ranks;
        const int32_t count = blocks.first(from + 1) - blocks.first(from);
        std::optional<RingTurn> turn;
        if (j + 1 < ranks) {
            const size_t sending = tiles_of(count) * width * kTile;
            const size_t coming =
                tiles_of(blocks.first(after + 1) - blocks.first(after)) * width * kTile;
            turn.emplace(held.data(), sending, next.data(), coming);
        }
        step([&] {
            const bool cosine = rows.metric.kind == MetricKind::kCosine;
            if (cosine) tile_norms(held.data(), count, f, norms);
            const Meeting meeting{own.data(),
                                  cosine ? own_norms.data() : nullptr,
                                  blocks.mine(),
                                  held.data(),
                                  cosine ? norms.data() : nullptr,
                                  blocks.first(from),
                                  count,
                                  f,
                                  rows.metric,
                                  &*candidates};
            meet(meeting, threads);
        });
        if (turn) {
            turn->finish();
            std::swap(held, next);
        }
    }
    NeighbourLists lists;
    Array<double> kept;  // every entry's distance
    bool overflowed = false;
    step([&] {
        Array<double>().swap(held);
        Array<double>().swap(next);
        Array<double>().swap(own);
        const size_t b = index(blocks.count());
        lists.n = blocks.count();
        lists.k = k;
        lists.target.resize(b * index(k));
        lists.kdist.resize(b);
        kept.resize(b * index(k));
        Array<Kept> room(index(k) + 1);
        for (size_t i = 0; i < b; ++i) {
            Mirror mirror{room.data(), 0, 0.0};
            candidates->replay(i, mirror);
            for (int32_t e = 0; e < k; ++e) {
                lists.target[i * index(k) + index(e)] = mirror.kept[e].target;
                kept[i * index(k) + index(e)] = mirror.kept[e].dist;
                overflowed = overflowed || std::isinf(mirror.kept[e].dist);
            }
            lists.kdist[i] = mirror.kept[k - 1].dist;
        }
        candidates.reset();
    });
    note_lists_made();
    *overflow = sum(overflowed ? 1 : 0) > 0;
    const size_t rules_run = p->all_rules == 1 ? rules().size() : 1;
    for (size_t r = 0; r < rules_run; ++r) {
        const Parameters one = rules_run == 1 ? *p : with_rule(p, rules()[r]);
        Verdict verdict;
        duplicates->push_back(judge(rows, lists, blocks, &one, &verdict, &kept));
        step([&] { verdict.label = labels; });
        verdicts->push_back(std::move(verdict));
    }
}

}  // namespace tarn::mpi
