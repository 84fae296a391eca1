#include "mpi/verdict.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <functional>
#include <limits>
#include <numeric>

#include "base/parameters.h"
#include "detect/rules.h"

namespace tarn::mpi {
namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();

// One edge on its way to its target's owner.
struct Incoming {
    int32_t source;
    int32_t target;
    double dist;
};

// The inbound lists of the block's vertices: vertex i of the block has the records
// [first[i], first[i + 1]), in the order a single process appends them.
struct Inbound {
    Array<int64_t> first;
    Array<int32_t> source;
    Array<double> dist;
    int32_t count(size_t i) const { return static_cast<int32_t>(first[i + 1] - first[i]); }
};

// Sends every edge of the block's sources to its target's owner, in source order and each
// source's list order. What arrives comes in rank order, so in source order: a stable sort by
// target leaves every inbound list as a single process builds it.
Inbound collect_inbound(const NeighbourLists& lists, const Blocks& blocks) {
    const SourceBlock own = blocks.mine();
    const size_t ranks = static_cast<size_t>(blocks.size());
    Array<int64_t> counts;
    Array<Incoming> send;
    step([&] {
        counts.assign(ranks, 0);
        int64_t edges = 0;
        for (const int32_t t : lists.target) {
            ++counts[static_cast<size_t>(blocks.owner(t))];
            ++edges;
        }
        Array<int64_t> at(ranks + 1, 0);
        for (size_t r = 0; r < ranks; ++r)
            at[r + 1] = at[r] + counts[r];
        send.resize(static_cast<size_t>(edges));
        for (int32_t s = own.first; s < own.last; ++s) {
            const int32_t i = s - own.first;
            for (size_t e = lists.at(i); e < lists.at(i + 1); ++e) {
                const size_t r = static_cast<size_t>(blocks.owner(lists.target[e]));
                send[static_cast<size_t>(at[r]++)] = {s, lists.target[e], lists.dist[e]};
            }
        }
    });
    Array<int64_t> received;
    const Array<Incoming> arrived = exchange(send, counts, &received);
    Inbound in;
    step([&] {
        Array<Incoming>().swap(send);
        const size_t block = static_cast<size_t>(blocks.count());
        in.first.assign(block + 1, 0);
        for (const Incoming& edge : arrived)
            ++in.first[static_cast<size_t>(edge.target - own.first) + 1];
        for (size_t i = 0; i < block; ++i)
            in.first[i + 1] += in.first[i];
        Array<int64_t> next(in.first.begin(), in.first.end() - 1);
        in.source.resize(arrived.size());
        in.dist.resize(arrived.size());
        for (const Incoming& edge : arrived) {
            const size_t at =
                static_cast<size_t>(next[static_cast<size_t>(edge.target - own.first)]++);
            in.source[at] = edge.source;
            in.dist[at] = edge.dist;
        }
    });
    return in;
}

// calcthreshold over every process: the least nearest-neighbour distance and the greatest kept
// distance, each process's own folded in rank order with the comparisons of findmin and findmax
// (a not-a-number never wins, so the fold gives what the walk over all vertices gives).
double incoming_threshold(const NeighbourLists& lists, double th) {
    double minimum = DBL_MAX, maximum = 0.0;
    for (int32_t i = 0; i < lists.n; ++i) {
        if (lists.dist[lists.at(i)] < minimum) minimum = lists.dist[lists.at(i)];
    }
    for (const double d : lists.dist) {
        if (d > maximum) maximum = d;
    }
    const Array<double> least = all_values(minimum), greatest = all_values(maximum);
    minimum = std::accumulate(least.begin(), least.end(), DBL_MAX,
                              [](double m, double x) { return x < m ? x : m; });
    maximum = std::accumulate(greatest.begin(), greatest.end(), 0.0,
                              [](double m, double x) { return x > m ? x : m; });
    return (maximum - minimum) * th - minimum;
}

// The in-degree after mutual pruning: the keepers of t that t keeps too.
int32_t mutual_count(const NeighbourLists& lists, const Inbound& in, size_t i,
                     Array<int32_t>& kept) {
    const int32_t row = static_cast<int32_t>(i);
    kept.assign(lists.target.begin() + static_cast<std::ptrdiff_t>(lists.at(row)),
                lists.target.begin() + static_cast<std::ptrdiff_t>(lists.at(row + 1)));
    std::sort(kept.begin(), kept.end());
    int32_t count = 0;
    for (int64_t j = in.first[i]; j < in.first[i + 1]; ++j)
        count += std::binary_search(kept.begin(), kept.end(), in.source[static_cast<size_t>(j)]);
    return count;
}

// The local outlier factor of the block's vertices, with lrd's and lof's operations in their
// order (detect/lof.cpp): the neighbours' k-distances, then their densities, from their owners.
void local_outlier_factors(const NeighbourLists& lists, const Blocks& blocks, BlockVerdict& out) {
    const size_t block = static_cast<size_t>(blocks.count());
    const double k = static_cast<double>(lists.k);
    Array<double> own_values;
    step([&] {
        own_values.resize(block);
        for (int32_t i = 0; i < lists.n; ++i)  // each one's k-distance
            own_values[static_cast<size_t>(i)] = lists.dist[lists.at(i + 1) - 1];
    });
    const Array<double> k_distance = fetch(blocks, lists.target, own_values);
    step([&] {
        for (int32_t i = 0; i < lists.n; ++i) {
            double reach = 0.0;
            for (size_t j = lists.at(i); j < lists.at(i + 1); ++j) {
                const double kdist = k_distance[j];
                reach += lists.dist[j] < kdist ? kdist : lists.dist[j];
            }
            own_values[static_cast<size_t>(i)] = 1 / (reach / k);
        }
    });
    const Array<double> density = fetch(blocks, lists.target, own_values);
    step([&] {
        for (int32_t row = 0; row < lists.n; ++row) {
            const size_t i = static_cast<size_t>(row);
            const double mine = own_values[i];
            double sum = 0.0;
            bool infinite = mine == kInfinity;
            for (size_t j = lists.at(row); j < lists.at(row + 1); ++j) {
                sum += density[j];
                infinite = infinite || density[j] == kInfinity;
            }
            const double factor = (sum / mine) / k;
            out.lof[i] = factor;
            // Counted as duplicate_scores counts: only what an infinite density made so.
            if (std::isfinite(factor) || !infinite) continue;
            if (std::isnan(factor)) {
                ++out.duplicates.nan;
            } else if (factor > 0) {
                ++out.duplicates.inf;
            }
        }
    });
    out.duplicates.nan = static_cast<int32_t>(sum(out.duplicates.nan));
    out.duplicates.inf = static_cast<int32_t>(sum(out.duplicates.inf));
}

// mark_most_outlying over every process: rank 0 gathers the ranking scores that are numbers,
// turned so that higher is more outlying, finds the cut and broadcasts it.
void mark_share(const Blocks& blocks, const Parameters* p, int32_t n, BlockVerdict& out) {
    const bool higher = selected_rule(p).higher_is_outlying;
    auto outlying = [&](double score) { return higher ? score : -score; };
    Array<double> ranked;
    step([&] {
        for (double score : out.score) {
            if (!std::isnan(outlying(score))) ranked.push_back(outlying(score));
        }
    });
    Array<double> all = gather(ranked);
    struct Cut {
        int32_t any;
        double at;
    } cut = {0, kInfinity};
    if (blocks.rank() == 0) {
        step([&] {
            const size_t count =
                std::min(static_cast<size_t>(share_count(p->share, n)), all.size());
            cut.any = count > 0 ? 1 : 0;
            if (count == 0) return;
            std::nth_element(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(count - 1),
                             all.end(), std::greater<double>());
            cut.at = all[count - 1];
        });
    } else {
        step([] {});
    }
    cut = broadcast_value(cut);
    for (size_t i = 0; i < out.score.size(); ++i)
        out.mark[i] = cut.any == 1 && outlying(out.score[i]) >= cut.at ? 1 : 0;
}

}  // namespace

