#include "rules/mutual.h"

#include <algorithm>

#include "base/parameters.h"
#include "base/workers.h"

namespace tarn {

DuplicateScores mutual_kernel(const Block& block, Exchange& /*exchange*/, const Parameters* p,
                              Verdict* v) {
    const NeighbourLists& out = block.out;
    const InboundIndex& in = block.in;
    const int32_t threads = worker_threads(p->threads);
    // Each worker's sorted copy of the list it is counting.
    Array<Array<int32_t>> kept(static_cast<size_t>(threads));
    for_each_row(out, threads, [&](int32_t worker, int32_t row) {
        Array<int32_t>& own = kept[static_cast<size_t>(worker)];
        const size_t i = static_cast<size_t>(row);
        own.assign(out.target.begin() + static_cast<std::ptrdiff_t>(out.at(row)),
                   out.target.begin() + static_cast<std::ptrdiff_t>(out.at(row + 1)));
        std::sort(own.begin(), own.end());
        int32_t mutual = 0;
        for (int64_t j = in.first[i]; j < in.first[i + 1]; ++j) {
            mutual += std::binary_search(own.begin(), own.end(), in.source[static_cast<size_t>(j)]);
        }
        v->indegree[i] = mutual;
        v->marked[i] = mutual <= 0 ? 1 : 0;
        v->score[i] = static_cast<double>(mutual);
    });
    return {0, 0};
}

}  // namespace tarn
