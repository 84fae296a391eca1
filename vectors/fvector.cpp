// Feature vectors and feature vector sets. Reports name this module "fvector.c" and carry the
// fixed line number of each check, which is what callers and tests match on.
#include "vectors/fvector.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "errors/errorapi.h"
#include "vectors/readnums.h"

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

// The capacity reached by doubling capacity until it holds needed handles, or -1 when that
// passes the 32-bit range of array_size.
int64_t doubled(int32_t capacity, int64_t needed) {
    int64_t size = capacity;
    while (size < needed)
        size *= 2;
    return size <= INT32_MAX ? size : -1;
}

// Grows the slot array of fvs to capacity handles (-1 for a capacity out of range) and clears
// the new slots. On failure returns false with the set unchanged.
bool grow_slots(HFSET fvs, int64_t capacity) {
    if (capacity < 0) return false;
    auto* slots =
        static_cast<HFV*>(std::realloc(fvs->vectors, sizeof(HFV) * static_cast<size_t>(capacity)));
    if (slots == nullptr) return false;
    for (int64_t i = fvs->array_size; i < capacity; ++i)
        slots[i] = nullptr;
    fvs->vectors = slots;
    fvs->array_size = static_cast<int32_t>(capacity);
    return true;
}

// True when num names a vector of fvs (positions run from 1 to the count).
bool holds(HFSET fvs, int32_t num) {
    return num >= 1 && num <= fvs->vector_number;
}

// A new vector of size >= 1 components, or null with record_failed telling which of its two
// allocations failed.
HFV new_vector(int32_t size, bool* record_failed) {
    HFV fv = static_cast<HFV>(std::malloc(sizeof(Hvec)));
    *record_failed = fv == nullptr;
    if (fv == nullptr) return nullptr;
    fv->vector = static_cast<double*>(std::malloc(sizeof(double) * static_cast<size_t>(size)));
    if (fv->vector == nullptr) {
        std::free(fv);
        return nullptr;
    }
    fv->dim = size;
    fv->freq = 1;
    return fv;
}

}  // namespace

// ---- single vectors ----

HFV fvCreate(int32_t size) {
    if (size <= 0) {
        refuse(ESR_INVALID_PARAMETER, 55);
        return nullptr;
    }
    bool record_failed = false;
    HFV fv = new_vector(size, &record_failed);
    if (fv == nullptr) refuse(ESR_NOT_ENOUGH_MEMORY, record_failed ? 62 : 69);
    return fv;
}

