#include "mpi/verdict.h"

#include <algorithm>
#include <new>
#include <numeric>
#include <optional>

namespace tarn::mpi {
namespace {

// One edge on its way to its target's owner.
struct Incoming {
    int32_t source;
    int32_t target;
};

// Sends every edge of the block's sources to its target's owner, in source order and each
// source's list order. What arrives comes in rank order, so in source order: a stable sort by
// target leaves every inbound list as a single process builds it. The owner measures each
// record's distance from rows, source first as the source's builder did, where detail asks.
InboundIndex collect_inbound(const Rows& rows, const NeighbourLists& lists, const Blocks& blocks,
                             InboundDetail detail, const Array<double>* kept) {
    const SourceBlock own = blocks.mine();
    const size_t ranks = static_cast<size_t>(blocks.size());
    Array<int64_t> counts;
    Array<Incoming> send;
    Array<double> send_dist;
    const bool carried = kept != nullptr && detail == InboundDetail::kSourcesAndDistances;
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
        if (carried) send_dist.resize(send.size());
        for (int32_t s = own.first; s < own.last; ++s) {
            const int32_t i = s - own.first;
            for (size_t e = lists.at(i); e < lists.at(i + 1); ++e) {
                const size_t r = static_cast<size_t>(blocks.owner(lists.target[e]));
                const size_t to = static_cast<size_t>(at[r]++);
                send[to] = {s, lists.target[e]};
                if (carried) send_dist[to] = (*kept)[e];
            }
        }
    });
    Array<int64_t> received;
    const Array<Incoming> arrived = exchange(send, counts, &received);
    // The kept distances travel beside their edges, in the same order.
    const Array<double> arrived_dist =
        carried ? exchange(send_dist, counts, &received) : Array<double>();
    InboundIndex in;
    step([&] {
        Array<Incoming>().swap(send);
        const size_t block = static_cast<size_t>(blocks.count());
        in.first.assign(block + 1, 0);
        for (const Incoming& edge : arrived)
            ++in.first[static_cast<size_t>(edge.target - own.first) + 1];
        for (size_t i = 0; i < block; ++i)
            in.first[i + 1] += in.first[i];
        Array<int64_t> next(in.first.begin(), in.first.end() - 1);
        const bool distances = detail == InboundDetail::kSourcesAndDistances;
        in.source.resize(arrived.size());
        if (distances) in.dist.resize(arrived.size());
        for (size_t j = 0; j < arrived.size(); ++j) {
            const Incoming& edge = arrived[j];
            const size_t at =
                static_cast<size_t>(next[static_cast<size_t>(edge.target - own.first)]++);
            in.source[at] = edge.source;
            if (!distances) continue;
            in.dist[at] =
                carried ? arrived_dist[j]
                        : metric_distance(rows.metric, rows[static_cast<size_t>(edge.source)],
                                          rows[static_cast<size_t>(edge.target)], rows.features);
        }
    });
    return in;
}

// The exchange between the blocks of the processes: their vertices' values fetched from their
// blocks' owners.
class BlockExchange final : public WorldExchange {
public:
    explicit BlockExchange(const Blocks& blocks) : blocks_(blocks) {}
    int32_t vertices() const override { return blocks_.first(blocks_.size()); }
    NeighbourValues neighbours(const NeighbourLists& lists, std::span<const double> own) override {
        checkpoint(std::nullopt);
        return NeighbourValues(fetch(blocks_, lists.target, own));
    }
    NeighbourValues sources(const InboundIndex& in, std::span<const double> own) override {
        checkpoint(std::nullopt);
        return NeighbourValues(fetch(blocks_, in.source, own));
    }

private:
    const Blocks& blocks_;
};

}  // namespace

double WorldExchange::least(double mine) {
    checkpoint(std::nullopt);
    const Array<double> all = all_values(mine);
    return std::accumulate(all.begin() + 1, all.end(), all[0],
                           [](double m, double x) { return x < m ? x : m; });
}

double WorldExchange::greatest(double mine) {
    checkpoint(std::nullopt);
    const Array<double> all = all_values(mine);
    return std::accumulate(all.begin() + 1, all.end(), all[0],
                           [](double m, double x) { return x > m ? x : m; });
}

int64_t WorldExchange::total(int64_t mine) {
    checkpoint(std::nullopt);
    return sum(mine);
}

// Every digit summed over the processes: the digits of the exact sum of every block.
double WorldExchange::exact_sum(const ExactSum& mine) {
    checkpoint(std::nullopt);
    const ExactSum::Digits digits = mine.digits();
    ExactSum::Digits all{};
    for (size_t i = 0; i < digits.size(); ++i)
        all[i] = sum(digits[i]);
    return ExactSum(all).value();
}

// Rank 0 gathers every process's scores, cuts and broadcasts the cut.
ShareCut WorldExchange::share_cut(Array<double>& ranked, size_t wanted) {
    checkpoint(std::nullopt);
    Array<double> all = gather(ranked);
    struct {
        int32_t any;
        double at;
    } cut = {0, 0.0};
    if (world_rank() == 0) {
        step([&] {
            const ShareCut at = cut_at(all, std::min(wanted, all.size()));
            cut = {at.any ? 1 : 0, at.at};
        });
    } else {
        step([] {});
    }
    cut = broadcast_value(cut);
    return {cut.any == 1, cut.at};
}

DuplicateScores judge(const Rows& rows, const NeighbourLists& lists, const Blocks& blocks,
                      const Parameters* p, Verdict* verdict, const Array<double>* kept) {
    const InboundIndex in = collect_inbound(rows, lists, blocks, selected_rule(p).inbound, kept);
    BlockExchange exchange(blocks);
    const Block block{lists, in, rows,
                      kept == nullptr ? rows.row.data() + blocks.mine().first : nullptr,
                      kept == nullptr ? nullptr : kept->data()};
    return judge_together(block, exchange, p, verdict);
}

DuplicateScores judge_together(const Block& block, Exchange& exchange, const Parameters* p,
                               Verdict* verdict) {
    DuplicateScores duplicates{0, 0};
    // A failure of this process's kernel is told at the checkpoint where the others wait: the
    // one that starts their next exchange call, or this one. Stopped, thrown on every process
    // at such a checkpoint, passes through.
    std::optional<Error> failure;
    try {
        AllocationFailuresThrow scope;
        duplicates = tarn::judge(block, exchange, p, verdict);
    } catch (const AllocationFailure& allocation) {
        failure = allocation_failure(allocation.size());
    } catch (const std::bad_alloc&) {
        failure = Error{ErrorKind::kAllocation, "Allocation failed\n"};
    }
    checkpoint(failure);
    return duplicates;
}

void judge_queries(const Reference& reference, const Rows& rows, const Blocks& blocks,
                   const Parameters* p, Verdict* verdict, RunNotes* notes) {
    BlockExchange exchange(blocks);
    // As in judge: a failure before the first exchange call meets the others at theirs.
    checkpoint(score_queries(reference, rows, p, exchange, verdict, notes));
}

void judge_queries_all(const Reference& reference, const Rows& rows, const Blocks& blocks,
                       const Parameters* p, Array<Verdict>* verdicts,
                       Array<DuplicateScores>* duplicates, RunNotes* notes) {
    BlockExchange exchange(blocks);
    checkpoint(score_queries_all(reference, rows, p, exchange, verdicts, duplicates, notes));
}

}  // namespace tarn::mpi
