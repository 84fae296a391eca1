#include "mpi/ring.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "base/parameters.h"
#include "base/workers.h"
#include "detect/construct.h"
#include "detect/core.h"
#include "detect/rules.h"
#include "graph/graph.h"
#include "graph/metric.h"
#include "mpi/exchange.h"
#include "mpi/verdict.h"
#include "rules/rules.h"

namespace tarn::mpi {
namespace {

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

// Offers every vector of a visiting block (vertices first, first + 1, …; features each) to
// every own source (own: the block's features, vertex mine.first + i for row i).
void meet(const Array<double>& own, SourceBlock mine, const double* visiting, int32_t first,
          int32_t count, int32_t features, const Metric& metric, int32_t threads,
          Candidates& candidates) {
    const size_t width = index(features);
    auto body = [&](int32_t, int32_t begin, int32_t end) {
        for (int32_t i = begin; i < end; ++i) {
            const double* source = own.data() + index(i) * width;
            const int32_t vertex = mine.first + i;
            for (int32_t j = 0; j < count; ++j) {
                if (first + j == vertex) continue;
                const double dist =
                    metric_distance(metric, source, visiting + index(j) * width, features);
                candidates.offer(index(i), dist, first + j);
            }
        }
    };
    for_each_range(mine.last - mine.first, 64, threads, body);
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
    Array<double> own, held, next;
    step([&]() -> std::optional<Error> {
        if (static_cast<double>(largest) * f > 2147483647.0) {
            return Error{ErrorKind::kAllocation,
                         "tarn-mpi: a block of more than 2^31 values; run on more processes\n"};
        }
        // Two blocks in flight, each source's candidates and each entry's kept distance.
        const double share = blocks.count();
        const double extra = 2.0 * largest * f * sizeof(double) +
                             share * 2 * k * (sizeof(double) + sizeof(int32_t)) +
                             share * k * sizeof(double);
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
        held.resize(index(largest) * width);
        std::copy(own.begin(), own.end(), held.begin());
        next.resize(index(largest) * width);
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
            const size_t sending = index(count) * width;
            const size_t coming = index(blocks.first(after + 1) - blocks.first(after)) * width;
            turn.emplace(held.data(), sending, next.data(), coming);
        }
        step([&] {
            meet(own, blocks.mine(), held.data(), blocks.first(from), count, f, rows.metric,
                 threads, *candidates);
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
