// The distance rules: a vertex's score is the distance to its k-th nearest neighbour (knn,
// after Ramaswamy, Rastogi and Shim 2000) or the sum of the distances to its k nearest
// neighbours (knnw, the weight of Angiulli and Pizzuti 2002), both from its own outbound list
// alone; higher is more outlying.
//
// knn is the list's last stored distance; knnw adds the list's distances nearest first, from
// 0. Edge cases:
// - an infinite or not-a-number distance (a coordinate that is one) is the score, or makes the
//   sum +infinity or not-a-number, as IEEE arithmetic has it;
// - equal vectors give zero distances and so low, finite scores (0 for a vertex with k or more
//   copies of itself): these rules never count a score as made non-finite by duplicates;
// - k = n − 1: the distance to the farthest vector, the sum of the distances to all others.
#ifndef TARN_RULES_DISTANCE_H
#define TARN_RULES_DISTANCE_H

#include "rules/kernel.h"

namespace tarn {

DuplicateScores kth_distance_kernel(const Block& block, Exchange& exchange, const Parameters* p,
                                    Verdict* verdict);

DuplicateScores distance_sum_kernel(const Block& block, Exchange& exchange, const Parameters* p,
                                    Verdict* verdict);

}  // namespace tarn

#endif
