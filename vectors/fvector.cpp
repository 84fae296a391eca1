// Feature vectors and feature vector sets. Reports name this module "fvector.c" and carry the
// fixed line number of each check, which is what callers and tests match on.
#include "vectors/fvector.h"

#include <cstdint>
#include <cstdlib>

#include "errors/errorapi.h"

namespace {

// One report for a refused call; the caller then returns its failure value.
void refuse(ErrorCode code, int32_t line) {
    ReportError(code, nullptr, "fvector.c", line);
}

// Element-wise a op b into out for i below dim. Element i of both inputs is read before element
// i of out is written, so out may be either input.
template <typename Op>
void combine(int32_t dim, const double* a, const double* b, double* out, Op op) {
    for (int32_t i = 0; i < dim; ++i)
        out[i] = op(a[i], b[i]);
}

double minus(double a, double b) {
    return a - b;
}
double plus(double a, double b) {
    return a + b;
}
double times(double a, double b) {
    return a * b;
}

}  // namespace

// ---- single vectors ----

HFV fvCreate(int32_t size) {
    if (size <= 0) {
        refuse(ESR_INVALID_PARAMETER, 55);
        return nullptr;
    }
    HFV fv = static_cast<HFV>(std::malloc(sizeof(Hvec)));
    if (fv == nullptr) {
        refuse(ESR_NOT_ENOUGH_MEMORY, 62);
        return nullptr;
    }
    fv->vector = static_cast<double*>(std::malloc(sizeof(double) * static_cast<size_t>(size)));
    if (fv->vector == nullptr) {
        std::free(fv);
        refuse(ESR_NOT_ENOUGH_MEMORY, 69);
        return nullptr;
    }
    fv->dim = size;
    fv->freq = 1;
    return fv;
}

HFV fvCreateWithData(int32_t size, double* data) {
    if (size <= 0) {
        refuse(ESR_INVALID_PARAMETER, 98);
        return nullptr;
    }
    HFV fv = static_cast<HFV>(std::malloc(sizeof(Hvec)));
    if (fv == nullptr) {
        refuse(ESR_NOT_ENOUGH_MEMORY, 105);
        return nullptr;
    }
    fv->dim = size;
    fv->freq = 1;
    fv->vector = data;
    return fv;
}

HFV fvCreateCopy(HFV vector) {
    int32_t dim = fvGetDim(vector);
    HFV copy = fvCreate(dim);
    if (copy == nullptr) {
        refuse(ESR_VECTOR_CREATE, 135);
        return nullptr;
    }
    for (int32_t i = 0; i < dim; ++i)
        copy->vector[i] = vector->vector[i];
    return copy;
}

HFV fvCreateCat(HFV vector1, HFV vector2) {
    int32_t dim1 = fvGetDim(vector1);
    int32_t dim2 = fvGetDim(vector2);
    // Two vectors whose lengths add up past the 32-bit range cannot be joined into one.
    int64_t total = int64_t{dim1} + dim2;
    HFV cat = total <= INT32_MAX ? fvCreate(static_cast<int32_t>(total)) : nullptr;
    if (cat == nullptr) {
        refuse(ESR_VECTOR_CREATE, 173);
        return nullptr;
    }
    for (int32_t i = 0; i < dim1; ++i)
        cat->vector[i] = vector1->vector[i];
    for (int32_t i = 0; i < dim2; ++i)
        cat->vector[dim1 + i] = vector2->vector[i];
    return cat;
}

HFV fvCreateDifference(HFV vector1, HFV vector2) {
    if (vector1 == nullptr) {
        refuse(ESR_INVALID_PARAMETER, 209);
        return nullptr;
    }
    if (vector2 == nullptr) {
        refuse(ESR_INVALID_PARAMETER, 215);
        return nullptr;
    }
    int32_t dim = fvGetDim(vector1);
    if (dim != fvGetDim(vector2)) {
        refuse(ESR_INVALID_PARAMETER, 223);
        return nullptr;
    }
    HFV diff = fvCreate(dim);
    if (diff == nullptr) {
        refuse(ESR_VECTOR_CREATE, 230);
        return nullptr;
    }
    combine(dim, vector1->vector, vector2->vector, diff->vector, minus);
    return diff;
}

HFV fvCreateSum(HFV vector1, HFV vector2) {
    int32_t dim = fvGetDim(vector1);
    if (dim != fvGetDim(vector2)) {
        refuse(ESR_INVALID_PARAMETER, 262);
        return nullptr;
    }
    HFV sum = fvCreate(dim);
    if (sum == nullptr) {
        refuse(ESR_VECTOR_CREATE, 269);
        return nullptr;
    }
    combine(dim, vector1->vector, vector2->vector, sum->vector, plus);
    return sum;
}

