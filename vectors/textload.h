// Loading the vector text format from a regular file: read in blocks with pread rather than a
// line at a time through a stream, and, when the file is big, in parts on several threads. A part
// is the run of lines that start in its share of the bytes; each thread parses its part into
// vectors of its own, and the parts are joined in file order.
//
// The result is fvsLoadStream's on the same bytes, whatever the count of threads: the same
// vectors, the same reports (file "fvector.c", the same checks), and for a bad line the same
// "Problem in line %d" with the number of the first bad line in file order, blank and comment
// lines counted. A part cannot check its first data line against the data line before it; the
// join does, before it looks at anything the part found further on. Exhausted memory is
// reported with the same code, at the check of the allocation that failed here (a vector's
// record and components are one check, 1232).
#ifndef TARN_VECTORS_TEXTLOAD_H
#define TARN_VECTORS_TEXTLOAD_H

#include <cstddef>
#include <cstdint>

#include "vectors/fvector.h"

namespace tarn {

class VectorArena;

// How a file is split and read.
struct TextLoad {
    int32_t threads = 1;                  // parts read at once, at most (below 1: one)
    size_t least_part = size_t{1} << 22;  // bytes: a file is split into parts no smaller
    size_t block = size_t{1} << 20;       // bytes a part reads at once; a longer line gets more
    VectorArena* arena = nullptr;  // when given, the vectors are carved from it (arena.h), and
                                   // the set is released with release_set
    int32_t* long_line = nullptr;  // when given, set to the number of the line refused for being
                                   // longer than kLongestLine (readnums.h), else 0
};

// A new set, owned by the caller, holding the vectors of the text in the regular file open as
// fd from byte start to the file's end as it is when the load begins, or null after the reports
// fvsLoadStream makes for the same text. name is the detail of a read error's report (5, 1227).
// fd stays open, its position unchanged. Memory used besides the vectors and the set: a block
// buffer per part and, until the join, 8 bytes per vector of every part but the first.
HFSET text_load(int fd, const char* name, size_t start, const TextLoad& how);

}  // namespace tarn

#endif
