#include "graph/lists.h"

#include <atomic>
#include <cassert>

#include "base/workers.h"

namespace tarn {
namespace {

// Vertices a worker measures the inbound records of, or counts the outbound lists of, at a time.
constexpr int32_t kMeasureGrain = 4096;
constexpr int32_t kCountGrain = 1 << 16;

// Adds the outbound lists of the sources at positions [begin, end) of the lists' order of
// locality to count[target]; with kShared each addition is atomic.
template <bool kShared, typename Count>
void add_lists(const NeighbourLists& lists, int32_t begin, int32_t end, Count* count) {
    for (int32_t at = begin; at < end; ++at) {
        const int32_t s = lists.order.empty() ? at : lists.order[static_cast<size_t>(at)];
        for (size_t e = lists.at(s); e < lists.at(s + 1); ++e) {
            Count& c = count[static_cast<size_t>(lists.target[e])];
            if constexpr (kShared) {
                std::atomic_ref<Count>(c).fetch_add(1, std::memory_order_relaxed);
            } else {
                ++c;
            }
        }
    }
}

// Adds each vertex's inbound records to count[vertex], taking the sources in the lists' order
// of locality: their targets are then mostly in cache. A count comes out the same in any order,
// so several workers take ranges of that order side by side and add atomically, without a
// lock: ranges of the order lie in different parts of space, and two workers rarely meet on
// one target.
template <typename Count>
void count_inbound(const NeighbourLists& lists, int32_t threads, Count* count) {
    assert(lists.order.empty() || lists.order.size() == static_cast<size_t>(lists.n));
    if (threads <= 1) return add_lists<false>(lists, 0, lists.n, count);
    auto add = [&](int32_t, int32_t begin, int32_t end) {
        add_lists<true>(lists, begin, end, count);
    };
    for_each_range(lists.n, kCountGrain, threads, add);
}

}  // namespace

double inbound_bytes(InboundDetail detail, double n, double k) {
    double per_record = 0.0;
    if (detail != InboundDetail::kCounts) per_record += sizeof(int32_t);
    if (detail == InboundDetail::kSourcesAndDistances) per_record += sizeof(double);
    if (detail == InboundDetail::kCounts) return n * sizeof(int32_t);
    // Sources are placed through a cursor per vertex, held while the index is made.
    const double cursors = n * sizeof(int64_t);
    return (n + 1) * sizeof(int64_t) + cursors + n * k * per_record;
}

InboundIndex inbound_index(const NeighbourLists& lists, InboundDetail detail, const Rows& rows,
                           int32_t threads) {
    const size_t n = static_cast<size_t>(lists.n);
    InboundIndex in;
    if (detail == InboundDetail::kCounts) {
        in.counts.assign(n, 0);
        count_inbound(lists, threads, in.counts.data());
        return in;
    }
    in.first.assign(n + 1, 0);
    count_inbound(lists, threads, in.first.data() + 1);
    for (size_t t = 0; t < n; ++t)
        in.first[t + 1] += in.first[t];
    // Sources are walked in ascending order, so each vertex's records come out in it.
    Array<int64_t> next(in.first.begin(), in.first.end() - 1);
    in.source.resize(lists.target.size());
    for (int32_t s = 0; s < lists.n; ++s) {
        for (size_t at = lists.at(s); at < lists.at(s + 1); ++at)
            in.source[static_cast<size_t>(next[static_cast<size_t>(lists.target[at])]++)] = s;
    }
    if (detail != InboundDetail::kSourcesAndDistances) return in;
    // Each record's distance, measured source first as entry_distance measures it; the targets'
    // records are apart, so the workers fill them side by side.
    in.dist.resize(lists.target.size());
    auto measure = [&](int32_t, int32_t begin, int32_t end) {
        for (size_t t = static_cast<size_t>(begin); t < static_cast<size_t>(end); ++t) {
            for (auto j = static_cast<size_t>(in.first[t]);
                 j < static_cast<size_t>(in.first[t + 1]); ++j) {
                in.dist[j] = metric_distance(rows.metric, rows[static_cast<size_t>(in.source[j])],
                                             rows[t], rows.features);
            }
        }
    };
    for_each_range(lists.n, kMeasureGrain, threads, measure);
    return in;
}

}  // namespace tarn