void fvDestroy(HFV fv) {
    std::free(fv->vector);
    std::free(fv);
}

int32_t fvCat(HFV v1, HFV v2, HFV v3) {
    if (v1 == nullptr || v2 == nullptr || v3 == nullptr) {
        refuse(ESR_INVALID_PARAMETER, 318);
        return 0;
    }
    if (int64_t{v1->dim} + v2->dim != v3->dim) {
        refuse(ESR_INVALID_PARAMETER, 327);
        return 0;
    }
    // v3 is longer than either source, so it is neither of them.
    for (int32_t i = 0; i < v1->dim; ++i)
        v3->vector[i] = v1->vector[i];
    for (int32_t i = 0; i < v2->dim; ++i)
        v3->vector[v1->dim + i] = v2->vector[i];
    return 1;
}

int32_t fvGetDim(HFV vector) {
    if (vector == nullptr) {
        refuse(ESR_INVALID_PARAMETER, 356);
        return 0;
    }
    return vector->dim;
}

int32_t fvGetFreq(HFV vector) {
    if (vector == nullptr) {
        refuse(ESR_INVALID_PARAMETER, 374);
        return 0;
    }
    return vector->freq;
}

int32_t fvSetFreq(HFV vector, int32_t freq) {
    vector->freq = freq;
    return 0;
}

double fvGetElement(HFV vector, int32_t element) {
    return vector->vector[element];
}

int32_t fvSetElement(HFV fv, int32_t element, double data) {
    fv->vector[element] = data;
    return 0;
}

int32_t fvDifference(HFV v1, HFV v2, HFV diff) {
    if (v1 == nullptr || v2 == nullptr || diff == nullptr) {
        refuse(ESR_INVALID_PARAMETER, 446);
        return 0;
    }
    if (v1->dim != v2->dim || v1->dim != diff->dim) {
        refuse(ESR_INVALID_PARAMETER, 453);
        return 0;
    }
    combine(v1->dim, v1->vector, v2->vector, diff->vector, minus);
    return 1;
}

int32_t fvSum(HFV v1, HFV v2, HFV sum) {
    if (v1 == nullptr || v2 == nullptr || sum == nullptr) {
        refuse(ESR_INVALID_PARAMETER, 486);
        return 0;
    }
    if (v1->dim != v2->dim || v1->dim != sum->dim) {
        refuse(ESR_INVALID_PARAMETER, 493);
        return 0;
    }
    combine(v1->dim, v1->vector, v2->vector, sum->vector, plus);
    return 1;
}

double fvInnerProduct(HFV vector1, HFV vector2) {
    int32_t dim = fvGetDim(vector1);
    if (dim != fvGetDim(vector2)) {
        refuse(ESR_VECTOR_DIM_AGREE, 530);
        return 0.0;
    }
    double sum = 0.0;
    for (int32_t i = 0; i < dim; ++i)
        sum += vector1->vector[i] * vector2->vector[i];
    return sum;
}

int32_t fvMultiply(HFV v1, HFV v2, HFV prod) {
    int32_t dim = fvGetDim(v1);
    if (dim != fvGetDim(v2)) {
        refuse(ESR_VECTOR_DIM_AGREE, 569);
        return 0;
    }
    // The product needs room for dim(v1) components; a missing or shorter one would be written
    // past its end, so it is refused like a mismatch of the factors.
    if (fvGetDim(prod) < dim) {
        refuse(ESR_VECTOR_DIM_AGREE, 569);
        return 0;
    }
    combine(dim, v1->vector, v2->vector, prod->vector, times);
    return 1;
}

int32_t fvMultiplyScalar(HFV vector, double scalar) {
    int32_t dim = fvGetDim(vector);
    for (int32_t i = 0; i < dim; ++i)
        vector->vector[i] *= scalar;
    return 0;
}

int32_t fvAddFraction(HFV vector1, HFV vector2, int32_t denominator) {
    int32_t dim = fvGetDim(vector1);
    if (dim != fvGetDim(vector2)) {
        refuse(ESR_VECTOR_DIM_AGREE, 648);
        return 0;
    }
    double divisor = static_cast<double>(denominator);
    for (int32_t i = 0; i < dim; ++i)
        vector1->vector[i] = vector1->vector[i] + vector2->vector[i] / divisor;
    return 1;
}

int32_t fvPrint(FILE* f, HFV v) {
    if (f == nullptr || v == nullptr) {
        refuse(ESR_INVALID_PARAMETER, 678);
        return 0;
    }
    for (int32_t i = 0; i < v->dim; ++i)
        std::fprintf(f, " %f", v->vector[i]);
    return 1;
}
