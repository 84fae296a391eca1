// The input of a distributed run, read by its processes.
//
// A regular text file that tarn reads in blocks (vectors/table.h's tableTextInBlocks) is read by
// every process at once: rank r reads the lines that start in its share of the bytes, the r-th
// of P parts split as tarn's threaded load splits the file (vectors/textload.h). The processes then
// share what their runs of lines came to, and rank 0 reports the first failure in file order, or
// the file's names and warning, as tarn does. Any other input (standard input, a pipe, a compressed
// file, a CSV or TSV table, lines to skip) is loaded by rank 0 alone, as tarn loads it.
//
// Either way the vectors then move to their file-order blocks: rank r holds vectors
// [⌊n r / P⌋, ⌊n (r + 1) / P⌋) and no other. The byte ranges do not hold equal counts of
// vectors, and rank 0's load holds them all: one exchange puts each where its block is.
#ifndef TARN_MPI_INPUT_H
#define TARN_MPI_INPUT_H

#include <cstdint>

#include "base/alloc.h"

struct Parameters;

namespace tarn::mpi {

// A run of the input's vectors in file order: vectors [first, first + dims.size()) of the n the
// input holds, their values one vector after another (dims[i] of vector first + i, its label
// last).
struct VectorRun {
    int64_t n = 0;
    int64_t first = 0;
    Array<int32_t> dims;
    Array<double> values;
};

// Reads p->instr (p->names, when given, gets rank 0's names) and returns this process's block
// of it. Every process calls it at the same point. When the load fails every process throws
// Stopped with an empty message, rank 0 having printed what tarn prints.
VectorRun read_input(Parameters* p);

}  // namespace tarn::mpi

#endif
