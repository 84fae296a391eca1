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

// A load can also be made of runs of lines read apart (by other processes, say) and joined in
// file order: each run is told by a TextLines, text_follow joins two, and text_report reports
// what the whole text came to as text_load would.

enum class TextFailure : int32_t { kNone, kBadLine, kNoMemory, kReadError };

// What reading a run of a file's lines came to. Lines are counted from 1 within the run. A plain
// record of fixed size, so that it may travel between processes as bytes.
struct TextLines {
    int64_t lines = 0;        // lines read (all of the run's when it ended without a failure)
    int64_t first_line = 0;   // the first data line read well, 0 when none was
    int64_t bad_line = 0;     // kBadLine: the line
    int32_t first_count = 0;  // values of the first data line
    int32_t last_count = 0;   // values of the last data line read well
    TextFailure failure = TextFailure::kNone;
    int32_t check = 0;          // kNoMemory: the report line, or 0 when the set reported it
    bool first_marked = false;  // the first data line contains "NaN" or "Inf"
    bool too_long = false;      // kBadLine: the line is longer than kLongestLine (readnums.h)
};

// Byte `index` of `count` + 1 that split the text of `bytes` bytes from `start` into `count`
// parts: part i reads the lines that start in [text_split(…, i), text_split(…, i + 1)). The
// parts of text_load, and of any load made of runs.
size_t text_split(size_t start, size_t bytes, size_t count, size_t index);

// The lines that start in [begin, end) of the text in the regular file open as fd, which starts
// at byte start and ends at file_end: their vectors in a new set owned by the caller, or null
// when the run holds none or ended with a failure; *lines tells what the reading came to. Only
// the gathering of the vectors into the set reports its failure (the check is then 0): every
// other failure is left in *lines for text_report. The run is read in parts on up to
// how.threads threads when it is big.
HFSET text_load_lines(int fd, size_t start, size_t file_end, size_t begin, size_t end,
                      const TextLoad& how, TextLines* lines);

// The lines of `before` and then those of `after`, as one run: the first failure of the two in
// file order, a first data line of after checked against before's last one. TextLines() is the
// run of no line, which changes nothing that it precedes.
TextLines text_follow(const TextLines& before, const TextLines& after);

// Reports what the whole text told by lines came to as fvsLoadStream does: its first failure,
// or a text without a data line. Returns whether it reported; *long_line gets the number of a
// line refused for being longer than kLongestLine, else 0.
bool text_report(const TextLines& lines, const char* name, int32_t* long_line);

}  // namespace tarn

#endif
