#include "rules/indegree.h"

#include "base/parameters.h"

namespace tarn {

DuplicateScores indegree_kernel(const Block& /*block*/, Exchange& /*exchange*/, const Parameters* p,
                                Verdict* v) {
    for (size_t i = 0; i < v->indegree.size(); ++i) {
        const int32_t d = v->indegree[i];
        // The mark is an in-degree of 0 or less, so a vertex nobody keeps is marked whatever
        // I is; "at most I" cannot overflow when I is the largest 32-bit value.
        v->marked[i] = d <= p->I || d <= 0 ? 1 : 0;
        v->score[i] = static_cast<double>(d);
    }
    return {0, 0};
}

}  // namespace tarn