HFV fvCreateUnreported(int32_t size) {
    bool record_failed = false;
    return new_vector(size, &record_failed);
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

// ---- vector sets ----

HFSET fvsCreate(int32_t size, int32_t vector_size) {
    if (vector_size <= 0) {
        refuse(ESR_INVALID_PARAMETER, 721);
        return nullptr;
    }
    HFSET fvs = static_cast<HFSET>(std::malloc(sizeof(FVSet)));
    if (fvs == nullptr) {
        refuse(ESR_NOT_ENOUGH_MEMORY, 727);
        return nullptr;
    }
    fvs->vector_number = 0;
    fvs->array_size = size > 0 ? size : 50;
    fvs->vector_size = vector_size;
    fvs->vectors =
        static_cast<HFV*>(std::malloc(sizeof(HFV) * static_cast<size_t>(fvs->array_size)));
    if (fvs->vectors == nullptr) {
        std::free(fvs);
        refuse(ESR_NOT_ENOUGH_MEMORY, 746);
        return nullptr;
    }
    for (int32_t i = 0; i < fvs->array_size; ++i)
        fvs->vectors[i] = nullptr;
    return fvs;
}

void fvsDestroyHandedOn(HFSET fvs) {
    if (fvs == nullptr) return;
    std::free(fvs->vectors);
    std::free(fvs);
}

void fvsDestroy(HFSET fvs) {
    if (fvs == nullptr) return;
    for (int32_t i = 0; i < fvs->vector_number; ++i)
        fvDestroy(fvs->vectors[i]);
    std::free(fvs->vectors);
    std::free(fvs);
}

int32_t fvsAddVector(HFSET fvs, HFV fv) {
    if (fvs == nullptr || fv == nullptr) {
        refuse(ESR_INVALID_PARAMETER, 817);
        return 0;
    }
    int64_t needed = int64_t{fvs->vector_number} + 1;
    if (needed > fvs->array_size && !grow_slots(fvs, doubled(fvs->array_size, needed))) {
        refuse(ESR_NOT_ENOUGH_MEMORY, 829);
        return 0;
    }
    fvs->vectors[fvs->vector_number] = fv;
    return ++fvs->vector_number;
}

int32_t fvsAddVectorCopy(HFSET fvs, HFV fv) {
    HFV copy = fvCreateCopy(fv);
    if (copy == nullptr) {
        refuse(ESR_VECTOR_COPY, 873);
        return 0;
    }
    int32_t count = fvsAddVector(fvs, copy);
    if (count == 0) {
        fvDestroy(copy);
        refuse(ESR_VECTOR_SET_ADD, 880);
        return 0;
    }
    return count;
}

int32_t fvsRemoveVector(HFSET fvs, int32_t num) {
    if (fvs == nullptr) {
        refuse(ESR_INVALID_PARAMETER, 909);
        return -1;
    }
    if (fvs->vector_number == 0) {
        refuse(ESR_INVALID_PARAMETER, 915);
        return -1;
    }
    if (!holds(fvs, num)) {
        refuse(ESR_INVALID_PARAMETER, 922);
        return -1;
    }
    fvDestroy(fvs->vectors[num - 1]);
    std::memmove(&fvs->vectors[num - 1], &fvs->vectors[num],
                 sizeof(HFV) * static_cast<size_t>(fvs->vector_number - num));
    fvs->vectors[--fvs->vector_number] = nullptr;
    return fvs->vector_number;
}

int32_t fvsInsertVector(HFSET fvs, HFV fv, int32_t num) {
    if (fvs == nullptr || !holds(fvs, num) || fv == nullptr) {
        refuse(ESR_INVALID_PARAMETER, 976);
        return 0;
    }
    int64_t needed = int64_t{fvs->vector_number} + 1;
    if (needed > fvs->array_size && !grow_slots(fvs, doubled(fvs->array_size, needed))) {
        refuse(ESR_NOT_ENOUGH_MEMORY, 984);
        return 0;
    }
    std::memmove(&fvs->vectors[num], &fvs->vectors[num - 1],
                 sizeof(HFV) * static_cast<size_t>(fvs->vector_number - num + 1));
    fvs->vectors[num - 1] = fv;
    return ++fvs->vector_number;
}

int32_t fvsReplaceVector(HFSET fvs, HFV fv, int32_t num) {
    if (fvs == nullptr || !holds(fvs, num) || fv == nullptr) {
        refuse(ESR_INVALID_PARAMETER, 1030);
        return 0;
    }
    // Destroying the vector that is put back would leave the set holding a released vector.
    if (fvs->vectors[num - 1] != fv) fvDestroy(fvs->vectors[num - 1]);
    fvs->vectors[num - 1] = fv;
    return fvs->vector_number;
}

int32_t fvsGetSize(HFSET fvs) {
    if (fvs == nullptr) {
        refuse(ESR_INVALID_PARAMETER, 1055);
        return 0;
    }
    return fvs->vector_number;
}

int32_t fvsGetVectorSize(HFSET fvs) {
    if (fvs == nullptr) {
        refuse(ESR_INVALID_PARAMETER, 1082);
        return 0;
    }
    return fvs->vector_size;
}

HFV fvsGetVector(HFSET fvs, int32_t num) {
    if (fvs == nullptr) {
        refuse(ESR_INVALID_PARAMETER, 1117);
        return nullptr;
    }
    if (!holds(fvs, num)) {
        refuse(ESR_INVALID_PARAMETER, 1123);
        return nullptr;
    }
    return fvs->vectors[num - 1];
}

HFV fvsCopyVector(HFSET fvs, int32_t num) {
    if (fvs == nullptr || !holds(fvs, num)) {
        refuse(ESR_INVALID_PARAMETER, 1152);
        return nullptr;
    }
    return fvCreateCopy(fvs->vectors[num - 1]);
}

HFSET fvsCopy(HFSET fvs) {
    if (fvs == nullptr) {
        refuse(ESR_INVALID_PARAMETER, 1317);
        return nullptr;
    }
    HFSET copy = fvsCreate(fvs->vector_number, fvs->vector_size);
    if (copy == nullptr) return nullptr;
    // The copy has room for every vector, so filling it cannot fail on growth. A vector that
    // cannot be copied sinks the whole copy: a partial set is never handed out.
    for (int32_t num = 1; num <= fvs->vector_number; ++num) {
        HFV fv = fvsCopyVector(fvs, num);
        if (fv == nullptr) {
            fvsDestroy(copy);
            return nullptr;
        }
        copy->vectors[num - 1] = fv;
        copy->vector_number = num;
    }
    return copy;
}

HFSET fvsMerge(HFSET fvs1, HFSET fvs2) {
    // Two null sets have nothing to return; one set twice would be absorbed into itself and
    // released.
    if (fvs1 == fvs2) {
        refuse(ESR_INVALID_PARAMETER, 1359);
        return nullptr;
    }
    if (fvs1 == nullptr) return fvs2;
    if (fvs2 == nullptr) return fvs1;
    if (fvs2->vector_number == 0) {
        fvsDestroy(fvs2);
        return fvs1;
    }
    if (fvs1->vector_number == 0) {
        fvsDestroy(fvs1);
        return fvs2;
    }
    int64_t total = int64_t{fvs1->vector_number} + fvs2->vector_number;
    if (total > fvs1->array_size && !grow_slots(fvs1, doubled(fvs1->array_size, total))) {
        refuse(ESR_NOT_ENOUGH_MEMORY, 1400);
        return nullptr;
    }
    std::memcpy(&fvs1->vectors[fvs1->vector_number], fvs2->vectors,
                sizeof(HFV) * static_cast<size_t>(fvs2->vector_number));
    fvs1->vector_number = static_cast<int32_t>(total);
    std::free(fvs2->vectors);
    std::free(fvs2);
    return fvs1;
}

int32_t fvsSetSize(HFSET fvs, int32_t new_size) {
    // A count past the slot array would send later reads past its end.
    if (fvs == nullptr || new_size <= 0 || new_size > fvs->array_size) {
        refuse(ESR_INVALID_PARAMETER, 1457);
        return 0;
    }
    fvs->vector_number = new_size;
    return 1;
}

int32_t fvsSetVectorSize(HFSET fvs, int32_t new_size) {
    if (fvs == nullptr || new_size <= 0) {
        refuse(ESR_INVALID_PARAMETER, 1490);
        return 0;
    }
    fvs->vector_size = new_size;
    return 1;
}

HFV* fvsGetVectorBuff(HFSET fvs) {
    if (fvs == nullptr) {
        refuse(ESR_INVALID_PARAMETER, 1517);
        return nullptr;
    }
    return fvs->vectors;
}

int32_t fvsPrintVector(FILE* f, HFSET fvs, int32_t num) {
    if (fvs == nullptr) {
        refuse(ESR_INVALID_PARAMETER, 1546);
        return 0;
    }
    HFV fv = fvsGetVector(fvs, num);
    if (fv == nullptr) {
        refuse(ESR_VECTOR_SET_GET, 1553);
        return 0;
    }
    std::fprintf(f, "vector %d:", num);
    for (int32_t i = 0; i < fvs->vector_size; ++i)
        std::fprintf(f, " %f", fv->vector[i]);
    std::fprintf(f, "\n");
    return 1;
}

int32_t fvsPrint(FILE* f, HFSET fvs) {
    if (fvs == nullptr) {
        refuse(ESR_INVALID_PARAMETER, 1591);
        return 0;
    }
    for (int32_t i = 0; i < fvs->vector_number; ++i)
        fvPrint(f, fvs->vectors[i]);
    return 1;
}

// ---- loading and saving ----

namespace {

// Appends a new vector holding the count values to fvs. On failure (reported by the refusing
// operation, or here for the component array) nothing is left allocated and false is returned.
bool add_loaded_vector(HFSET fvs, const double* values, int32_t count) {
    auto* data = static_cast<double*>(std::malloc(static_cast<size_t>(count) * sizeof(double)));
    if (data == nullptr) {
        refuse(ESR_NOT_ENOUGH_MEMORY, 1232);
        return false;
    }
    HFV fv = fvCreateWithData(count, data);
    if (fv == nullptr) {
        std::free(data);
        return false;
    }
    std::memcpy(data, values, static_cast<size_t>(count) * sizeof(double));
    if (fvsAddVector(fvs, fv) == 0) {
        fvDestroy(fv);
        return false;
    }
    return true;
}

}  // namespace

// Allocation failures end the load without a set, each reported once: the reader record
// (2, 1202), a reader buffer (2, 1210), a component array (2, 1232), and the set, a vector
// record or the set's growth by the operation that refused. The reader is released on every
// path; the stream stays open.
HFSET fvsLoadStream(FILE* file, const char* name) {
    return tarn::load_stream(file, name, nullptr);
}

HFSET tarn::load_stream(FILE* file, const char* name, int32_t* long_line) {
    if (long_line != nullptr) *long_line = 0;
    if (file == nullptr) {
        ReportError(ESR_CANT_OPEN_FILE, name, "fvector.c", 1195);
        return nullptr;
    }
    ReadNums* reader = readnumsCreate();
    if (reader == nullptr) {
        refuse(ESR_NOT_ENOUGH_MEMORY, 1202);
        return nullptr;
    }
    ResetLineCounter(reader, 0);

    // The first data line fixes vector_size and is stored even when it holds "NaN" or "Inf";
    // every later one must be well formed, free of both words and no shorter than the one
    // before it. Any failure discards the whole set: a load never returns part of a file.
    int32_t dim = 0, incomplete = 0, errors = 0;
    bool too_long = false;
    const double* values = read_vector(reader, file, &dim, &incomplete, &errors, &too_long);
    HFSET fvs = nullptr;
    bool bad_line = false;
    if (values == nullptr && errors == 0) {
        // The reader ends at a read error as at the end of the stream; only a clean end is an
        // empty file.
        if (std::ferror(file) == 0) refuse(ESR_EMPTY_FILE, 1207);
    } else if (values == nullptr) {
        bad_line = true;
    } else if ((fvs = fvsCreate(1, dim)) != nullptr) {
        for (;;) {
            if (!add_loaded_vector(fvs, values, dim)) {
                fvsDestroy(fvs);
                fvs = nullptr;
                break;
            }
            values = read_vector(reader, file, &dim, &incomplete, &errors, &too_long);
            if (errors != 0 || incomplete != 0) {
                bad_line = true;
                break;
            }
            if (values == nullptr) break;
        }
    }
    if (bad_line && (reader->Buffer == nullptr || reader->BufferVector == nullptr)) {
        // The reader could not make room for the line: memory, not the file, is at fault.
        refuse(ESR_NOT_ENOUGH_MEMORY, 1210);
        fvsDestroy(fvs);
        fvs = nullptr;
    } else if (bad_line) {
        if (too_long && long_line != nullptr) *long_line = CurrentLineNumber(reader);
        std::fprintf(stderr, "Problem in line %d\n", CurrentLineNumber(reader));
        refuse(ESR_INVALID_FILE_FORMAT, 1224);
        fvsDestroy(fvs);
        fvs = nullptr;
    } else if (std::ferror(file) != 0) {
        // A stream that failed part way (a device error, a directory) holds more than was read:
        // the set would be a silent part of the file.
        ReportError(ESR_CANT_LOAD_FILE, name, "fvector.c", 1227);
        fvsDestroy(fvs);
        fvs = nullptr;
    }
    readnumsDestroy(reader);
    return fvs;
}

HFSET fvsLoad(const char* file_name) {
    if (file_name == nullptr) {
        ReportError(ESR_CANT_OPEN_FILE, "file_name == NULL", "fvector.c", 1187);
        return nullptr;
    }
    if (file_name[0] == '\0') {
        ReportError(ESR_CANT_OPEN_FILE, "file_name is empty string", "fvector.c", 1192);
        return nullptr;
    }
    FILE* file = std::fopen(file_name, "r");
    if (file == nullptr) {
        ReportError(ESR_CANT_OPEN_FILE, file_name, "fvector.c", 1198);
        return nullptr;
    }
    HFSET fvs = fvsLoadStream(file, file_name);
    std::fclose(file);
    return fvs;
}

int32_t fvsSave(HFSET fvs, const char* file_name) {
    if (fvs == nullptr || file_name == nullptr) {
        refuse(ESR_INVALID_PARAMETER, 1262);
        return 0;
    }
    FILE* file = std::fopen(file_name, "w");
    if (file == nullptr) {
        ReportError(ESR_CANT_OPEN_FILE, file_name, "fvector.c", 1271);
        return 0;
    }
    // vector_size components of each vector: every vector of a loaded set has at least that
    // many. Write errors are not detected.
    for (int32_t p = 0; p < fvs->vector_number; ++p) {
        HFV fv = fvs->vectors[p];
        if (fv == nullptr) continue;
        for (int32_t i = 0; i < fvs->vector_size; ++i)
            std::fprintf(file, "%5.5f ", fv->vector[i]);
        std::fputc('\n', file);
    }
    std::fclose(file);
    return 1;
}
