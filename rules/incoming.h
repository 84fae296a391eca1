// The incoming-distance rules: a vertex's measure of the distances of its inbound edges (their
// sum / k, or the largest), in the order of its inbound list, times the integer quotient
// k / in-degree (a vertex kept by more than k others gets 0), against the threshold
// (max − min) × T − min over the smallest nearest-neighbour distance and the largest kept
// distance of the whole run. A vertex nobody keeps is marked and scores +infinity.
#ifndef TARN_RULES_INCOMING_H
#define TARN_RULES_INCOMING_H

#include "rules/kernel.h"

namespace tarn {

DuplicateScores mean_incoming_kernel(const Block& block, Exchange& exchange, const Parameters* p,
                                     Verdict* verdict);

DuplicateScores max_incoming_kernel(const Block& block, Exchange& exchange, const Parameters* p,
                                    Verdict* verdict);

}  // namespace tarn

#endif
