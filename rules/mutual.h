// Mutual k-nearest neighbours: every edge whose reverse edge is absent is pruned, and a vertex
// left with no inbound edge is marked; its score is the in-degree after pruning.
//
// Pruning keeps s → t exactly when t → s was built: an earlier removal of t → s would have
// needed s → t to be absent, and s's own list is whole until s's turn. So what is left of a
// vertex's inbound list is the keepers it keeps in turn, and each vertex is counted alone.
#ifndef TARN_RULES_MUTUAL_H
#define TARN_RULES_MUTUAL_H

#include "rules/kernel.h"

namespace tarn {

DuplicateScores mutual_kernel(const Block& block, Exchange& exchange, const Parameters* p,
                              Verdict* verdict);

}  // namespace tarn

#endif
