// The influenced outlierness (Jin, Tung, Han and Wang 2006): a vertex's density is
// den(p) = 1 / kdist(p), its influence space IS(p) is its neighbours and the vertices that keep
// it as a neighbour (each once), and INFLO(p) = (Σ_{o ∈ IS(p)} den(o) / |IS(p)|) / den(p), the
// sum from 0 in ascending vertex order. Higher is more outlying; about 1 inside a cluster.
//
// Edge cases, as IEEE arithmetic has them:
// - equal vectors: a vertex with k or more copies of itself has kdist 0 and den +infinity.
//   Its neighbours are copies with infinite densities too, so its INFLO is not-a-number
//   (∞ / ∞); a vertex of finite density with such a vertex in its influence space scores
//   +infinity. Each non-finite score where a density of +infinity takes part is counted as a
//   duplicate score;
// - an infinite kdist (a coordinate that is infinite) gives den 0, and the vertex scores
//   +infinity, or not-a-number when its influence space's densities add to 0 or to +infinity;
//   a not-a-number kdist makes a not-a-number density, sum and score. Neither is counted;
// - k = n − 1: the influence space is every other vertex.
#ifndef TARN_RULES_INFLO_H
#define TARN_RULES_INFLO_H

#include "rules/kernel.h"

namespace tarn {

DuplicateScores inflo_kernel(const Block& block, Exchange& exchange, const Parameters* p,
                             Verdict* verdict);

}  // namespace tarn

#endif
