// Quantization error of a codebook over a test set, measured with any DISTFUNC. Reports name
// "errfunc.c"; nothing is allocated and the sets are only read.
#ifndef TARN_MEASURES_ERRFUNC_H
#define TARN_MEASURES_ERRFUNC_H

#include "measures/distfunc.h"
#include "vectors/fvector.h"

// An error of codebook over test_set; dist_func (null for the default) gets dfunc_params on every
// call.
typedef DISTANCE_TYPE (*ERRFUNC)(HFSET codebook, HFSET test_set, DISTFUNC dist_func,
                                 void* dfunc_params);

// The mean over test_set of the squared distance from each test vector to its nearest codebook
// vector, with dfEuclidean when dist_func is null; each square is divided by the test-set size
// before it is added. Refuses a null set (1, 69) with -1.0 and an empty one (1, 92) with 0.0.
DISTANCE_TYPE errMSE(HFSET codebook, HFSET test_set, DISTFUNC dist_func, void* dfunc_params);

// Total squared error, not provided: always reports (3, 153) with the detail
// "errTSE (Total Squared Error)" and returns -1.0.
DISTANCE_TYPE errTSE(HFSET codebook, HFSET test_set, DISTFUNC dist_func, void* dfunc_params);

#endif
