#include "graph/lists.h"

namespace tarn {

double inbound_bytes(InboundDetail detail, double n, double k) {
    double per_record = 0.0;
    if (detail != InboundDetail::kCounts) per_record += sizeof(int32_t);
    if (detail == InboundDetail::kSourcesAndDistances) per_record += sizeof(double);
    return (n + 1) * sizeof(int64_t) + n * k * per_record;
}

InboundIndex inbound_index(const NeighbourLists& lists, InboundDetail detail, const Rows& rows) {
    const size_t n = static_cast<size_t>(lists.n);
    InboundIndex in;
    in.first.assign(n + 1, 0);
    for (const int32_t t : lists.target)
        ++in.first[static_cast<size_t>(t) + 1];
    for (size_t t = 0; t < n; ++t)
        in.first[t + 1] += in.first[t];
    if (detail == InboundDetail::kCounts) return in;
    // Sources are walked in ascending order, so each vertex's records come out in it.
    Array<int64_t> next(in.first.begin(), in.first.end() - 1);
    const bool distances = detail == InboundDetail::kSourcesAndDistances;
    in.source.resize(lists.target.size());
    if (distances) in.dist.resize(lists.target.size());
    for (int32_t s = 0; s < lists.n; ++s) {
        for (size_t at = lists.at(s); at < lists.at(s + 1); ++at) {
            const size_t record =
                static_cast<size_t>(next[static_cast<size_t>(lists.target[at])]++);
            in.source[record] = s;
            if (distances)
                in.dist[record] = entry_distance(rows, rows[static_cast<size_t>(s)], lists, at);
        }
    }
    return in;
}

}  // namespace tarn
