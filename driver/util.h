// Checked allocation for the driver and graph code, and two small line readers of the toolkit.
#ifndef TARN_DRIVER_UTIL_H
#define TARN_DRIVER_UTIL_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

enum { NO_INIT = 0, INIT = 1 };

// A new heap block, released with free. NO_INIT gives size uninitialised bytes; any other flag
// gives size zero-filled 4-byte elements. Never returns null: on failure it prints
// "Allocation of <size> bytes failed" to standard output and ends the process with status -1.
void* allocate(size_t size, int flag);

// Reads one line (at most 255 characters) into buf, which holds 256 bytes. Returns 0 when a line
// was read and the stream is not at its end, nonzero otherwise.
int readline(FILE* infile, char* buf);

// Reads one line and scans "%g %g %g %d" into R, G, B and flag; fields that do not match keep
// their values. Returns 1 when a line was read, 0 when readline gave nonzero.
int getvector(FILE* fp, float* R, float* G, float* B, int32_t* flag);

#endif
