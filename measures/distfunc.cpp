// The four scaled distances. Reports name this module "distfunc.c" with the fixed line of each
// function's two argument checks.
#include "measures/distfunc.h"

#include <cmath>
#include <cstdint>

#include "errors/errorapi.h"

namespace {

// True when hfv1 and hfv2 can be measured; otherwise reports the first failed check with its
// line and returns false.
bool measurable(HFV hfv1, HFV hfv2, int32_t shape_line, int32_t data_line) {
    if (hfv1 == nullptr || hfv2 == nullptr || hfv1->dim <= 0 || hfv1->dim != hfv2->dim) {
        ReportError(ESR_INVALID_PARAMETER, nullptr, "distfunc.c", shape_line);
        return false;
    }
    if (hfv1->vector == nullptr || hfv2->vector == nullptr) {
        ReportError(ESR_INVALID_PARAMETER, nullptr, "distfunc.c", data_line);
        return false;
    }
    return true;
}

// Sum over the components of ((a - b) / 2^17)^2. Each difference is scaled down before it is
// squared, which keeps the squares of large differences finite.
DISTANCE_TYPE scaled_square_sum(HFV hfv1, HFV hfv2) {
    DISTANCE_TYPE sum = 0.0;
    for (int32_t i = 0; i < hfv1->dim; ++i) {
        double t = (hfv1->vector[i] - hfv2->vector[i]) / 131072.0;
        sum = sum + t * t;
    }
    return sum;
}

}  // namespace

DISTANCE_TYPE dfEuclidean(HFV hfv1, HFV hfv2, void* /*params*/) {
    if (!measurable(hfv1, hfv2, 69, 78)) return -1.0;
    return std::sqrt(scaled_square_sum(hfv1, hfv2)) * 32768.0;
}

DISTANCE_TYPE dfEuclideanSquared(HFV hfv1, HFV hfv2, void* /*params*/) {
    if (!measurable(hfv1, hfv2, 131, 140)) return -1.0;
    return scaled_square_sum(hfv1, hfv2);
}

DISTANCE_TYPE dfManhattan(HFV hfv1, HFV hfv2, void* /*params*/) {
    if (!measurable(hfv1, hfv2, 203, 212)) return -1.0;
    DISTANCE_TYPE sum = 0.0;
    for (int32_t i = 0; i < hfv1->dim; ++i)
        sum = sum + std::fabs(hfv1->vector[i] - hfv2->vector[i]) / 131072.0;
    return sum * 32768.0;
}

DISTANCE_TYPE dfMaximum(HFV hfv1, HFV hfv2, void* /*params*/) {
    if (!measurable(hfv1, hfv2, 258, 267)) return -1.0;
    DISTANCE_TYPE d = 0.0;
    for (int32_t i = 0; i < hfv1->dim; ++i) {
        double t = std::fabs(hfv1->vector[i] - hfv2->vector[i]) / 2.0;
        // Only a strictly greater running value survives, so a not-a-number on either side
        // hands over to the new term.
        d = d > t ? d : t;
    }
    return d;
}
