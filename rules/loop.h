// The local outlier probability (Kriegel, Kröger, Schubert and Zimek 2009), with λ = 3: a
// vertex's probabilistic distance pdist(p) = λ · sqrt(Σ d(p, o)² / k) over its list, its
// probabilistic local outlier factor PLOF(p) = pdist(p) / (Σ pdist(o) / k) − 1 over its
// neighbours o, and LoOP(p) = max(0, erf(PLOF(p) / (nPLOF · √2))), where nPLOF = λ · sqrt(the
// mean of PLOF² over the run). A probability in [0, 1]; higher is more outlying.
//
// Sums run over the list nearest first, from 0. The mean of PLOF² is the exact sum
// (rules/exact_sum.h) over the vertices whose PLOF is finite, divided by their count, so it is
// the same bits however a distributed run splits the vertices.
//
// Edge cases:
// - equal vectors: a vertex whose neighbours all have pdist 0 (each sits among k or more
//   copies of itself) has PLOF = 0 / 0, not-a-number, when its own pdist is 0, and +infinity
//   otherwise; its LoOP is then not-a-number, or 1, which needs no warning. Each non-finite
//   score made so is counted as a duplicate score. A vertex with pdist 0 among neighbours
//   that are not has PLOF = −1 and LoOP 0;
// - non-finite PLOFs take no part in nPLOF, so one group of copies does not spoil every
//   score; when no PLOF is finite, nPLOF is 0 / 0 and every LoOP not-a-number;
// - nPLOF = 0 (every finite PLOF squares to 0: no vertex departs from its neighbours): the
//   LoOP of a finite PLOF is 0, not the 0 / 0 of the formula. PLOFs whose squares would
//   overflow (beyond about 1e154) are summed divided by a power of two, exactly, so nPLOF
//   stays finite and the most outlying still score near 1;
// - infinite or not-a-number distances (such coordinates) follow IEEE arithmetic: pdist is
//   +infinity or not-a-number, a finite pdist among neighbours one of whose is infinite gives
//   PLOF −1, and not-a-number stays not-a-number through max(0, ·);
// - k = n − 1: every vertex's neighbours are all the others; nothing else changes.
#ifndef TARN_RULES_LOOP_H
#define TARN_RULES_LOOP_H

#include "rules/kernel.h"

namespace tarn {

DuplicateScores loop_kernel(const Block& block, Exchange& exchange, const Parameters* p,
                            Verdict* verdict);

}  // namespace tarn

#endif
