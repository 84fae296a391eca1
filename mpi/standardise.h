// -z over the file-order blocks of a distributed run: the whole input's feature columns
// standardised as tarn standardises them, with no process holding more than its block.
//
// tarn takes each column's sums in vertex order (detect/core.h's standardise). Here the sums
// travel through the processes in rank order, each adding its block's values to what the rank
// before it passed on, so every sum is made in that order and the scales are the same to the
// bit: a few passes of d doubles from process to process. What a column's scale needs of every
// vector besides its sums (whether all its values are equal, its largest magnitude) does not
// depend on the order and is reduced over the processes at once.
#ifndef TARN_MPI_STANDARDISE_H
#define TARN_MPI_STANDARDISE_H

#include <cstdint>

#include "base/alloc.h"
#include "detect/core.h"
#include "mpi/input.h"

namespace tarn::mpi {

// How standardise takes each of the `features` columns of the input whose block this process
// holds: every vector of the block features + 1 values wide, every feature finite. Every
// process calls it and gets the same scales.
Array<ColumnScale> input_scales(const VectorRun& block, int32_t features);

// The block's features, taken at scales as standardise takes them; its labels unchanged. No
// scales leave the block as it is.
void apply_scales(VectorRun& block, const Array<ColumnScale>& scales);

}  // namespace tarn::mpi

#endif
