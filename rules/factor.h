// The local outlier factor: every vertex's local reachability density once, from its
// neighbours' k-distances, then every factor (the neighbours' mean density over the vertex's
// own) from the densities, with the operations of the linked graph's lrd and lof in their
// order. A factor strictly greater than -T marks, as does an in-degree of 0.
#ifndef TARN_RULES_FACTOR_H
#define TARN_RULES_FACTOR_H

#include "rules/kernel.h"

namespace tarn {

DuplicateScores lof_kernel(const Block& block, Exchange& exchange, const Parameters* p,
                           Verdict* verdict);

}  // namespace tarn

#endif
