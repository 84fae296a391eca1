// The connectivity-based outlier factor (Tang, Chen, Fu and Cheung 2002). A vertex's
// set-based nearest path runs from {p} through its list N(p): k times, the vertex of N(p) not
// yet taken whose least distance to the taken set is smallest joins it (ties: the one earlier
// in the list), its least distance being e_i. The average chaining distance is
// ac(p) = Σ_{i=1..k} e_i · 2(k + 1 − i) / (k(k + 1)), added in path order from 0 (each weight
// the quotient of the two integers), and COF(p) = (k · ac(p)) / Σ_{o ∈ N(p)} ac(o), the sum
// over the list nearest first from 0. Higher is more outlying; about 1 inside a cluster.
//
// The distance from p to a neighbour is the stored one, between two neighbours the builders'
// row distance of their vectors. O(k² · d) per vertex.
//
// Edge cases:
// - equal vectors: a vertex whose neighbours all have ac 0 (each with k or more copies of
//   itself) scores k · ac(p) / 0: +infinity, or not-a-number when ac(p) is 0 too. Each such
//   score is counted as a duplicate score;
// - a not-a-number distance counts as farther than any number when the path picks its next
//   vertex (taken last, in list order among such) and never lowers a least distance; once
//   on the path it makes ac, and so the score, not-a-number. An infinite distance makes ac
//   +infinity, and the scores follow IEEE arithmetic (∞ / ∞ is not-a-number). Neither is
//   counted;
// - k = n − 1: the path runs through every other vertex.
#ifndef TARN_RULES_COF_H
#define TARN_RULES_COF_H

#include "rules/kernel.h"

namespace tarn {

DuplicateScores cof_kernel(const Block& block, Exchange& exchange, const Parameters* p,
                           Verdict* verdict);

}  // namespace tarn

#endif
