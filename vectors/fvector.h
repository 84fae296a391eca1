// Feature vectors and feature vector sets of the vector library.
//
// Every operation validates what its contract names; a refusal is one ReportError call with the
// file "fvector.c" and the fixed line of the check, then the failure result. Nothing here ends
// the process or writes anything but its reports and the printouts asked for. A null argument
// that an operation does not check itself is measured through fvGetDim, which reports it and
// counts it as a vector of dimension 0.
#ifndef TARN_VECTORS_FVECTOR_H
#define TARN_VECTORS_FVECTOR_H

#include <cstdint>
#include <cstdio>

// One feature vector. It owns its component array of dim doubles, allocated with malloc and
// released by fvDestroy. dim is at least 1 for every vector made here; freq is 1 when made and
// changes only through fvSetFreq. Other modules read dim and vector directly, so the fields keep
// these names, types and order.
struct Hvec {
    int32_t dim;     // number of components
    int32_t freq;    // frequency count
    double* vector;  // the components, indexed 0 .. dim - 1
};
typedef Hvec* HFV;  // null stands for no vector

// ---- single vectors ----

// A new vector of size uninitialised components with freq 1, owned by the caller.
// Refuses size <= 0 (1, 55); a failed allocation of the record (2, 62) or of the array (2, 69).
// Returns null on refusal.
HFV fvCreate(int32_t size);

// A new vector that adopts data (size doubles from malloc) as its components, with freq 1.
// From then on the vector owns data; on refusal data stays the caller's. Refuses size <= 0
// (1, 98) and a failed record allocation (2, 105), returning null.
HFV fvCreateWithData(int32_t size, double* data);

// A deep copy of vector with freq 1. When the creation fails (a null vector included) reports
// (12, 135) after the inner reports and returns null.
HFV fvCreateCopy(HFV vector);

// A new vector of dimension dim1 + dim2: vector1's components, then vector2's. A null argument
// counts as dimension 0. When the creation fails reports (12, 173) and returns null.
HFV fvCreateCat(HFV vector1, HFV vector2);

// A new vector vector1 - vector2. Refuses a null vector1 (1, 209), a null vector2 (1, 215),
// different dimensions (1, 223) and a failed creation (12, 230), returning null.
HFV fvCreateDifference(HFV vector1, HFV vector2);

// A new vector vector1 + vector2. Refuses different dimensions (1, 262) and a failed creation
// (12, 269), returning null.
HFV fvCreateSum(HFV vector1, HFV vector2);

// Releases the component array, then the record. fv must be a vector made here.
void fvDestroy(HFV fv);

// Writes v1's components and then v2's into v3; returns 1. Refuses any null argument (1, 318)
// and dim1 + dim2 != dim3 (1, 327), returning 0 with v3 unchanged.
int32_t fvCat(HFV v1, HFV v2, HFV v3);

// The dimension, or 0 after the report (1, 356) for a null vector.
int32_t fvGetDim(HFV vector);

// The frequency count, or 0 after the report (1, 374) for a null vector.
int32_t fvGetFreq(HFV vector);

// Stores freq; returns 0. Checks nothing.
int32_t fvSetFreq(HFV vector, int32_t freq);

// Component element; the index is the caller's to keep in 0 .. dim - 1. Checks nothing.
double fvGetElement(HFV vector, int32_t element);

// Stores data as component element; returns 0. Checks nothing, like fvGetElement.
int32_t fvSetElement(HFV fv, int32_t element, double data);

// diff = v1 - v2 element by element (diff may be v1 or v2); returns 1. Refuses any null
// argument (1, 446) and any dimension differing from v1's (1, 453), returning 0.
int32_t fvDifference(HFV v1, HFV v2, HFV diff);

// sum = v1 + v2 element by element (sum may be v1 or v2); returns 1. Refuses any null argument
// (1, 486) and any dimension differing from v1's (1, 493), returning 0.
int32_t fvSum(HFV v1, HFV v2, HFV sum);

// The sum over i of vector1[i] * vector2[i] in index order. Refuses different dimensions
// (27, 530), returning 0.0.
double fvInnerProduct(HFV vector1, HFV vector2);

// prod[i] = v1[i] * v2[i] for i below dim(v1); prod may be v1 or v2; returns 1. Refuses
// dim(v1) != dim(v2), and then a product shorter than v1 or null, with (27, 569), returning 0
// with prod unchanged.
int32_t fvMultiply(HFV v1, HFV v2, HFV prod);

// Multiplies every component by scalar in place; returns 0.
int32_t fvMultiplyScalar(HFV vector, double scalar);

// vector1[i] += vector2[i] / denominator (a zero denominator divides by zero in floating
// point); returns 1. Refuses different dimensions (27, 648), returning 0.
int32_t fvAddFraction(HFV vector1, HFV vector2, int32_t denominator);

// Writes " %f" per component to f, without a line end; returns 1. Refuses a null f or v
// (1, 678), returning 0.
int32_t fvPrint(FILE* f, HFV v);

#endif