BlockVerdict judge(const NeighbourLists& lists, const Array<int32_t>& labels, const Blocks& blocks,
                   const Parameters* p) {
    const Rule& rule = selected_rule(p);
    const size_t block = static_cast<size_t>(blocks.count());
    const Inbound in = collect_inbound(lists, blocks);
    BlockVerdict out;
    step([&] {
        out.lof.assign(block, 0.0);
        out.label = labels;
        out.mark.resize(block);
        out.score.resize(block);
    });
    // The in-degree field each rule leaves: the inbound count, 0 where the rule marks.
    Array<int32_t> field;
    step([&] {
        field.resize(block);
        for (size_t i = 0; i < block; ++i)
            field[i] = in.count(i);
    });
    switch (rule.kind) {
        case RULE_INDEGREE:
            for (size_t i = 0; i < block; ++i) {
                out.score[i] = field[i];
                if (field[i] <= p->I) field[i] = 0;
            }
            break;
        case RULE_MKNN:
            step([&] {
                Array<int32_t> kept;
                for (size_t i = 0; i < block; ++i) {
                    field[i] = mutual_count(lists, in, i, kept);
                    out.score[i] = field[i];
                }
            });
            break;
        case RULE_MEANIN:
        case RULE_MAXIN: {
            const double threshold = incoming_threshold(lists, p->th);
            for (size_t i = 0; i < block; ++i) {
                const int32_t d = field[i];
                double measure = 0.0;  // meanincoming's sum, or maxincoming's maximum
                for (int64_t j = in.first[i]; j < in.first[i + 1]; ++j) {
                    const double dist = in.dist[static_cast<size_t>(j)];
                    if (rule.kind == RULE_MEANIN) {
                        measure += dist;
                    } else if (dist > measure) {
                        measure = dist;
                    }
                }
                if (rule.kind == RULE_MEANIN) measure = measure / static_cast<double>(p->k);
                const double value = d == 0 ? 0.0 : static_cast<double>(p->k / d) * measure;
                out.score[i] = d == 0 ? kInfinity : value;
                if (d != 0 && value > threshold) field[i] = 0;
            }
            break;
        }
        case RULE_LOF:
            local_outlier_factors(lists, blocks, out);
            for (size_t i = 0; i < block; ++i) {
                out.score[i] = out.lof[i];
                if (out.lof[i] > p->th) field[i] = 0;
            }
            break;
    }
    for (size_t i = 0; i < block; ++i)
        out.mark[i] = field[i] <= 0 ? 1 : 0;
    if (p->share > 0) mark_share(blocks, p, blocks.first(blocks.size()), out);
    return out;
}

}  // namespace tarn::mpi
