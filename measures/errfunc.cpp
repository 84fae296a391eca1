// Codebook quantization error. Reports name this module "errfunc.c".
#include "measures/errfunc.h"

#include <cstdint>

#include "errors/errorapi.h"

DISTANCE_TYPE errMSE(HFSET codebook, HFSET test_set, DISTFUNC dist_func, void* dfunc_params) {
    if (codebook == nullptr || test_set == nullptr) {
        ReportError(ESR_INVALID_PARAMETER, nullptr, "errfunc.c", 69);
        return -1.0;
    }
    if (dist_func == nullptr) dist_func = dfEuclidean;
    int32_t test_size = fvsGetSize(test_set);
    int32_t cb_size = fvsGetSize(codebook);
    if (test_size == 0 || cb_size == 0) {
        ReportError(ESR_INVALID_PARAMETER, nullptr, "errfunc.c", 92);
        return 0.0;
    }
    // Every pair is measured, codebook vector first; a failing distance (-1.0) counts like any
    // other value. Only a strictly smaller distance replaces the minimum, so the earlier codebook
    // vector wins a tie, a not-a-number distance never becomes the minimum and a not-a-number
    // minimum is never replaced.
    DISTANCE_TYPE ret_val = 0.0;
    for (int32_t i = 1; i <= test_size; ++i) {
        DISTANCE_TYPE min_dist =
            dist_func(fvsGetVector(codebook, 1), fvsGetVector(test_set, i), dfunc_params);
        for (int32_t j = 2; j <= cb_size; ++j) {
            DISTANCE_TYPE dist =
                dist_func(fvsGetVector(codebook, j), fvsGetVector(test_set, i), dfunc_params);
            if (dist < min_dist) min_dist = dist;
        }
        ret_val = ret_val + min_dist * min_dist / test_size;
    }
    return ret_val;
}

DISTANCE_TYPE errTSE(HFSET /*codebook*/, HFSET /*test_set*/, DISTFUNC /*dist_func*/,
                     void* /*dfunc_params*/) {
    ReportError(ESR_NOT_IMPLEMENTED, "errTSE (Total Squared Error)", "errfunc.c", 153);
    return -1.0;
}
