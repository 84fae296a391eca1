// The toolkit's four distances between two feature vectors. Each carries a fixed scaling of its
// own (a quarter of the Euclidean distance, 2^-34 times its square, a quarter of the Manhattan
// distance, half the largest component difference), so results of different functions are not
// on one scale. Each refuses unusable vectors with one report naming "distfunc.c" and returns
// -1.0; none allocates or keeps state.
#ifndef TARN_MEASURES_DISTFUNC_H
#define TARN_MEASURES_DISTFUNC_H

#include "vectors/fvector.h"

typedef double DISTANCE_TYPE;  // every distance and error value

// A distance between hfv1 and hfv2; params is the caller's data for its own functions.
typedef DISTANCE_TYPE (*DISTFUNC)(HFV hfv1, HFV hfv2, void* params);

// The distances below share their refusals, each with its own pair of lines: a null vector, a
// dim of hfv1 below 1 or two different dims (first line); a null component array (second line).
// params is not read.

// A quarter of the Euclidean distance. Refusal lines 69, 78.
DISTANCE_TYPE dfEuclidean(HFV hfv1, HFV hfv2, void* params);

// 2^-34 times the squared Euclidean distance. Refusal lines 131, 140.
DISTANCE_TYPE dfEuclideanSquared(HFV hfv1, HFV hfv2, void* params);

// A quarter of the sum of absolute component differences. Refusal lines 203, 212.
DISTANCE_TYPE dfManhattan(HFV hfv1, HFV hfv2, void* params);

// Half the largest absolute component difference. A not-a-number difference replaces the running
// maximum and is itself replaced by the next difference. Refusal lines 258, 267.
DISTANCE_TYPE dfMaximum(HFV hfv1, HFV hfv2, void* params);

#endif
