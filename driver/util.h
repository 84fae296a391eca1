// Two small line readers of the toolkit, and the allocation routine of the driver and the graph
// code (allocate, defined with the checked containers in base/alloc.h).
#ifndef TARN_DRIVER_UTIL_H
#define TARN_DRIVER_UTIL_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "base/alloc.h"

// A new heap block, released with free; see base/alloc.h.
void* allocate(size_t size, int flag);

// Reads one line (at most 255 characters) into buf, which holds 256 bytes. Returns 0 when a line
// was read and the stream is not at its end, nonzero otherwise.
int readline(FILE* infile, char* buf);

// Reads one line and scans "%g %g %g %d" into R, G, B and flag; fields that do not match keep
// their values. Returns 1 when a line was read, 0 when readline gave nonzero.
int getvector(FILE* fp, float* R, float* G, float* B, int32_t* flag);

#endif
