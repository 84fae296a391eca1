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

// Like fvCreate(size) for size >= 1, but a failed allocation is not reported: the null result
// alone tells the caller, who reports it in its own way.
HFV fvCreateUnreported(int32_t size);

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

// ---- vector sets ----

// An ordered, growable set of vectors addressed by 1-based position; position p is in slot
// p - 1. The set owns the vectors in slots 0 .. vector_number - 1 (all non-null) and the slot
// array; every slot from vector_number to array_size - 1 is null. vector_number never exceeds
// array_size. The set does not compare a vector's dim with vector_size: callers keep every
// vector at least vector_size long, since fvsPrintVector and fvsSave read that many components.
struct FVSet {
    int32_t vector_number;  // count of vectors held
    int32_t array_size;     // capacity of vectors in handles, at least 1
    int32_t vector_size;    // nominal dimension, at least 1
    HFV* vectors;           // the slot array of array_size handles
};
typedef FVSet* HFSET;  // null stands for no set

// A new empty set owned by the caller, with capacity size (50 when size <= 0) and all slots
// null. Refuses vector_size <= 0 (1, 721) and a failed allocation of the record (2, 727) or of
// the slots (2, 746), returning null.
HFSET fvsCreate(int32_t size, int32_t vector_size);

// Destroys the set's vectors, then its slots and record. A null set is ignored.
void fvsDestroy(HFSET fvs);

// Destroys the slots and record of a set whose vectors have all been handed on: the caller took
// each of them with fvsGetVector and now owns it. A null set is ignored.
void fvsDestroyHandedOn(HFSET fvs);

// Appends fv, which becomes the set's, doubling the capacity when full; returns the new count.
// Refuses a null fvs or fv (1, 817) and a failed growth (2, 829), returning 0 with the set
// unchanged and fv still the caller's.
int32_t fvsAddVector(HFSET fvs, HFV fv);

// Appends a deep copy of fv; returns the new count. fv stays the caller's. Refuses a failed copy
// (13, 873) and a refused append (29, 880), each after the inner reports, returning 0.
int32_t fvsAddVectorCopy(HFSET fvs, HFV fv);

// Destroys the vector at num and closes the gap; returns the new count (0 when the set became
// empty). Refuses a null fvs (1, 909), an empty set (1, 915) and num outside 1 .. count
// (1, 922), returning -1.
int32_t fvsRemoveVector(HFSET fvs, int32_t num);

// Stores fv, which becomes the set's, at num, moving the vectors from num on one position back;
// returns the new count. Refuses a null fvs or fv or num outside 1 .. count (1, 976) and a
// failed growth (2, 984), returning 0 with fv still the caller's.
int32_t fvsInsertVector(HFSET fvs, HFV fv, int32_t num);

// Destroys the vector at num and stores fv, which becomes the set's, there; returns the count.
// Replacing a vector by itself changes nothing. Refuses a null fvs or fv or num outside
// 1 .. count (1, 1030), returning 0.
int32_t fvsReplaceVector(HFSET fvs, HFV fv, int32_t num);

// The count, or 0 after the report (1, 1055) for a null set.
int32_t fvsGetSize(HFSET fvs);

// The nominal dimension, or 0 after the report (1, 1082) for a null set.
int32_t fvsGetVectorSize(HFSET fvs);

// The set's own handle at num, lent: the set still owns it. Refuses a null fvs (1, 1117) and num
// outside 1 .. count (1, 1123), returning null.
HFV fvsGetVector(HFSET fvs, int32_t num);

// A deep copy (freq 1) of the vector at num, owned by the caller. Refuses a null fvs or num
// outside 1 .. count (1, 1152), returning null; a failed copy returns null after its reports.
HFV fvsCopyVector(HFSET fvs, int32_t num);

// A new set, owned by the caller, holding deep copies of fvs's vectors at the same positions,
// with capacity count (50 when empty) and fvs's vector_size. Refuses a null fvs (1, 1317). When
// the set or any copy cannot be made, returns null after the inner reports and leaks nothing.
HFSET fvsCopy(HFSET fvs);

// Moves fvs2's vectors behind fvs1's and returns the one surviving set; the other argument is
// consumed (destroyed, or its slots and record released). A null argument yields the other;
// an empty one is destroyed. Refuses two null sets or the same set twice (1, 1359) and a failed
// growth (2, 1400), returning null with both sets unchanged and still the caller's.
HFSET fvsMerge(HFSET fvs1, HFSET fvs2);

// Sets the count to new_size; returns 1. The caller must have stored a vector in every slot
// below new_size (through fvsGetVectorBuff) and takes back the vectors past a lowered count.
// Refuses a null fvs or new_size outside 1 .. array_size (1, 1457), returning 0.
int32_t fvsSetSize(HFSET fvs, int32_t new_size);

// Sets the nominal dimension; returns 1. Refuses a null fvs or new_size <= 0 (1, 1490),
// returning 0.
int32_t fvsSetVectorSize(HFSET fvs, int32_t new_size);

// The set's own slot array (slot p - 1 holds position p), lent. Refuses a null fvs (1, 1517),
// returning null.
HFV* fvsGetVectorBuff(HFSET fvs);

// Writes "vector <num>:", " %f" for each of the first vector_size components of the vector at
// num, and "\n" to the open stream f; returns 1. Refuses a null fvs (1, 1546) and a position
// fvsGetVector refused (32, 1553), returning 0.
int32_t fvsPrintVector(FILE* f, HFSET fvs, int32_t num);

// Prints every vector in position order with fvPrint (its own dim components, no line ends);
// returns 1 even when fvPrint refused. Refuses a null fvs (1, 1591), returning 0.
int32_t fvsPrint(FILE* f, HFSET fvs);

// ---- loading and saving ----

// A new set, owned by the caller, holding the vectors of the vector file file_name, or null
// after a report. Opens and closes the file; the rest is fvsLoadStream's.
HFSET fvsLoad(const char* file_name);

// A new set, owned by the caller, holding the vectors read from the open stream file up to its
// end, or null after a report; the stream stays open and the caller's. It need not be able to
// go back (a pipe, a terminal). name is the detail of two reports: a null file (4, 1195) and a
// read error of the stream (5, 1227), which discards what was read. The other reports are
// fvsLoad's: an empty stream (7, 1207), a bad line (6, 1224, after "Problem in line %d"),
// allocation failures (2, 1202; 2, 1210; 2, 1232; or the refusing operation's).
HFSET fvsLoadStream(FILE* file, const char* name);

namespace tarn {

// fvsLoadStream, telling besides in *long_line (when not null) the number of the line it refused
// for being longer than the reader takes (kLongestLine, readnums.h), or 0.
HFSET load_stream(FILE* file, const char* name, int32_t* long_line);

}  // namespace tarn

// Writes fvs to file_name, one line of vector_size "%5.5f " values per vector; returns 1, or 0
// after a report.
int32_t fvsSave(HFSET fvs, const char* file_name);

#endif
