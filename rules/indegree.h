// The in-degree rule: a vertex kept by at most -I others is marked; its score is its in-degree.
#ifndef TARN_RULES_INDEGREE_H
#define TARN_RULES_INDEGREE_H

#include "rules/kernel.h"

namespace tarn {

DuplicateScores indegree_kernel(const Block& block, Exchange& exchange, const Parameters* p,
                                Verdict* verdict);

}  // namespace tarn

#endif
